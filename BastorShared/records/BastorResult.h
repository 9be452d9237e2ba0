#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "BastorShared/platform/Uuid.h"

namespace bastor {

// The outcome of one run as the client sees it.
struct BastorResult {
    std::int32_t exitCode = 0;  // exit status, or the number of the ending signal
    std::string stdout;
    std::string stderr;
    bool stdoutTruncated = false;
    bool stderrTruncated = false;
    std::int64_t durationMs = 0;
    std::optional<Uuid> auditID;  // set by the engine, never by the executor
};

// What a run's cgroup tells about the run as a whole. Plain value.
struct RunUsage {
    std::int64_t leftoverKilled = 0;         // processes still in the cgroup when the run ended
    std::int64_t cpuUsec = 0;                // CPU time of everything the run started
    std::optional<std::int64_t> memoryPeak;  // bytes; only where the memory controller is on
};

// The result plus digests and sizes of the whole output streams, for the
// audit log only; never sent to the client.
struct BastorExecution {
    BastorResult result;
    std::string stdoutSHA256;
    std::string stderrSHA256;
    std::int64_t stdoutBytes = 0;
    std::int64_t stderrBytes = 0;
    std::optional<RunUsage> usage;  // absent when runs have no cgroup of their own
};

}  // namespace bastor
