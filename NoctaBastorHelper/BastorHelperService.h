#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "BastorShared/records/BastorPeer.h"
#include "BastorShared/records/BastorRequest.h"
#include "NoctaBastorHelper/engine/BastorEngine.h"
#include "NoctaBastorHelper/engine/JournalLogger.h"
#include "NoctaBastorHelper/transport/RpcService.h"
#include "NoctaBastorHelper/transport/TaskRunner.h"

namespace bastor {

// The operations every connection is served with. Each call returns at once
// and runs on a small fixed pool of threads: it decodes its arguments, calls
// the one engine, encodes the outcome and replies exactly once. An execute
// leaves the pool once its approval is recorded: it waits for a permit
// holding no thread and replies from the thread that ran it. Every audit
// entry a call writes is logged to journald with the peer that sent the
// call. Thread-safe.
class BastorHelperService final : public RpcService {
  public:
    // Builds the one engine on `directory`; `kernelAudit` and `cgroupRoot` as
    // for the engine.
    explicit BastorHelperService(
        std::filesystem::path directory,
        KernelAuditLog::Connection kernelAudit = KernelAuditLog::Connection::kernel,
        const std::string& cgroupRoot = std::string(RunCgroups::none));
    // Waits for every call still running; waiting executes end as abandoned.
    ~BastorHelperService() override;

    BastorHelperService(const BastorHelperService&) = delete;
    BastorHelperService& operator=(const BastorHelperService&) = delete;

    // Hands the call to its operation, held to what the caller's peer may do.
    void serve(RpcCall call, std::shared_ptr<const RpcCaller> caller, BastorReply reply) override;

    // Throws BastorError::invalidInput, naming the expected user, when `peer`
    // may not send `request`: a manually approved request must name the
    // peer's own user as approver, unless the peer is root, who may ask on
    // another's behalf.
    static void checkApprover(const BastorPeer& peer, const BastorRequest& request);

    // The orderly stop, once no new calls come: executes waiting for a permit
    // end as abandoned, running commands get SIGTERM and, killGrace later,
    // SIGKILL, and their outcomes are audited. Returns false when something
    // still runs `deadline` after the call (a command whose output outlives
    // it, say); the caller may then leave without it.
    bool stop(std::chrono::seconds deadline = std::chrono::seconds{8});

    [[nodiscard]] BastorEngine& engine() { return engine_; }

    static constexpr std::size_t poolThreads = 4;
    static constexpr std::chrono::seconds killGrace{5};

  private:
    // Runs `work` (returning the JSON text, or nothing for an empty success)
    // on the pool and turns its outcome or failure into the one reply.
    // `large` calls give their memory back to the system when done.
    template <class Work>
    void perform(BastorReply reply, bool large, Work work);
    void getState(BastorReply reply);
    void setEnabled(const BastorPeer& peer, bool value, BastorReply reply);
    void setAutoApproval(bool value, BastorReply reply);
    void setAuditEnabled(bool value, BastorReply reply);
    void execute(std::string requestJSON, std::shared_ptr<const RpcCaller> caller,
                 BastorReply reply);
    void recordEvent(const BastorPeer& peer, std::string eventJSON, BastorReply reply);
    void readAudit(std::int64_t offset, std::int64_t limit, BastorReply reply);
    void verifyAudit(BastorReply reply);

    BastorEngine engine_;
    TaskRunner pool_{poolThreads};  // last, so its threads end before the engine does
};

}  // namespace bastor
