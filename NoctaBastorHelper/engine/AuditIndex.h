#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// How many decodable entries each rotated audit file holds, kept between
// reads so that a page deep in the log reads only the files it needs.
// Rotated files never change; a count is trusted only while the file's
// device, inode, size and modification time are those it was taken with.
// Not thread-safe: the engine's mutex guards it.
namespace bastor {

class AuditIndex {
  public:
    // A file and its current fstat.
    struct File {
        std::filesystem::path path;
        struct stat info {};
    };

    // The number of lines of the file that decode as entries. Counts
    // (reading the whole file) unless known. Throws SystemError when the
    // file cannot be read.
    [[nodiscard]] std::int64_t decodableEntries(const File& file);

    [[nodiscard]] bool knows(const File& file) const;
    // Counts those of `files` not known yet, one file per thread at a time on
    // up to `threads` threads. Throws as decodableEntries.
    void countConcurrently(const std::vector<File>& files, unsigned threads);

    // Drops the counts of files not in `files`.
    void keepOnly(const std::vector<std::filesystem::path>& files);

  private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        struct timespec modified {};

        [[nodiscard]] bool operator==(const Identity& other) const;
        [[nodiscard]] static Identity of(const struct stat& info);
    };
    struct Count {
        Identity identity;
        std::int64_t entries = 0;
    };

    std::map<std::string, Count> counts_;  // by file name
};

}  // namespace bastor
