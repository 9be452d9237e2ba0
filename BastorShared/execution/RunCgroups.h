#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "BastorShared/platform/Cgroup.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorResult.h"

namespace bastor {

class RunCgroups;

// The files of a run's cgroup read after every run, held open for as long
// as the cgroup serves runs.
struct RunCgroupFiles {
    UniqueFd events;               // cgroup.events
    UniqueFd cpuStat;              // cpu.stat
    UniqueFd stat;                 // cgroup.stat
    std::vector<UniqueFd> asMade;  // those a run could change, in the order checked
    // memory.peak opened for writing, so that this run's peak reads apart
    // from earlier runs'; else, where the kernel offers it, memory.peak as
    // it is, the cgroup's peak over every run it served.
    UniqueFd peak;
    UniqueFd lastingPeak;
};

// One run's cgroup: the child is born in it, so everything the run starts
// stays in it and can be signalled and ended as a whole. Movable, not
// thread-safe: it belongs to the run's own thread.
class RunCgroup {
  public:
    RunCgroup(RunCgroup&& other) noexcept;
    RunCgroup& operator=(RunCgroup&&) = delete;
    // Without finish(): kills, waits and removes, best effort. After it: an
    // emptied cgroup goes back to its RunCgroups for the next run.
    ~RunCgroup();

    [[nodiscard]] int fd() const { return cgroup_.fd(); }
    [[nodiscard]] const std::string& path() const { return cgroup_.path(); }

    // `number` to every process in the cgroup. SIGKILL goes through
    // cgroup.kill; any other signal is sent while the cgroup is frozen, so no
    // process forks away from it. Never fails.
    void signalAll(int number) const noexcept;

    // Ends the run's cgroup: kills whatever is still in it (`child` is not
    // counted as a leftover), waits until it is empty, and reads the run's
    // own usage. The cgroup is then kept for another run when the run left
    // it as it was made, else removed. Throws SystemError when it cannot be
    // emptied or removed.
    RunUsage finish(pid_t child);

  private:
    friend class RunCgroups;
    RunCgroup(Cgroup cgroup, RunCgroups& owner, std::int64_t cpuUsecBefore, RunCgroupFiles files);
    [[nodiscard]] bool asMade() const;

    Cgroup cgroup_;
    RunCgroups* owner_;
    std::int64_t cpuUsecBefore_;  // the cgroup's CPU time when this run began
    RunCgroupFiles files_;
    bool finished_ = false;
    bool reusable_ = false;
};

// The cgroup v2 subtree in which one process runs commands: the process
// itself sits in the leaf "supervisor", each run in a "run-<n>" beside it, so
// that runs are never nested under a cgroup holding processes. Only one per
// process at a time. A run's cgroup that ends empty and unchanged is kept for
// a later run: the kernel takes far longer to start a process in a new
// cgroup than in one that has held processes before.
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

    // An empty run-<n>, kept from an earlier run or made now. Thread-safe.
    // Throws SystemError.
    [[nodiscard]] RunCgroup createRun();

    // The calling process's own cgroup directory, or "none".
    [[nodiscard]] static std::string discoverRoot();

  private:
    friend class RunCgroup;
    // Emptied runs kept for reuse; more than the runs that go on at once
    // would only be kept for nothing.
    static constexpr std::size_t maxIdle = 8;
    struct Idle {
        Cgroup cgroup;
        std::int64_t cpuUsec;
        RunCgroupFiles files;
    };

    void takeOver();
    void giveBack() noexcept;
    void keep(Idle idle) noexcept;
    static void discard(const Cgroup& cgroup) noexcept;

    std::string rootPath_;
    std::optional<Cgroup> root_;
    std::optional<Cgroup> supervisor_;
    std::optional<std::string> origin_;
    bool memoryEnabled_ = false;
    bool usable_ = false;
    std::string problem_;
    int leftoversRemoved_ = 0;
    std::atomic<std::uint64_t> nextRun_{1};
    std::mutex idleMutex_;
    std::vector<Idle> idle_;  // guarded by idleMutex_
};

}  // namespace bastor
