#pragma once

#include <cstdint>
#include <string>

#include "BastorShared/records/BastorPeer.h"
#include "BastorShared/records/BastorXPCProtocol.h"

namespace bastor {

// The eight operations as the daemon serves them: each call carries the peer
// of the connection it came on, so the service can hold it to what that
// person may do and name them in the journal. Replies follow BastorReply's
// contract. Implementations must be safe to call from any thread.
class BastorPeerProtocol {
  public:
    virtual ~BastorPeerProtocol() = default;

    virtual void getState(const BastorPeer& peer, BastorReply reply) = 0;
    virtual void setEnabled(const BastorPeer& peer, bool value, BastorReply reply) = 0;
    virtual void setAutoApproval(const BastorPeer& peer, bool value, BastorReply reply) = 0;
    virtual void setAuditEnabled(const BastorPeer& peer, bool value, BastorReply reply) = 0;
    virtual void execute(const BastorPeer& peer, std::string requestJSON, BastorReply reply) = 0;
    virtual void recordEvent(const BastorPeer& peer, std::string eventJSON, BastorReply reply) = 0;
    virtual void readAudit(const BastorPeer& peer, std::int64_t offset, std::int64_t limit,
                           BastorReply reply) = 0;
    virtual void verifyAudit(const BastorPeer& peer, BastorReply reply) = 0;
};

}  // namespace bastor
