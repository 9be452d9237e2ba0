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
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorJSON.h"
#include "NoctaBastorHelper/engine/AuditStore.h"

namespace bastor::AuditReader {

namespace {

constexpr std::size_t readChunk = std::size_t{1} << 20;
constexpr std::int64_t maxPageEntries = 1000;
// Stands for an over-long line: not JSON, so it decodes as nothing, exactly
// as the line itself would.
constexpr std::string_view overlongLine = "\xff";

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
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) throwSystemError("could not read", file.string());

    const auto chunk = std::make_unique_for_overwrite<char[]>(readChunk);
    std::string carry;      // start of a line whose 0x0A is in a later chunk
    bool overlong = false;  // carry outgrew maxLineBytes; skipping to the next 0x0A
    bool wanted = true;
    const auto deliver = [&](std::string_view line) {
        if (wanted && !line.empty()) wanted = onLine(line);
    };

    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk.get(), readChunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throwSystemError("could not read", file.string());
        if (got == 0) break;
        if (!wanted) continue;

        std::string_view data(chunk.get(), static_cast<std::size_t>(got));
        while (!data.empty()) {
            if (data.front() == '\n' && carry.empty() && !overlong) {
                data.remove_prefix(1);  // an empty piece
                continue;
            }
            const std::size_t newline = data.find('\n');
            const std::string_view piece = data.substr(0, newline);
            if (newline == std::string_view::npos) {
                if (overlong) break;
                if (carry.size() + piece.size() > maxLineBytes) {
                    overlong = true;
                    std::string().swap(carry);
                } else {
                    carry.append(piece);
                }
                break;
            }
            if (overlong) {
                deliver(overlongLine);
                overlong = false;
            } else if (carry.empty()) {
                deliver(piece);
            } else if (carry.size() + piece.size() > maxLineBytes) {
                deliver(overlongLine);
                carry.clear();
            } else {
                carry.append(piece);
                deliver(carry);
                carry.clear();
            }
            data.remove_prefix(newline + 1);
        }
    }
    if (overlong) {
        deliver(overlongLine);
    } else {
        deliver(carry);
    }
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
