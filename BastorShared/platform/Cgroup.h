#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/platform/UniqueFd.h"

namespace bastor {

// One cgroup v2 directory, held open, and the interface files the system
// uses. Failures throw SystemError naming the file. Not thread-safe; a
// const object may be used from several threads.
class Cgroup {
  public:
    // Opens an existing cgroup directory.
    [[nodiscard]] static Cgroup open(std::string path);
    // Creates `parent`/`name` and opens it; EEXIST is thrown like any error.
    [[nodiscard]] static Cgroup create(const std::string& parent, std::string_view name);

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] int fd() const { return fd_.get(); }

    // Whole content of an interface file; nothing when it does not exist.
    [[nodiscard]] std::optional<std::string> read(std::string_view file) const;
    void write(std::string_view file, std::string_view text) const;
    // Whether the interface file exists (controllers and kernels differ).
    [[nodiscard]] bool has(std::string_view file) const;

    // Moves the calling process (all its threads) into this cgroup.
    void adoptSelf() const;
    // The processes directly in this cgroup.
    [[nodiscard]] std::vector<pid_t> processes() const;
    // The names of the child cgroups.
    [[nodiscard]] std::vector<std::string> children() const;
    // SIGKILL to every process in this cgroup and below (cgroup.kill).
    void kill() const;
    // Freezes or thaws this cgroup and below; waits up to `patience` for the
    // freeze to settle. False when it did not.
    bool freeze(bool frozen, std::chrono::milliseconds patience) const;
    // Waits until no process is left in this cgroup or below ("populated 0"
    // in cgroup.events). False when `patience` ran out first.
    bool waitUntilEmpty(std::chrono::milliseconds patience) const;
    // A "key value" line of a flat-keyed file such as cpu.stat.
    [[nodiscard]] std::optional<std::int64_t> statValue(std::string_view file,
                                                        std::string_view key) const;
    // The same, in such a file's text.
    [[nodiscard]] static std::optional<std::int64_t> keyedValue(std::string_view text,
                                                                std::string_view key);

    // An interface file held open, so that reading it again (reread) costs
    // one call; invalid when the kernel does not offer it.
    [[nodiscard]] UniqueFd hold(std::string_view file) const;
    // The whole of a held file, read from its start; nothing when `held` is
    // invalid. `file` names it in errors.
    [[nodiscard]] std::optional<std::string> reread(const UniqueFd& held,
                                                    std::string_view file) const;

    // memory.peak opened so that a write resets what reads through this same
    // descriptor report (Linux 6.12 on); invalid where the kernel or the
    // controllers do not allow that.
    [[nodiscard]] UniqueFd openResettablePeak() const;
    // Restarts `peak`'s figure from the memory in use now. False if refused.
    static bool resetPeak(int peak) noexcept;
    // The number `peak` reports now; nothing when it cannot be read.
    [[nodiscard]] static std::optional<std::int64_t> readPeak(int peak) noexcept;

    // Removes the directory and every child cgroup below it, deepest first.
    // They must hold no process.
    void removeTree() const;

  private:
    Cgroup(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
    bool waitForEvent(std::string_view line, std::chrono::milliseconds patience) const;

    std::string path_;
    UniqueFd fd_;
};

// Where the calling process sits in the cgroup v2 hierarchy, from
// /proc/self/mountinfo and /proc/self/cgroup; nothing when no cgroup v2 is
// mounted (or it does not show the process's cgroup). Never throws.
[[nodiscard]] std::optional<std::string> ownCgroupDirectory();

// The parts of it, for the two files' texts.
[[nodiscard]] std::optional<std::string> cgroup2Directory(std::string_view mountinfo,
                                                          std::string_view procSelfCgroup);

}  // namespace bastor
