#include "NoctaBastorHelper/engine/AuditReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/audit/AuditLogFiles.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorJSON.h"
#include "NoctaBastorHelper/engine/AuditStore.h"

namespace bastor::AuditReader {

namespace {

constexpr std::int64_t maxPageEntries = 1000;

}  // namespace

std::optional<AuditEntry> decodeEntry(std::string_view line) {
    try {
        return BastorJSON::decode<AuditEntry>(line);
    } catch (const std::bad_alloc&) {
        throw;  // says nothing about the line
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void forEachLine(const std::filesystem::path& file,
                 const std::function<bool(std::string_view line)>& onLine) {
    AuditLogFiles::forEachLine(file, onLine);
}

std::vector<AuditEntry> readPage(const std::filesystem::path& directory, std::int64_t offset,
                                 std::int64_t limit) {
    const std::int64_t skip = std::max<std::int64_t>(offset, 0);
    const auto pageSize =
        static_cast<std::size_t>(std::clamp<std::int64_t>(limit, 1, maxPageEntries));

    std::vector<AuditEntry> page;
    std::int64_t skipped = 0;
    for (const auto& file : AuditStore::auditFiles(directory)) {
        forEachLine(file, [&](std::string_view line) {
            if (page.size() >= pageSize) return false;
            std::optional<AuditEntry> entry = decodeEntry(line);
            if (!entry) return true;
            if (skipped < skip) {
                ++skipped;
                return true;
            }
            page.push_back(std::move(*entry));
            return page.size() < pageSize;
        });
    }
    return page;
}

BastorVerification verify(const std::filesystem::path& directory) {
    AuditChain::Verifier verifier;
    bool going = true;
    for (const auto& file : AuditStore::auditFiles(directory)) {
        bool firstLine = true;
        forEachLine(file, [&](std::string_view line) {
            if (!going) return false;
            if (firstLine) {
                verifier.beginFile();
                firstLine = false;
            }
            going = verifier.addLine(line);
            return going;
        });
    }
    return verifier.result();
}

}  // namespace bastor::AuditReader
