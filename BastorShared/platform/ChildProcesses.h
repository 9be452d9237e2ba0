#pragma once

#include <sys/types.h>

#include <vector>

// The calling process's own children, found through /proc.
namespace bastor::ChildProcesses {

// Pids of the living (or not yet reaped) children of this process.
[[nodiscard]] std::vector<pid_t> list();

// Sends `signal` to the process group each child leads (to the child alone
// when it leads none). Returns how many children there were. Never fails.
std::size_t signalGroups(int signal) noexcept;

}  // namespace bastor::ChildProcesses
