#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/client/BastorClientErrors.h"
#include "BastorShared/client/BastorConnection.h"
#include "BastorShared/records/AuditEntry.h"
#include "BastorShared/records/BastorRequest.h"
#include "BastorShared/records/BastorResult.h"
#include "BastorShared/records/BastorState.h"

namespace bastor {

// Blocking calls over one connection, for command-line use. Each waits for
// its reply and throws BastorRemoteError with the helper's description when
// the helper refused, BastorConnectionLost when no reply came, and the JSON
// decoder's error when a reply's JSON does not decode. Params that are not
// JSON throw BastorRpc::ProtocolError before anything is sent.
class BastorClient {
  public:
    // Connects; see BastorConnection.
    explicit BastorClient(
        const std::string& socketPath = std::string(BastorXPCEndpoint::socketPath));

    // The reply line exactly as received; an error reply is returned, not
    // thrown.
    [[nodiscard]] std::string callRaw(std::string_view method, std::string_view paramsJSON);
    // The result's JSON text, empty when the result carries none.
    std::string call(std::string_view method, std::string_view paramsJSON);

    [[nodiscard]] BastorState getState();
    BastorState setEnabled(bool value);
    BastorState setAutoApproval(bool value);
    BastorState setAuditEnabled(bool value);
    BastorResult execute(const BastorRequest& request);
    void recordEvent(const AuditEntry& entry);
    // Throws BastorReplyTooLarge when the page is longer than a reply can
    // be: ask for fewer entries.
    [[nodiscard]] std::vector<AuditEntry> readAudit(std::int64_t offset, std::int64_t limit);
    [[nodiscard]] BastorVerification verifyAudit();

  private:
    BastorCallOutcome await(std::string_view method, std::string_view paramsJSON);

    BastorConnection connection_;
};

}  // namespace bastor
