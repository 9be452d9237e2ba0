#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The eight operations a client may call on the helper. The daemon's service
// implements this interface; the client's connection implements it too, so
// both sides speak through one declaration. On the socket each operation is a
// JSON-RPC 2.0 method (names below); a reply carries exactly one of the JSON
// text of the outcome or an error description, except a successful
// recordEvent, which carries neither.
namespace bastor {

// Called exactly once per call: (json, nullopt) on success, (nullopt, message)
// on failure, (nullopt, nullopt) for a successful recordEvent.
using BastorReply =
    std::function<void(std::optional<std::string> json, std::optional<std::string> error)>;

class BastorXPCProtocol {
  public:
    virtual ~BastorXPCProtocol() = default;

    virtual void getState(BastorReply reply) = 0;
    virtual void setEnabled(bool value, BastorReply reply) = 0;
    virtual void setAutoApproval(bool value, BastorReply reply) = 0;
    virtual void setAuditEnabled(bool value, BastorReply reply) = 0;
    virtual void execute(std::string requestJSON, BastorReply reply) = 0;
    virtual void recordEvent(std::string eventJSON, BastorReply reply) = 0;
    virtual void readAudit(std::int64_t offset, std::int64_t limit, BastorReply reply) = 0;
    virtual void verifyAudit(BastorReply reply) = 0;
};

// JSON-RPC method names on the socket.
namespace BastorMethod {
inline constexpr std::string_view getState = "getState";
inline constexpr std::string_view setEnabled = "setEnabled";
inline constexpr std::string_view setAutoApproval = "setAutoApproval";
inline constexpr std::string_view setAuditEnabled = "setAuditEnabled";
inline constexpr std::string_view execute = "execute";
inline constexpr std::string_view recordEvent = "recordEvent";
inline constexpr std::string_view readAudit = "readAudit";
inline constexpr std::string_view verifyAudit = "verifyAudit";
}  // namespace BastorMethod

// JSON-RPC framing limits and error codes.
namespace BastorWire {
inline constexpr std::size_t maxLineBytes = 16u * 1024 * 1024;  // without the "\n"
// The longest reply a request line of maxLineBytes can lead to: a page of one
// audit entry whose text is all "/", one byte each on the request line, stored
// as "\/" and sent inside the page's JSON string as "\\\/", four bytes each;
// plus 1 MiB for the entry's own members and a command's capped output.
// The helper does not build a longer page: it answers pageTooLarge instead.
inline constexpr std::size_t maxReplyBytes = 4 * maxLineBytes + 1024 * 1024;
inline constexpr std::string_view pageTooLarge =
    "The audit entries asked for make a reply longer than a client reads; ask for fewer "
    "entries at a time.";
inline constexpr std::size_t maxCallsInFlight = 64;  // per connection
inline constexpr int parseError = -32700;
inline constexpr int invalidRequest = -32600;
inline constexpr int methodNotFound = -32601;
inline constexpr int invalidParams = -32602;
inline constexpr int operationFailed = -32000;
}  // namespace BastorWire

}  // namespace bastor
