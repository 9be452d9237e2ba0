#include <exception>
#include <utility>

#include "BastorShared/audit/AuditEntries.h"
#include "BastorShared/execution/BastorExecutor.h"
#include "BastorShared/records/BastorError.h"
#include "NoctaBastorHelper/engine/BastorEngine.h"

namespace bastor {

BastorResult BastorEngine::execute(const BastorRequest& request, const JournalFields& journal) {
    std::optional<AuditEntry> approved;
    {
        std::lock_guard lock(mutex_);
        if (!currentState_.enabled) throw BastorError::off();
        // A command whose approval cannot be recorded never runs.
        if (currentState_.auditEnabled)
            approved = audit_.append(AuditEntries::makeEntry(request, BastorAuditEvent::approved),
                                     journal);
    }

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
        std::lock_guard lock(mutex_);
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
    {
        std::lock_guard lock(mutex_);
        // Read again: the switch may have changed during the run.
        if (currentState_.auditEnabled) {
            try {
                audit_.append(completed, usage);
            } catch (const std::exception& error) {
                appendFailedEntry(request, describe(error), journal);
                throw;
            }
        }
    }

    BastorResult result = std::move(execution.result);
    if (approved) result.auditID = approved->id;
    return result;
}

void BastorEngine::appendFailedEntry(const BastorRequest& request, const std::string& message,
                                     const JournalFields& journal) noexcept {
    if (!currentState_.auditEnabled) return;
    try {
        AuditEntry failed = AuditEntries::makeEntry(request, BastorAuditEvent::failed);
        failed.error = message;
        audit_.append(failed, journal);
    } catch (...) {
        // The error being reported matters more than this entry.
    }
}

}  // namespace bastor
