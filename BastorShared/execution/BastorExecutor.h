#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BastorShared/records/BastorRequest.h"
#include "BastorShared/records/BastorResult.h"

namespace bastor {

// Runs one approved request as a child process, as root, and reports how it
// ended. Stateless; each run owns its pipes, collectors and timeout.
class BastorExecutor {
  public:
    BastorExecutor() = delete;

    // Bytes kept from each output stream.
    static constexpr std::int64_t outputLimit = 1048576;
    // The most one read of an output pipe asks for.
    static constexpr std::size_t readChunkSize = 65536;

    // The child's whole environment, as "NAME=value" entries.
    [[nodiscard]] static const std::vector<std::string>& environment();

    // Blocks the calling thread for the whole run. Before anything is
    // launched it throws BastorError when the request fails validation, when
    // argv[0] no longer resolves to request.resolvedPath, when cwd is not a
    // directory, or when an argument holds a NUL byte; it throws SystemError ("could not launch
    // '<path>': ...") when the launch fails, leaving nothing running. Once the child runs nothing
    // is thrown: exit status, signal and timeout land in result.exitCode.
    //
    // The run never outlives its deadline plus the 5-second grace: output
    // pipes still held open by descendants after the child exited are read
    // until then, the group is signalled, and the run returns what it read.
    //
    // The caller's process must not reap children it did not spawn itself
    // (no waitpid(-1), SIGCHLD not ignored).
    [[nodiscard]] static BastorExecution run(const BastorRequest& request);

  private:
    static BastorExecution runSynchronously(const BastorRequest& request);
};

}  // namespace bastor
