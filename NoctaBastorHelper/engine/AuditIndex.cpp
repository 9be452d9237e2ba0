#include "NoctaBastorHelper/engine/AuditIndex.h"

#include <atomic>
#include <exception>
#include <set>
#include <thread>

#include "NoctaBastorHelper/engine/AuditReader.h"

namespace bastor {

namespace {

std::int64_t countEntries(const std::filesystem::path& file) {
    std::int64_t entries = 0;
    AuditReader::forEachLine(file, [&](std::string_view line) {
        if (AuditReader::decodes(line)) ++entries;
        return true;
    });
    return entries;
}

}  // namespace

bool AuditIndex::Identity::operator==(const Identity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

AuditIndex::Identity AuditIndex::Identity::of(const struct stat& info) {
    return {info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

bool AuditIndex::knows(const File& file) const {
    const auto known = counts_.find(file.path.filename().string());
    return known != counts_.end() && known->second.identity == Identity::of(file.info);
}

std::int64_t AuditIndex::decodableEntries(const File& file) {
    if (!knows(file)) {
        counts_[file.path.filename().string()] =
            Count{Identity::of(file.info), countEntries(file.path)};
    }
    return counts_.at(file.path.filename().string()).entries;
}

void AuditIndex::countConcurrently(const std::vector<File>& files, unsigned threads) {
    std::vector<const File*> unknown;
    for (const auto& file : files)
        if (!knows(file)) unknown.push_back(&file);
    std::vector<std::int64_t> entries(unknown.size());
    std::vector<std::exception_ptr> errors(unknown.size());
    std::atomic<std::size_t> next = 0;
    const auto work = [&] {
        for (std::size_t i = next++; i < unknown.size(); i = next++) {
            try {
                entries[i] = countEntries(unknown[i]->path);
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        for (unsigned t = 1; t < threads && t < unknown.size(); ++t)
            helpers.emplace_back(work);
        work();
    }
    for (std::size_t i = 0; i < unknown.size(); ++i) {
        if (errors[i]) std::rethrow_exception(errors[i]);
        counts_[unknown[i]->path.filename().string()] =
            Count{Identity::of(unknown[i]->info), entries[i]};
    }
}

void AuditIndex::keepOnly(const std::vector<std::filesystem::path>& files) {
    std::set<std::string> names;
    for (const auto& file : files)
        names.insert(file.filename().string());
    std::erase_if(counts_, [&](const auto& count) { return !names.contains(count.first); });
}

}  // namespace bastor
