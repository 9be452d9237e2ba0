#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "BastorShared/records/BastorXPCProtocol.h"

namespace simdjson::dom {
class parser;
class element;
}  // namespace simdjson::dom

namespace bastor {

// One well-formed call, its arguments taken out of "params".
struct RpcCall {
    enum class Method {
        getState,
        setEnabled,
        setAutoApproval,
        setAuditEnabled,
        execute,
        recordEvent,
        readAudit,
        verifyAudit,
    };

    std::string id;  // the request's id as JSON text, echoed in the reply
    Method method = Method::getState;
    bool value = false;       // the three switches
    std::string text;         // execute's requestJSON, recordEvent's eventJSON
    std::int64_t offset = 0;  // readAudit
    std::int64_t limit = 0;   // readAudit
};

// A line answered at once with a protocol error; the connection goes on.
struct RpcFault {
    std::string id;  // "null" when the request's id could not be taken
    int code = 0;
    std::string message;
};

// Reads JSON-RPC 2.0 request lines. An id must be a string or an integer
// (a number with a fraction or exponent, null, or any other value is refused
// as an invalid request, answered with id null). A key given twice in the
// request is an invalid request, in "params" invalid params. "params" may be
// left out only by methods that take none; members it does not use are
// ignored. A number out of the 64-bit range anywhere but the id makes the
// call's params invalid, answered with its id.
class JsonRpcDecoder {
  public:
    JsonRpcDecoder();
    ~JsonRpcDecoder();
    JsonRpcDecoder(const JsonRpcDecoder&) = delete;
    JsonRpcDecoder& operator=(const JsonRpcDecoder&) = delete;

    // `padded`: the line's memory goes on for simdjson::SIMDJSON_PADDING
    // readable bytes past its end, so it is parsed in place, not copied.
    [[nodiscard]] std::variant<RpcCall, RpcFault> decode(std::string_view line,
                                                         bool padded = false);

  private:
    std::variant<RpcCall, RpcFault> decodeDocument(simdjson::dom::element document);

    std::unique_ptr<simdjson::dom::parser> parser_;
};

// Reply lines, each ending in "\n". `json` absent gives "result":{}.
[[nodiscard]] std::string formatResult(std::string_view id, std::optional<std::string_view> json);
[[nodiscard]] std::string formatError(std::string_view id, int code, std::string_view message);

}  // namespace bastor
