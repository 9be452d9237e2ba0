#pragma once
// Cgroups of a test's own, so that tests running side by side never meet,
// and nothing of them is left when the test ends.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "BastorShared/execution/BastorExecutor.h"
#include "BastorShared/platform/Cgroup.h"

namespace bastor::test {

inline std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A fresh cgroup v2 directory below the test process's own cgroup. At the
// end everything still in it is killed and the whole subtree removed.
class TestCgroupRoot {
  public:
    TestCgroupRoot() {
        static std::atomic<int> counter = 0;
        const auto own = ownCgroupDirectory();
        if (!own) return;
        const std::string path =
            *own + "/bastor-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        if (::mkdir(path.c_str(), 0755) == 0) path_ = path;
    }
    ~TestCgroupRoot() {
        if (!path_) return;
        try {
            const Cgroup root = Cgroup::open(*path_);
            for (const auto& name : root.children()) {
                const Cgroup child = Cgroup::open(*path_ + "/" + name);
                child.kill();
                child.waitUntilEmpty(std::chrono::seconds(10));
            }
            root.removeTree();
        } catch (...) {
        }
    }
    TestCgroupRoot(const TestCgroupRoot&) = delete;
    TestCgroupRoot& operator=(const TestCgroupRoot&) = delete;

    [[nodiscard]] bool available() const { return path_.has_value(); }
    [[nodiscard]] const std::string& path() const { return *path_; }

  private:
    std::optional<std::string> path_;
};

// An executor that keeps its runs in a TestCgroupRoot of its own. Throws
// std::runtime_error when there is none to be had or the executor cannot use it.
class ContainedExecutor {
  public:
    ContainedExecutor() : executor_(root_.available() ? root_.path() : "none") {
        if (!executor_.cgroups().usable()) throw std::runtime_error(executor_.cgroups().problem());
    }
    [[nodiscard]] const std::string& rootPath() const { return root_.path(); }
    BastorExecutor& operator*() { return executor_; }
    BastorExecutor* operator->() { return &executor_; }

  private:
    TestCgroupRoot root_;
    BastorExecutor executor_;
};

// Holds the calling process, and so every child it starts, in a cgroup v1
// "pids" group with a limit, when that hierarchy is mounted (a hybrid host);
// puts the process back at the end.
class PidsLimit {
  public:
    explicit PidsLimit(int limit) {
        const std::string mount = "/sys/fs/cgroup/pids";
        std::string own;
        std::istringstream lines(slurp("/proc/self/cgroup"));
        for (std::string line; std::getline(lines, line);)
            if (line.find(":pids:") != std::string::npos) own = line.substr(line.find(":/") + 1);
        if (own.empty() || !std::filesystem::exists(mount + "/cgroup.procs")) return;
        origin_ = mount + own;
        const std::string mine =
            own + (own == "/" ? "" : "/") + "bastor-test-" + std::to_string(::getpid());
        path_ = mount + mine;
        if (::mkdir(path_.c_str(), 0755) != 0) return;
        std::ofstream(path_ + "/pids.max") << limit;
        std::ofstream(path_ + "/cgroup.procs") << ::getpid();
        active_ = slurp("/proc/self/cgroup").find(":pids:" + mine + "\n") != std::string::npos;
    }
    ~PidsLimit() {
        if (path_.empty()) return;
        std::ofstream(origin_ + "/cgroup.procs") << ::getpid();
        for (int tries = 0; tries < 500 && ::rmdir(path_.c_str()) != 0; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    PidsLimit(const PidsLimit&) = delete;
    PidsLimit& operator=(const PidsLimit&) = delete;
    [[nodiscard]] bool active() const { return active_; }

  private:
    std::string origin_;
    std::string path_;
    bool active_ = false;
};

// Whether every run cgroup below `root` is empty: a run's cgroup may be kept
// for later runs, but never with a process in it.
inline bool nothingLeftRunning(const std::string& root) {
    for (const auto& name : Cgroup::open(root).children())
        if (name != "supervisor" && !Cgroup::open(root + "/" + name).processes().empty())
            return false;
    return true;
}

// A process is gone once it has no /proc entry or is a zombie nobody reaps.
inline bool processGone(pid_t pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return stat.empty() || (close != std::string::npos && stat.substr(close + 2, 1) == "Z");
}

}  // namespace bastor::test
