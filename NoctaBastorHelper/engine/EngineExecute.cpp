#include <exception>
#include <utility>

#include "BastorShared/audit/AuditEntries.h"
#include "BastorShared/execution/BastorExecutor.h"
#include "BastorShared/records/BastorError.h"
#include "NoctaBastorHelper/engine/BastorEngine.h"

namespace bastor {

BastorResult BastorEngine::execute(const BastorRequest& request, const JournalFields& journal) {
    std::optional<AuditStore::Written> approved;
    {
        std::lock_guard lock(mutex_);
        if (!currentState_.enabled) throw BastorError::off();
        // A command whose approval cannot be recorded never runs.
        if (currentState_.auditEnabled)
            approved =
                audit_.write(AuditEntries::makeEntry(request, BastorAuditEvent::approved), journal);
    }
    // Nor one whose approval a power loss could still take back.
    if (approved) audit_.awaitDurable(approved->ticket);

    // The requester's uid joins the kernel record once execute is told who
    // its caller is; until then the record names the helper alone.
    const std::optional<uid_t> requester;

    // The mutex is free while the run waits and runs, so switches, reads and
    // other runs proceed meanwhile.
    BastorExecution execution;
    try {
        execution = limiter_.withPermit([&] { return executor_.run(request); });
    } catch (const std::exception& error) {
        kernelAudit_.commandRan(request.argv, request.cwd, requester, false);
        appendFailedEntry(request, describe(error), journal);
        throw;
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
        throw BastorError::execution("The command ran (exit status " +
                                     std::to_string(execution.result.exitCode) +
                                     ") but its outcome could not be recorded: " + reason);
    }

    BastorResult result = std::move(execution.result);
    if (approved) result.auditID = approved->entry.id;
    return result;
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
