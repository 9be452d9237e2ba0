#pragma once

#include <string>
#include <vector>

#include "BastorShared/records/BastorRequest.h"

namespace bastor {

// Decides which file a command would run and whether a working directory is
// usable. Stateless and uncached: every call looks at the file system as it
// is at that moment, which is why the executor resolves again right before a
// run. Failures are BastorError::invalidInput with the user-facing message.
class CommandResolver {
  public:
    CommandResolver() = delete;

    // The fixed search path, in search order; also the child's PATH.
    [[nodiscard]] static const std::vector<std::string>& searchPaths();

    // searchPaths() joined with ":".
    [[nodiscard]] static const std::string& pathVariable();

    // The canonical (realpath) absolute path of the executable that `name`
    // (argv[0] as sent) designates: an absolute path as it stands, or a bare
    // name searched on searchPaths(). Relative names with "/" are refused
    // without touching the file system.
    [[nodiscard]] static std::string resolve(const std::string& name);

    // Returns when `cwd` is absolute and an existing directory (links followed).
    static void validateWorkingDirectory(const std::string& cwd);

    // Advisory texts for the client: a shell or interpreter as the resolved
    // executable or as argv[0] was typed, and an argument under a protected
    // path. Never fails.
    [[nodiscard]] static std::vector<std::string> warnings(const BastorRequest& request);

  private:
    // `path` when it is an executable non-directory that realpath accepts;
    // errors name `original`, the name the client sent.
    static std::string canonicalExecutable(const std::string& path, const std::string& original);
};

}  // namespace bastor
