#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "BastorShared/records/BastorXPCProtocol.h"
#include "NoctaBastorHelper/engine/BastorEngine.h"
#include "NoctaBastorHelper/transport/TaskRunner.h"

namespace bastor {

// The operations every connection is served with. Each call returns at once
// and finishes on a thread of its own: it decodes its arguments, awaits the
// one engine, encodes the outcome and replies exactly once. A call is never
// cancelled; its reply may find its connection gone, and that is the reply's
// business.
class BastorHelperService final : public BastorXPCProtocol {
  public:
    // Builds the one engine on `directory`; `kernelAudit` as for the engine.
    explicit BastorHelperService(
        std::filesystem::path directory,
        KernelAuditLog::Connection kernelAudit = KernelAuditLog::Connection::kernel);
    // Waits for every call still running.
    ~BastorHelperService() override = default;

    BastorHelperService(const BastorHelperService&) = delete;
    BastorHelperService& operator=(const BastorHelperService&) = delete;

    void getState(BastorReply reply) override;
    void setEnabled(bool value, BastorReply reply) override;
    void setAutoApproval(bool value, BastorReply reply) override;
    void setAuditEnabled(bool value, BastorReply reply) override;
    void execute(std::string requestJSON, BastorReply reply) override;
    void recordEvent(std::string eventJSON, BastorReply reply) override;
    void readAudit(std::int64_t offset, std::int64_t limit, BastorReply reply) override;
    void verifyAudit(BastorReply reply) override;

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
