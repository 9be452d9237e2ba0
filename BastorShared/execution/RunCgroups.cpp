#include "BastorShared/execution/RunCgroups.h"

#include <signal.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <sstream>

#include "BastorShared/platform/SystemError.h"

namespace bastor {

namespace {

using std::chrono::milliseconds;

constexpr long kCgroup2Magic = 0x63677270;  // CGROUP2_SUPER_MAGIC
// cgroup.kill acts at once; only a task stuck in the kernel (a dead NFS
// server, say) takes longer, and the daemon must not hang on it for ever.
constexpr milliseconds kEmptyPatience{10000};
constexpr milliseconds kFreezePatience{1000};

bool isRunName(std::string_view name) {
    if (!name.starts_with("run-") || name.size() == 4) return false;
    name.remove_prefix(4);
    return std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The processes of `cgroup` and every cgroup below it: a run may make its own.
void collectProcesses(const Cgroup& cgroup, std::vector<pid_t>& pids) {
    const auto own = cgroup.processes();
    pids.insert(pids.end(), own.begin(), own.end());
    for (const auto& name : cgroup.children())
        collectProcesses(Cgroup::open(cgroup.path() + "/" + name), pids);
}

// A process on its way out closes its files before it leaves its cgroup;
// such a one was not left behind. PF_EXITING in the flags of /proc/PID/stat.
bool exiting(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto end = text.rfind(')');
    if (end == std::string::npos) return true;  // already gone
    std::istringstream fields(text.substr(end + 2));
    std::string skipped;
    for (int field = 3; field < 9; ++field)
        fields >> skipped;
    unsigned long flags = 0;
    fields >> flags;
    constexpr unsigned long kExiting = 0x4;
    return (flags & kExiting) != 0;
}

void endCgroup(const Cgroup& cgroup) {
    cgroup.kill();
    if (!cgroup.waitUntilEmpty(kEmptyPatience))
        throw SystemError("could not empty the cgroup", cgroup.path(), EBUSY);
    cgroup.removeTree();
}

// What a run's cgroup holds when it is made, for what a run (as root) could
// have changed in its own cgroup and the next run would inherit. A file the
// kernel does not offer cannot have been changed.
struct AsMade {
    std::string_view file;
    std::string_view text;
};
constexpr AsMade kAsMade[] = {
    {"cgroup.subtree_control", ""}, {"cgroup.type", "domain"}, {"cgroup.max.descendants", "max"},
    {"cgroup.max.depth", "max"},    {"cgroup.freeze", "0"},
};
constexpr AsMade kMemoryAsMade[] = {
    {"memory.max", "max"}, {"memory.high", "max"}, {"memory.swap.max", "max"},
    {"memory.min", "0"},   {"memory.low", "0"},    {"memory.oom.group", "0"},
};

constexpr std::size_t kAsMadeCount = std::size(kAsMade);

const AsMade& asMadeAt(std::size_t index) {
    return index < kAsMadeCount ? kAsMade[index] : kMemoryAsMade[index - kAsMadeCount];
}

RunCgroupFiles holdFiles(const Cgroup& cgroup, bool memory) {
    RunCgroupFiles files;
    files.events = cgroup.hold("cgroup.events");
    files.cpuStat = cgroup.hold("cpu.stat");
    files.stat = cgroup.hold("cgroup.stat");
    files.peak = cgroup.openResettablePeak();
    if (!files.peak) files.lastingPeak = cgroup.hold("memory.peak");
    const std::size_t count = kAsMadeCount + (memory ? std::size(kMemoryAsMade) : 0);
    for (std::size_t i = 0; i < count; ++i)
        files.asMade.push_back(cgroup.hold(asMadeAt(i).file));
    return files;
}

std::optional<std::int64_t> heldValue(const Cgroup& cgroup, const UniqueFd& held,
                                      std::string_view file, std::string_view key) {
    const auto text = cgroup.reread(held, file);
    return text ? Cgroup::keyedValue(*text, key) : std::nullopt;
}

bool holds(const std::optional<std::string>& text, const AsMade& made) {
    if (!text) return true;
    std::string_view value(*text);
    if (value.ends_with('\n')) value.remove_suffix(1);  // an empty list may lack it
    return value == made.text;
}

}  // namespace

RunCgroup::RunCgroup(Cgroup cgroup, RunCgroups& owner, std::int64_t cpuUsecBefore,
                     RunCgroupFiles files)
    : cgroup_(std::move(cgroup)),
      owner_(&owner),
      cpuUsecBefore_(cpuUsecBefore),
      files_(std::move(files)) {}

RunCgroup::~RunCgroup() {
    if (finished_) {
        if (reusable_) owner_->keep({std::move(cgroup_), cpuUsecBefore_, std::move(files_)});
        return;
    }
    try {
        endCgroup(cgroup_);
    } catch (...) {
        // Left for the next start's clean-up of leftovers.
    }
}

RunCgroup::RunCgroup(RunCgroup&& other) noexcept
    : cgroup_(std::move(other.cgroup_)),
      owner_(other.owner_),
      cpuUsecBefore_(other.cpuUsecBefore_),
      files_(std::move(other.files_)),
      finished_(std::exchange(other.finished_, true)),
      reusable_(std::exchange(other.reusable_, false)) {}

void RunCgroup::signalAll(int number) const noexcept {
    if (number == SIGKILL) {
        try {
            cgroup_.kill();
        } catch (...) {
            // The kill at the end of the run still comes.
        }
        return;
    }
    // Frozen, nothing can fork or exit, so every pid read is one of ours. A
    // freeze that fails or does not settle in time only widens that window.
    try {
        (void)cgroup_.freeze(true, kFreezePatience);
    } catch (...) {
    }
    std::vector<pid_t> pids;
    try {
        collectProcesses(cgroup_, pids);
    } catch (...) {
    }
    for (const pid_t pid : pids)
        ::kill(pid, number);
    try {
        (void)cgroup_.freeze(false, kFreezePatience);
    } catch (...) {
    }
}

RunUsage RunCgroup::finish(pid_t child) {
    RunUsage usage;
    // Most runs leave nothing behind; reading one file tells.
    if (heldValue(cgroup_, files_.events, "cgroup.events", "populated").value_or(1) != 0) {
        std::vector<pid_t> pids;
        collectProcesses(cgroup_, pids);
        usage.leftoverKilled = std::count_if(
            pids.begin(), pids.end(), [child](pid_t pid) { return pid != child && !exiting(pid); });
        cgroup_.kill();
        if (!cgroup_.waitUntilEmpty(kEmptyPatience))
            throw SystemError("could not empty the cgroup", cgroup_.path(), EBUSY);
    }
    const std::int64_t cpuUsec =
        heldValue(cgroup_, files_.cpuStat, "cpu.stat", "usage_usec").value_or(0);
    usage.cpuUsec = std::max<std::int64_t>(0, cpuUsec - cpuUsecBefore_);
    if (files_.peak || files_.lastingPeak)
        usage.memoryPeak = Cgroup::readPeak((files_.peak ? files_.peak : files_.lastingPeak).get());
    // Kept (by the destructor, once the child is reaped) only when the next
    // run would find it as a new one: its own CPU time and memory peak apart,
    // nothing changed, nothing below it.
    reusable_ = !files_.lastingPeak && asMade();
    if (reusable_) {
        cpuUsecBefore_ = cpuUsec;
    } else {
        cgroup_.removeTree();
    }
    finished_ = true;
    return usage;
}

bool RunCgroup::asMade() const {
    try {
        if (heldValue(cgroup_, files_.stat, "cgroup.stat", "nr_descendants").value_or(1) != 0)
            return false;
        for (std::size_t i = 0; i < files_.asMade.size(); ++i) {
            const AsMade& made = asMadeAt(i);
            if (!holds(cgroup_.reread(files_.asMade[i], made.file), made)) return false;
        }
        return true;
    } catch (const SystemError&) {
        return false;
    }
}

RunCgroups::RunCgroups(const std::string& root) : rootPath_(root) {
    if (root == none) {
        problem_ = "no cgroup v2 hierarchy to work in";
        return;
    }
    try {
        takeOver();
        usable_ = true;
    } catch (const std::exception& error) {
        problem_ = error.what();
        giveBack();
    }
}

RunCgroups::~RunCgroups() {
    if (usable_) giveBack();
}

void RunCgroups::takeOver() {
    struct statfs info {};
    if (::statfs(rootPath_.c_str(), &info) != 0)
        throwSystemError("could not reach the cgroup", rootPath_);
    if (info.f_type != kCgroup2Magic)
        throw SystemError("not a cgroup v2 directory:", rootPath_, ENOTSUP);
    root_.emplace(Cgroup::open(rootPath_));
    origin_ = ownCgroupDirectory();
    try {
        supervisor_.emplace(Cgroup::create(rootPath_, supervisorName));
    } catch (const SystemError& error) {
        if (error.code() != EEXIST) throw;
        supervisor_.emplace(Cgroup::open(rootPath_ + "/" + std::string(supervisorName)));
    }
    if (!supervisor_->has("cgroup.kill"))
        throw SystemError("no cgroup.kill in", supervisor_->path(), ENOTSUP);
    supervisor_->adoptSelf();

    const std::string controllers = root_->read("cgroup.controllers").value_or("");
    if ((" " + controllers).find(" memory") != std::string::npos) {
        try {
            root_->write("cgroup.subtree_control", "+memory");
            memoryEnabled_ = true;
        } catch (const SystemError&) {
            // Runs go without a memory peak.
        }
    }

    // A run whose daemon died is still running as root, unwatched. Empty ones
    // were kept for reuse and are only removed.
    for (const auto& name : root_->children()) {
        if (!isRunName(name)) continue;
        const Cgroup leftover = Cgroup::open(rootPath_ + "/" + name);
        const bool populated = leftover.statValue("cgroup.events", "populated").value_or(1) != 0;
        endCgroup(leftover);
        if (populated) ++leftoversRemoved_;
    }
}

void RunCgroups::giveBack() noexcept {
    std::vector<Idle> idle;
    {
        std::lock_guard lock(idleMutex_);
        idle.swap(idle_);
    }
    for (const Idle& kept : idle)
        discard(kept.cgroup);
    try {
        if (memoryEnabled_) root_->write("cgroup.subtree_control", "-memory");
    } catch (...) {
    }
    try {
        if (supervisor_) {
            Cgroup::open(origin_.value_or(rootPath_)).adoptSelf();
            if (origin_ != supervisor_->path()) supervisor_->removeTree();
        }
    } catch (...) {
    }
}

RunCgroup RunCgroups::createRun() {
    {
        std::lock_guard lock(idleMutex_);
        while (!idle_.empty()) {
            Idle kept = std::move(idle_.back());
            idle_.pop_back();
            if (kept.files.peak && !Cgroup::resetPeak(kept.files.peak.get())) {
                discard(kept.cgroup);
                continue;
            }
            return RunCgroup(std::move(kept.cgroup), *this, kept.cpuUsec, std::move(kept.files));
        }
    }
    for (;;) {
        const std::string name = "run-" + std::to_string(nextRun_++);
        try {
            Cgroup cgroup = Cgroup::create(rootPath_, name);
            RunCgroupFiles files;
            try {
                files = holdFiles(cgroup, memoryEnabled_);
            } catch (...) {
                discard(cgroup);
                throw;
            }
            return RunCgroup(std::move(cgroup), *this, 0, std::move(files));
        } catch (const SystemError& error) {
            if (error.code() != EEXIST) throw;
        }
    }
}

void RunCgroups::keep(Idle idle) noexcept {
    {
        std::lock_guard lock(idleMutex_);
        if (idle_.size() < maxIdle) {
            idle_.push_back(std::move(idle));
            return;
        }
    }
    discard(idle.cgroup);
}

void RunCgroups::discard(const Cgroup& cgroup) noexcept {
    try {
        cgroup.removeTree();
    } catch (...) {
        // Left for the next start's clean-up.
    }
}

std::string RunCgroups::discoverRoot() {
    return ownCgroupDirectory().value_or(std::string(none));
}

}  // namespace bastor
