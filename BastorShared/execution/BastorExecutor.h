#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/execution/RunCgroups.h"
#include "BastorShared/records/BastorRequest.h"
#include "BastorShared/records/BastorResult.h"

namespace bastor {

class TrustedExecutable;

// Runs approved requests as child processes, as root, and reports how they
// ended. Each run owns its pipes, collectors, timeout and, where cgroups are
// usable, its cgroup. Thread-safe: runs may go on side by side.
class BastorExecutor {
  public:
    // Bytes kept from each output stream.
    static constexpr std::int64_t outputLimit = 1048576;
    // The most one read of an output pipe asks for.
    static constexpr std::size_t readChunkSize = 65536;

    // Each run gets a cgroup of its own under `cgroupRoot`, which this
    // executor takes over as RunCgroups describes; with "none", or when the
    // root is unusable (cgroups().problem() says why), runs are held by their
    // process group only. At most one executor per process uses cgroups.
    explicit BastorExecutor(const std::string& cgroupRoot);

    // The child's whole environment, as "NAME=value" entries.
    [[nodiscard]] static const std::vector<std::string>& environment();

    // Blocks the calling thread for the whole run. Before anything is
    // launched it throws BastorError when the request fails validation, when
    // argv[0] no longer resolves to request.resolvedPath or to the file found
    // then, when a user other than root could replace that file, when cwd is
    // not a directory, or when an argument holds a NUL byte; it throws
    // SystemError ("could not launch '<path>': ...") when the launch fails,
    // leaving nothing running. Once the child runs nothing is thrown: exit
    // status, signal and timeout land in result.exitCode.
    //
    // The run ends when the child has exited and no descendant holds an
    // output pipe, or at the deadline plus the 5-second grace (SIGTERM at the
    // deadline, SIGKILL then, to everything the run started). With a cgroup,
    // whatever is left in it is killed when the run ends, and the run's usage
    // is reported; without one, a process that left the group survives.
    //
    // The caller's process must not reap children it did not spawn itself
    // (no waitpid(-1), SIGCHLD not ignored).
    [[nodiscard]] BastorExecution run(const BastorRequest& request);

    [[nodiscard]] const RunCgroups& cgroups() const { return cgroups_; }

  private:
    BastorExecution runSynchronously(const BastorRequest& request,
                                     const TrustedExecutable& executable);

    RunCgroups cgroups_;
};

}  // namespace bastor
