#include "NoctaBastorHelper/engine/AuditIndex.h"

#include <set>

#include "NoctaBastorHelper/engine/AuditReader.h"

namespace bastor {

bool AuditIndex::Identity::operator==(const Identity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

std::int64_t AuditIndex::decodableEntries(const std::filesystem::path& file,
                                          const struct stat& info) {
    const Identity identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    const std::string name = file.filename().string();
    if (const auto known = counts_.find(name);
        known != counts_.end() && known->second.identity == identity)
        return known->second.entries;

    std::int64_t entries = 0;
    AuditReader::forEachLine(file, [&](std::string_view line) {
        if (AuditReader::decodes(line)) ++entries;
        return true;
    });
    counts_[name] = Count{identity, entries};
    return entries;
}

void AuditIndex::keepOnly(const std::vector<std::filesystem::path>& files) {
    std::set<std::string> names;
    for (const auto& file : files)
        names.insert(file.filename().string());
    std::erase_if(counts_, [&](const auto& count) { return !names.contains(count.first); });
}

}  // namespace bastor
