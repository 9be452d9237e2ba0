#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "BastorShared/client/BastorRpc.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorXPCEndpoint.h"
#include "BastorShared/records/BastorXPCProtocol.h"

namespace bastor {

// How one call ended: with the helper's reply, or without one.
struct BastorCallOutcome {
    std::optional<BastorRpc::Reply> reply;  // absent when no reply came
    std::string line;                       // the reply line as received, without "\n"
    std::string failure;                    // why no reply came, when reply is absent
    bool tooLarge = false;  // the reply was longer than BastorWire::maxReplyBytes and skipped
};

using BastorCallHandler = std::function<void(BastorCallOutcome)>;

// One connection to the helper's socket. Calls get increasing ids and may be
// made from any thread; a reader thread matches replies, which may come in
// any order, to their calls. Every call's handler runs exactly once: on the
// reader thread with the reply, or with a failure when the connection ends
// first (the helper exits, closes the connection, or sends a line that is not
// a reply to a pending call), or with tooLarge set when its reply was longer
// than BastorWire::maxReplyBytes (it is skipped; the connection goes on), or at once on the calling
// thread when the connection had already ended or the call could not be sent. After a failure the
// connection stays ended. Handlers must neither throw nor destroy the connection.
class BastorConnection final : public BastorXPCProtocol {
  public:
    // Connects; throws BastorError::helperNotReady when nothing listens on
    // the path, SystemError for other failures.
    explicit BastorConnection(
        const std::string& socketPath = std::string(BastorXPCEndpoint::socketPath));
    // Fails every call still pending and waits for the reader thread.
    ~BastorConnection() override;

    BastorConnection(const BastorConnection&) = delete;
    BastorConnection& operator=(const BastorConnection&) = delete;

    // One call with any method and params. A method that is not UTF-8 or
    // params that are not JSON are the caller's mistake: BastorRpc::ProtocolError
    // is thrown, nothing is sent and the handler is not called. Blocks while
    // the helper applies back-pressure.
    void call(std::string_view method, std::string_view paramsJSON, BastorCallHandler handler);

    void getState(BastorReply reply) override;
    void setEnabled(bool value, BastorReply reply) override;
    void setAutoApproval(bool value, BastorReply reply) override;
    void setAuditEnabled(bool value, BastorReply reply) override;
    void execute(std::string requestJSON, BastorReply reply) override;
    void recordEvent(std::string eventJSON, BastorReply reply) override;
    void readAudit(std::int64_t offset, std::int64_t limit, BastorReply reply) override;
    void verifyAudit(BastorReply reply) override;

  private:
    void readLoop();
    // Returns false when the line ends the connection, with the reason.
    bool deliver(std::string_view line, std::string& failure);
    void failAll(const std::string& failure);
    // Reads on past an over-long reply; false when the connection ended first.
    bool skipReply(std::string& buffer, std::string& failure);
    void fail(std::int64_t id, const std::string& failure);
    [[nodiscard]] bool sendLine(const std::string& line, std::string& failure);

    UniqueFd socket_;
    std::mutex sendMutex_;  // keeps lines whole when several threads call
    std::mutex mutex_;      // guards the members below
    std::int64_t nextID_ = 1;
    std::map<std::int64_t, BastorCallHandler> pending_;
    std::optional<std::string> ended_;  // why the connection ended
    std::thread reader_;
};

}  // namespace bastor
