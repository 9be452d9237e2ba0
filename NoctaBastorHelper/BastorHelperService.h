#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "BastorShared/records/BastorPeer.h"
#include "BastorShared/records/BastorRequest.h"
#include "NoctaBastorHelper/engine/BastorEngine.h"
#include "NoctaBastorHelper/engine/JournalLogger.h"
#include "NoctaBastorHelper/transport/BastorPeerProtocol.h"
#include "NoctaBastorHelper/transport/TaskRunner.h"

namespace bastor {

// The operations every connection is served with. Each call returns at once
// and finishes on a thread of its own: it decodes its arguments, awaits the
// one engine, encodes the outcome and replies exactly once. A call is never
// cancelled; its reply may find its connection gone, and that is the reply's
// business. Every audit entry a call writes is logged to journald with the
// peer that sent the call.
class BastorHelperService final : public BastorPeerProtocol {
  public:
    // Builds the one engine on `directory`; `kernelAudit` and `cgroupRoot` as
    // for the engine.
    explicit BastorHelperService(
        std::filesystem::path directory,
        KernelAuditLog::Connection kernelAudit = KernelAuditLog::Connection::kernel,
        const std::string& cgroupRoot = std::string(RunCgroups::none));
    // Waits for every call still running.
    ~BastorHelperService() override = default;

    BastorHelperService(const BastorHelperService&) = delete;
    BastorHelperService& operator=(const BastorHelperService&) = delete;

    void getState(const BastorPeer& peer, BastorReply reply) override;
    void setEnabled(const BastorPeer& peer, bool value, BastorReply reply) override;
    void setAutoApproval(const BastorPeer& peer, bool value, BastorReply reply) override;
    void setAuditEnabled(const BastorPeer& peer, bool value, BastorReply reply) override;
    // A manually approved request must name the peer's own user as approver,
    // unless the peer is root, who may ask on another's behalf.
    void execute(const BastorPeer& peer, std::string requestJSON, BastorReply reply) override;
    void recordEvent(const BastorPeer& peer, std::string eventJSON, BastorReply reply) override;
    void readAudit(const BastorPeer& peer, std::int64_t offset, std::int64_t limit,
                   BastorReply reply) override;
    void verifyAudit(const BastorPeer& peer, BastorReply reply) override;

    // Throws BastorError::invalidInput, naming the expected user, when `peer`
    // may not send `request`.
    static void checkApprover(const BastorPeer& peer, const BastorRequest& request);

    [[nodiscard]] BastorEngine& engine() { return engine_; }

  private:
    // Runs `work` (returning the JSON text, or nothing for an empty success)
    // on its own thread and turns its outcome or failure into the one reply.
    template <class Work>
    void perform(BastorReply reply, Work work);

    BastorEngine engine_;
    TaskRunner tasks_;  // last, so its threads end before the engine does
};

}  // namespace bastor
