#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// The client's side of the JSON-RPC 2.0 framing: one object per line.
namespace bastor::BastorRpc {

// A line that is not a well-formed reply. The connection cannot trust any
// later line either, so the caller treats it as the end of the connection.
class ProtocolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One reply as it came from the helper.
struct Reply {
    std::optional<std::int64_t> id;   // absent when the helper sent null
    std::optional<std::string> json;  // result.json; absent for an empty result
    std::optional<int> errorCode;     // set for an error reply
    std::string errorMessage;         // the helper's description, unchanged

    [[nodiscard]] bool isError() const { return errorCode.has_value(); }
};

// The request line for one call, without its "\n". `paramsJSON` must already
// be compact JSON (see compactParams).
[[nodiscard]] std::string requestLine(std::int64_t id, std::string_view method,
                                      std::string_view paramsJSON);

// Params of the eight operations: {"value":bool}, {key:text} and
// {"limit":L,"offset":O}.
[[nodiscard]] std::string valueParams(bool value);
[[nodiscard]] std::string textParams(std::string_view key, std::string_view text);
[[nodiscard]] std::string pageParams(std::int64_t offset, std::int64_t limit);

// Checks that `text` is one JSON value in well-formed UTF-8 and returns it
// without insignificant white space, so it can never break a line. Throws
// ProtocolError naming the fault.
[[nodiscard]] std::string compactParams(std::string_view text);

// The id at the head of a reply line in the helper's own member order
// ({"jsonrpc":"2.0","id":N,...), read without parsing the rest.
[[nodiscard]] std::optional<std::int64_t> leadingID(std::string_view line);

// Parses one reply line; throws ProtocolError.
[[nodiscard]] Reply parseReply(std::string_view line);

}  // namespace bastor::BastorRpc
