#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/records/AuditEntry.h"
#include "BastorShared/records/BastorRequest.h"

namespace bastor::test {

// A fresh temporary directory, removed with its content at the end.
class TempDir {
  public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

[[nodiscard]] std::string readFile(const std::filesystem::path& file);
void writeFile(const std::filesystem::path& file, std::string_view bytes, bool append = false);
[[nodiscard]] mode_t modeOf(const std::filesystem::path& path);

[[nodiscard]] std::vector<std::string> linesOf(const std::filesystem::path& file);
[[nodiscard]] std::vector<AuditEntry> entriesOf(const std::filesystem::path& file);
// Every audit file of the directory in chain order, each as its lines.
[[nodiscard]] std::vector<std::vector<std::string>> allFileLines(const std::filesystem::path& dir);

// A valid approved request; resolvedPath as the resolver finds it now.
[[nodiscard]] BastorRequest requestFor(std::vector<std::string> argv, std::string cwd = "/");
[[nodiscard]] AuditEntry clientEvent(std::string reason = "from the client");

[[nodiscard]] inline BastorVerification intactLog(std::int64_t count) {
    return {.intact = true, .count = count, .brokenSeq = std::nullopt};
}
[[nodiscard]] inline BastorVerification brokenLog(std::int64_t count, std::int64_t brokenSeq) {
    return {.intact = false, .count = count, .brokenSeq = brokenSeq};
}

}  // namespace bastor::test
