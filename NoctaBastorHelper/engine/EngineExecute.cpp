#include <exception>
#include <future>
#include <memory>
#include <utility>

#include "BastorShared/audit/AuditEntries.h"
#include "BastorShared/execution/BastorExecutor.h"
#include "BastorShared/records/BastorError.h"
#include "NoctaBastorHelper/engine/BastorEngine.h"

namespace bastor {

namespace {

// Set while a permit taken by startOnFreePermit() awaits its execute.
thread_local bool permitHeld = false;

void finish(const BastorEngine::ExecuteDone& done, BastorEngine::ExecuteOutcome outcome) noexcept {
    try {
        done(std::move(outcome));
    } catch (...) {
        // Delivering the outcome is the caller's business; the audit is done.
    }
}

}  // namespace

bool BastorEngine::startOnFreePermit(BastorExecutionLimiter::Operation& work) {
    auto taken = std::make_shared<BastorExecutionLimiter::Operation>(std::move(work));
    BastorExecutionLimiter::Operation held = [taken](bool permitted) {
        struct Holding {
            explicit Holding(bool permitted) { permitHeld = permitted; }
            ~Holding() { permitHeld = false; }
        } holding(permitted);
        (*taken)(permitted);
    };
    if (limiter_.tryStart(held)) return true;
    work = std::move(*taken);  // not started: the caller's own work goes back
    return false;
}

void BastorEngine::execute(BastorRequest request, CallerPresent present, ExecuteDone done,
                           JournalFields journal, std::optional<uid_t> requester) {
    if (permitHeld) {
        permitHeld = false;
        return executeHere(std::move(request), present, done, journal, requester);
    }
    auto queued = std::make_shared<const BastorRequest>(std::move(request));
    bool approvedAndQueuing = false;
    try {
        std::lock_guard lock(mutex_);
        if (!currentState_.enabled) throw BastorError::off();
        // Refused before the approval is recorded: a busy or stopping helper
        // leaves no trace.
        if (limiter_.full() || stopped_) throw BastorError::execution(busyMessage);
        Approval approval = approve(*queued, journal);
        // Submitted under the mutex, so no other submit takes the room checked
        // above. While it waits it holds no thread; the mutex is free for
        // everything else.
        approvedAndQueuing = true;
        limiter_.submit([this, queued, requester, approved = std::move(approval.entry),
                         ticket = approval.ticket, journal, present = std::move(present),
                         done = std::move(done)](bool permitted) {
            runApproved(*queued, requester, approved, ticket, permitted, present, journal, done);
        });
        return;
    } catch (const std::exception& error) {
        // No thread to run it on: the approval is followed by its failure,
        // written once the mutex is free.
        if (approvedAndQueuing) appendFailedEntry(*queued, describe(error), journal);
        throw;
    }
}

void BastorEngine::executeHere(const BastorRequest& request, const CallerPresent& present,
                               const ExecuteDone& done, const JournalFields& journal,
                               std::optional<uid_t> requester) {
    Approval approval;
    {
        std::lock_guard lock(mutex_);
        if (!currentState_.enabled) throw BastorError::off();
        if (stopped_) throw BastorError::execution(busyMessage);
        approval = approve(request, journal);
    }
    runApproved(request, requester, approval.entry, approval.ticket, true, present, journal, done);
}

BastorEngine::Approval BastorEngine::approve(const BastorRequest& request,
                                             const JournalFields& journal) {
    // A command whose approval cannot be recorded never runs.
    if (!currentState_.auditEnabled) return {};
    auto written =
        audit_.write(AuditEntries::makeEntry(request, BastorAuditEvent::approved), journal);
    return {std::move(written.entry), written.ticket};
}

BastorResult BastorEngine::execute(const BastorRequest& request, const JournalFields& journal) {
    std::promise<ExecuteOutcome> outcome;
    auto future = outcome.get_future();
    execute(
        request, {}, [&outcome](ExecuteOutcome ended) { outcome.set_value(std::move(ended)); },
        journal);
    auto ended = future.get();
    if (auto* failure = std::get_if<std::exception_ptr>(&ended)) std::rethrow_exception(*failure);
    return std::move(std::get<BastorResult>(ended));
}

void BastorEngine::runApproved(const BastorRequest& request, std::optional<uid_t> requester,
                               const std::optional<AuditEntry>& approved,
                               std::optional<GroupCommit::Ticket> ticket, bool permitted,
                               const CallerPresent& present, const JournalFields& journal,
                               const ExecuteDone& done) {
    // Nor does one whose approval a power loss could still take back.
    if (ticket) {
        try {
            audit_.awaitDurable(*ticket);
        } catch (...) {
            return finish(done, std::current_exception());
        }
    }

    // Asked last, right before the start: a caller who left while the
    // approval was being synced, or a stop that came meanwhile, still counts.
    if (!permitted || stopped_ || (present && !present())) {
        kernelAudit_.commandRan(request.argv, request.cwd, requester, false);
        appendFailedEntry(request, abandonedMessage, journal);
        return finish(done, std::make_exception_ptr(BastorError::execution(abandonedMessage)));
    }

    BastorExecution execution;
    try {
        execution = executor_.run(request);
    } catch (const std::exception& error) {
        kernelAudit_.commandRan(request.argv, request.cwd, requester, false);
        appendFailedEntry(request, describe(error), journal);
        return finish(done, std::current_exception());
    }

    // Sent before the completed entry, whose append may fail: the command ran.
    kernelAudit_.commandRan(request.argv, request.cwd, requester, execution.result.exitCode == 0);

    AuditEntry completed = AuditEntries::makeEntry(request, BastorAuditEvent::completed);
    completed.exitCode = execution.result.exitCode;
    completed.durationMs = execution.result.durationMs;
    completed.stdout = AuditStore::capped(execution.result.stdout);
    completed.stderr = AuditStore::capped(execution.result.stderr);
    completed.stdoutSHA256 = execution.stdoutSHA256;
    completed.stderrSHA256 = execution.stderrSHA256;
    completed.stdoutBytes = execution.stdoutBytes;
    completed.stderrBytes = execution.stderrBytes;
    // The caller's fields, and what the run's cgroup tells about the run.
    JournalFields usage = journal;
    if (const auto& measured = execution.usage) {
        usage.push_back({"BASTOR_LEFTOVER_KILLED", std::to_string(measured->leftoverKilled)});
        usage.push_back({"BASTOR_CPU_USEC", std::to_string(measured->cpuUsec)});
        if (measured->memoryPeak)
            usage.push_back({"BASTOR_MEMORY_PEAK", std::to_string(*measured->memoryPeak)});
    }
    try {
        recordCompleted(completed, usage);
    } catch (const std::exception& error) {
        // The command has run: an error alone would read as if it had not.
        const std::string reason = describe(error);
        audit_.noteUnrecorded(completed, reason, usage);
        appendFailedEntry(request, reason, journal);
        return finish(
            done, std::make_exception_ptr(BastorError::execution(
                      "The command ran (exit status " + std::to_string(execution.result.exitCode) +
                      ") but its outcome could not be recorded: " + reason)));
    }

    BastorResult result = std::move(execution.result);
    if (approved) result.auditID = approved->id;
    finish(done, std::move(result));
}

std::size_t BastorEngine::stopWaiting() {
    stopped_ = true;
    return limiter_.cancelWaiting();
}

bool BastorEngine::waitForRuns(std::chrono::milliseconds timeout) {
    return limiter_.waitUntilIdle(timeout);
}

void BastorEngine::recordCompleted(const AuditEntry& completed, const JournalFields& journal) {
    std::optional<AuditStore::Written> written;
    {
        std::lock_guard lock(mutex_);
        // Read again: the switch may have changed during the run.
        if (currentState_.auditEnabled) written = audit_.write(completed, journal);
    }
    if (written) audit_.awaitDurable(written->ticket);
}

void BastorEngine::appendFailedEntry(const BastorRequest& request, const std::string& message,
                                     const JournalFields& journal) noexcept {
    try {
        std::optional<AuditStore::Written> written;
        {
            std::lock_guard lock(mutex_);
            if (!currentState_.auditEnabled) return;
            AuditEntry failed = AuditEntries::makeEntry(request, BastorAuditEvent::failed);
            failed.error = message;
            written = audit_.write(failed, journal);
        }
        audit_.awaitDurable(written->ticket);
    } catch (...) {
        // The error being reported matters more than this entry.
    }
}

}  // namespace bastor
