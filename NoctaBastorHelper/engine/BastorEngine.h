#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BastorShared/execution/BastorExecutionLimiter.h"
#include "BastorShared/execution/BastorExecutor.h"
#include "BastorShared/records/AuditEntry.h"
#include "BastorShared/records/BastorRequest.h"
#include "BastorShared/records/BastorResult.h"
#include "BastorShared/records/BastorState.h"
#include "NoctaBastorHelper/engine/AuditIndex.h"
#include "NoctaBastorHelper/engine/AuditStore.h"
#include "NoctaBastorHelper/engine/KernelAuditLog.h"

namespace bastor {

// The daemon's one stateful object: the switches, the state file, the audit
// log and the execution limiter. Its operations run one at a time under one
// mutex; execute() lets go of it while it waits for a permit and while the
// command runs, and takes it again to audit the outcome. All operations are
// blocking and may be called from any thread.
class BastorEngine {
  public:
    // Creates `directory` (0700) if needed, loads "state.json" and finds the
    // audit chain's tail. Never fails: problems surface on later operations.
    // `kernelAudit` says whether runs are also recorded in the kernel's audit
    // trail. Runs get cgroups under `cgroupRoot` (see BastorExecutor; "none":
    // process groups only); an unusable root and leftovers of an earlier
    // start are noted once in journald.
    explicit BastorEngine(
        std::filesystem::path directory,
        KernelAuditLog::Connection kernelAudit = KernelAuditLog::Connection::kernel,
        const std::string& cgroupRoot = std::string(RunCgroups::none));

    BastorEngine(const BastorEngine&) = delete;
    BastorEngine& operator=(const BastorEngine&) = delete;

    [[nodiscard]] BastorState currentState() const;

    // Each sets one switch, saves the whole state atomically and returns it.
    // On a failed save the new value stays in memory and the error is thrown.
    // `journal`, here and below, goes with the journald record of every audit
    // entry the call writes (such as who asked).
    BastorState setEnabled(bool value, const JournalFields& journal = {});
    BastorState setAutoApproval(bool value);
    BastorState setAuditEnabled(bool value);

    // Runs an approved request: checks the master switch, audits the approval,
    // runs the command inside a permit, audits the outcome (in the kernel's
    // audit trail too, whatever the audit switch says).
    BastorResult execute(const BastorRequest& request, const JournalFields& journal = {});

    // Appends a client's own event when auditing is on.
    void recordEvent(const AuditEntry& entry, const JournalFields& journal = {});

    // A page of decodable entries, oldest first; offset < 0 counts as 0,
    // limit is clamped to 1...1000.
    [[nodiscard]] std::vector<AuditEntry> readAudit(std::int64_t offset, std::int64_t limit) const;

    // Verifies every audit file in chain order, streaming them.
    [[nodiscard]] BastorVerification verifyAudit() const;

    [[nodiscard]] const std::filesystem::path& directory() const { return directory_; }

    static constexpr int maxConcurrentRuns = 4;

  private:
    void saveState();
    // Best effort: a failed entry for a run that did not end in a result,
    // durable when this returns. The caller does not hold mutex_.
    void appendFailedEntry(const BastorRequest& request, const std::string& message,
                           const JournalFields& journal) noexcept;
    // Writes the completed entry of a run and waits until it is durable.
    // Throws the store's error; the caller does not hold mutex_.
    void recordCompleted(const AuditEntry& completed, const JournalFields& journal);

    const std::filesystem::path directory_;
    const std::filesystem::path stateURL_;
    BastorExecutionLimiter limiter_{maxConcurrentRuns};
    KernelAuditLog kernelAudit_;
    BastorExecutor executor_;
    mutable std::mutex mutex_;  // guards everything below
    BastorState currentState_;
    AuditStore audit_;
    mutable AuditIndex auditIndex_;  // a cache: reading pages fills it
};

}  // namespace bastor
