#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
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
// mutex; an execution lets go of it while it waits for a permit and while the
// command runs, and takes it again to audit the outcome. Thread-safe.
class BastorEngine {
  public:
    // How an execution ended: its result, or the failure the caller receives.
    using ExecuteOutcome = std::variant<BastorResult, std::exception_ptr>;
    using ExecuteDone = std::function<void(ExecuteOutcome)>;
    // Asked when a permit comes; false means nobody waits for the outcome.
    using CallerPresent = std::function<bool()>;

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
    // Ends waiting executions as abandoned and waits for running ones.
    ~BastorEngine();

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

    // Runs an approved request: checks the master switch, audits the
    // approval, queues the command for a permit and returns at once. Throws,
    // with nothing run, when the switch is off, when maxWaitingRuns commands
    // already wait (nothing audited: busyMessage), or when the approval
    // cannot be audited. Otherwise `done` is called exactly once, on the
    // thread that ran the command or the one that stopped the engine, after
    // the outcome was audited (in the kernel's audit trail too, whatever
    // the audit switch says). A command whose caller is no longer present
    // when its permit comes, or that still waits when stopWaiting() is
    // called, is not run: it fails with abandonedMessage, audited as such.
    // Every entry it appends is logged to journald with `journal`; the
    // kernel's record names `requester`, the uid of the person who asked.
    // Called by work that startOnFreePermit() started, it runs the command on
    // that permit before it returns.
    void execute(BastorRequest request, CallerPresent present, ExecuteDone done,
                 JournalFields journal = {}, std::optional<uid_t> requester = std::nullopt);

    // The same, waiting for the outcome: returns the result or throws.
    BastorResult execute(const BastorRequest& request, const JournalFields& journal = {});

    // For the work that leads to an execute (decoding, checks): when a permit
    // is free and nobody waits, runs `work` on that permit's thread and
    // returns true; an execute() that `work` then makes runs its command on
    // the same thread, without waiting in the queue or passing to another
    // thread. `work` gets false instead when the engine stopped first. With
    // no permit free: false, with `work` untouched.
    [[nodiscard]] bool startOnFreePermit(BastorExecutionLimiter::Operation& work);

    // Ends every execution still waiting for a permit as abandoned; running
    // ones go on. From then on nothing starts: a later execute is refused as
    // busy, with nothing audited. Returns how many ended.
    std::size_t stopWaiting();
    // Blocks until no execution waits or runs, or for at most `timeout`;
    // returns whether that moment came.
    bool waitForRuns(std::chrono::milliseconds timeout);

    // Appends a client's own event when auditing is on; `done` is called once
    // it is durable (nullptr) or with the failure, from any thread, perhaps
    // before this returns. The thread goes back to its caller meanwhile.
    void recordEvent(const AuditEntry& entry, const JournalFields& journal,
                     GroupCommit::Settled done);
    // The same, returning once it is durable.
    void recordEvent(const AuditEntry& entry, const JournalFields& journal = {});

    // A page of decodable entries, oldest first; offset < 0 counts as 0,
    // limit is clamped to 1...1000. A page longer than `maxSentBytes` when
    // sent is refused (see AuditReader::readPage).
    [[nodiscard]] std::vector<AuditEntry> readAudit(
        std::int64_t offset, std::int64_t limit,
        std::size_t maxSentBytes = std::numeric_limits<std::size_t>::max()) const;

    // Verifies every audit file in chain order, streaming them.
    [[nodiscard]] BastorVerification verifyAudit() const;

    [[nodiscard]] const std::filesystem::path& directory() const { return directory_; }

    static constexpr int maxConcurrentRuns = 4;
    static constexpr std::size_t maxWaitingRuns = 1024;
    static constexpr const char* busyMessage = "The helper is busy; try again later.";
    static constexpr const char* abandonedMessage =
        "The client went away before the command started; it was not run.";

  private:
    void saveState();
    struct Approval {
        std::optional<AuditEntry> entry;  // written, not yet durable
        std::optional<GroupCommit::Ticket> ticket;
    };
    // With mutex_ held: the approved entry, written when auditing is on.
    Approval approve(const BastorRequest& request, const JournalFields& journal);
    // execute() on a permit this thread already holds.
    void executeHere(const BastorRequest& request, const CallerPresent& present,
                     const ExecuteDone& done, const JournalFields& journal,
                     std::optional<uid_t> requester);
    // The run and its audit, on a permit's thread, once the approval is
    // durable; or, not permitted or with the caller gone, the audit of a run
    // that never started.
    void runApproved(const BastorRequest& request, std::optional<uid_t> requester,
                     const std::optional<AuditEntry>& approved,
                     std::optional<GroupCommit::Ticket> ticket, bool permitted,
                     const CallerPresent& present, const JournalFields& journal,
                     const ExecuteDone& done);
    // Best effort: a failed entry for a run that did not end in a result,
    // durable when this returns. The caller does not hold mutex_.
    void appendFailedEntry(const BastorRequest& request, const std::string& message,
                           const JournalFields& journal) noexcept;
    // Writes the completed entry of a run and waits until it is durable.
    // Throws the store's error; the caller does not hold mutex_.
    void recordCompleted(const AuditEntry& completed, const JournalFields& journal);

    const std::filesystem::path directory_;
    const std::filesystem::path stateURL_;
    KernelAuditLog kernelAudit_;
    BastorExecutor executor_;
    mutable std::mutex mutex_;  // guards the three below
    BastorState currentState_;
    AuditStore audit_;
    mutable AuditIndex auditIndex_;     // a cache: reading pages fills it
    std::atomic<bool> stopped_{false};  // stopWaiting() was called
    // Last: its threads run executions that use everything above.
    BastorExecutionLimiter limiter_{maxConcurrentRuns, maxWaitingRuns};
};

}  // namespace bastor
