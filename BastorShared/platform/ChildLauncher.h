#pragma once

#include <sys/types.h>

#include "BastorShared/platform/UniqueFd.h"

namespace bastor {

// What a child is started with. Every descriptor must be above 2; none is
// taken over, the caller keeps and closes them.
struct LaunchSpec {
    const char* path = nullptr;  // named in errors; executed when execFd < 0
    int execFd = -1;             // the file to run, opened O_PATH (run with AT_EMPTY_PATH)
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    const char* cwd = nullptr;
    int stdinFd = -1;
    int stdoutFd = -1;
    int stderrFd = -1;
    int cgroupFd = -1;  // a cgroup v2 directory the child is created in, or -1
};

struct LaunchedChild {
    pid_t pid = -1;
    UniqueFd pidfd;
};

// Starts one child with clone3, vfork-style: on a stack of its own, sharing
// memory with the caller, who sleeps until the child has exec'd or failed, so
// the cost is that of posix_spawn. With a cgroupFd the child is born inside
// that cgroup (CLONE_INTO_CGROUP) and never runs anywhere else.
//
// The child, using raw system calls only: leads a new process group; puts
// every signal at its default disposition; clears its signal mask; takes the
// three descriptors as 0, 1, 2; changes to cwd; marks every descriptor above
// 2 close-on-exec; executes. A failure on the way reaches the caller (in
// the memory they share, or else through a close-on-exec pipe) and is thrown
// as SystemError ("could not launch '<path>': <reason>") with the child
// already reaped.
//
// Thread-safe. The caller's signal handlers never run in the child: every
// signal is blocked on the calling thread while the child exists unexec'd.
[[nodiscard]] LaunchedChild launchChild(const LaunchSpec& spec);

}  // namespace bastor
