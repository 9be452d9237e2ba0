#pragma once
// What every test suite shares: a private temporary directory.
//
// Helpers for tests live in `bastor::test`, never in a namespace called
// `testing`, which would hide GoogleTest's own inside `bastor`.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace bastor::test {

// A fresh directory under the temporary directory (or under `parent`, such as
// "/run" for programs to run, which must lie where only root can write),
// removed with everything in it when the test ends. Throws
// std::runtime_error when it cannot be made.
class TempDir {
  public:
    explicit TempDir(const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
        std::string pattern = (parent / "bastor-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
        path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // A name inside the directory, as text for argument lists and shell lines.
    std::string operator/(std::string_view name) const { return (path / name).string(); }

    // Writes `content` to the file `name` with `mode`; returns its path.
    std::string write(std::string_view name, std::string_view content, mode_t mode = 0644) const {
        const std::string file = *this / name;
        std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
        ::chmod(file.c_str(), mode);
        return file;
    }

    std::filesystem::path path;
};

}  // namespace bastor::test
