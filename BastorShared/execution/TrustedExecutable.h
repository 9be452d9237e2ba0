#pragma once

#include <string>

#include "BastorShared/platform/UniqueFd.h"

namespace bastor {

// The file a run will execute, opened once (O_PATH) and checked through that
// descriptor, so the file that runs is the file that was checked. Admitted
// only when no one but root can replace it: the file and every directory on
// its path are owned by root and not writable by group or others. Movable
// value; thread-compatible.
class TrustedExecutable {
  public:
    // Opens the canonical `path` one component at a time, never following a
    // link, and checks each. Throws BastorError::execution: "The executable
    // <path> could be replaced by a user other than root: <culprit>; the
    // command was not run", or "The resolved executable changed after
    // approval; the command was not run" when the file reached is not the
    // one the path named a moment before (device and inode).
    [[nodiscard]] static TrustedExecutable open(const std::string& path);

    [[nodiscard]] int fd() const { return fd_.get(); }
    // A "#!" script: the kernel would show its interpreter a /dev/fd name
    // that is gone after exec, so scripts are run by path.
    [[nodiscard]] bool isScript() const { return script_; }

  private:
    TrustedExecutable(UniqueFd fd, bool script) : fd_(std::move(fd)), script_(script) {}

    UniqueFd fd_;
    bool script_ = false;
};

}  // namespace bastor
