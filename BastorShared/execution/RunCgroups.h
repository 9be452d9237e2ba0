#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "BastorShared/platform/Cgroup.h"
#include "BastorShared/records/BastorResult.h"

namespace bastor {

// One run's cgroup: the child is born in it, so everything the run starts
// stays in it and can be signalled and ended as a whole. Movable, not
// thread-safe: it belongs to the run's own thread.
class RunCgroup {
  public:
    explicit RunCgroup(Cgroup cgroup) : cgroup_(std::move(cgroup)) {}
    RunCgroup(RunCgroup&& other) noexcept;
    RunCgroup& operator=(RunCgroup&&) = delete;
    // Without finish(): kills, waits and removes, best effort.
    ~RunCgroup();

    [[nodiscard]] int fd() const { return cgroup_.fd(); }
    [[nodiscard]] const std::string& path() const { return cgroup_.path(); }

    // `number` to every process in the cgroup. SIGKILL goes through
    // cgroup.kill; any other signal is sent while the cgroup is frozen, so no
    // process forks away from it. Never fails.
    void signalAll(int number) const noexcept;

    // Ends the run's cgroup: kills whatever is still in it (`child` is not
    // counted as a leftover), waits until it is empty, reads its usage, and
    // removes it. Throws SystemError when it cannot be emptied or removed.
    RunUsage finish(pid_t child);

  private:
    Cgroup cgroup_;
    bool finished_ = false;
};

// The cgroup v2 subtree in which one process runs commands: the process
// itself sits in the leaf "supervisor", each run in a fresh "run-<n>" beside
// it, so that runs are never nested under a cgroup holding processes. Only
// one per process at a time.
class RunCgroups {
  public:
    static constexpr std::string_view none = "none";
    static constexpr std::string_view supervisorName = "supervisor";

    // Takes over `root`, a cgroup v2 directory ("none": no cgroups): moves
    // the calling process into root/supervisor, gives runs the memory
    // controller where root offers it, and kills and removes every run-<n>
    // an earlier process left behind. Never throws: when root is unusable,
    // usable() is false, problem() says why, and nothing was changed.
    explicit RunCgroups(const std::string& root);
    // Moves the process back where it was and removes the supervisor leaf.
    ~RunCgroups();
    RunCgroups(const RunCgroups&) = delete;
    RunCgroups& operator=(const RunCgroups&) = delete;

    [[nodiscard]] bool usable() const { return usable_; }
    [[nodiscard]] const std::string& problem() const { return problem_; }
    [[nodiscard]] int leftoversRemoved() const { return leftoversRemoved_; }

    // A fresh, empty run-<n>. Thread-safe. Throws SystemError.
    [[nodiscard]] RunCgroup createRun();

    // The calling process's own cgroup directory, or "none".
    [[nodiscard]] static std::string discoverRoot();

  private:
    void takeOver();
    void giveBack() noexcept;

    std::string rootPath_;
    std::optional<Cgroup> root_;
    std::optional<Cgroup> supervisor_;
    std::optional<std::string> origin_;
    bool memoryEnabled_ = false;
    bool usable_ = false;
    std::string problem_;
    int leftoversRemoved_ = 0;
    std::atomic<std::uint64_t> nextRun_{1};
};

}  // namespace bastor
