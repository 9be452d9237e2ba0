#include "NoctaBastorHelper/engine/AuditStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <system_error>
#include <utility>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/platform/DateTime.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/platform/Utf8.h"
#include "NoctaBastorHelper/engine/AuditReader.h"
#include "NoctaBastorHelper/engine/EngineFiles.h"

namespace bastor {

namespace {

using AuditReader::decodeEntry;
using EngineFiles::preadAll;
using EngineFiles::writeAll;

constexpr std::string_view liveName = "audit.jsonl";
constexpr std::size_t scanChunk = 64 * 1024;
// Collisions are a second's worth of rotations; this many cannot happen.
constexpr int maxRotationSuffix = 999999;

// Position just after the last byte before `limit` that is (or, with
// wantNewline false, is not) 0x0A; 0 when there is none.
off_t scanBackward(int fd, off_t limit, bool wantNewline, std::vector<char>& chunk,
                   const std::filesystem::path& file) {
    while (limit > 0) {
        const off_t start = std::max<off_t>(0, limit - static_cast<off_t>(chunk.size()));
        const auto size = static_cast<std::size_t>(limit - start);
        preadAll(fd, chunk.data(), size, start, file);
        for (std::size_t i = size; i > 0; --i) {
            if ((chunk[i - 1] == '\n') == wantNewline) return start + static_cast<off_t>(i);
        }
        limit = start;
    }
    return 0;
}

struct Tail {
    AuditEntry entry;
    std::string line;
};

// The last line of the file that decodes as an entry. A torn or damaged end
// must not hide the entries before it, or the next append would fork the
// chain with reused sequence numbers.
std::optional<Tail> lastDecodableLine(const std::filesystem::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) throwSystemError("could not read", file.string());
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throwSystemError("could not read", file.string());
    if (S_ISDIR(info.st_mode)) throw SystemError("could not read", file.string(), EISDIR);

    std::vector<char> chunk(scanChunk);
    off_t limit = info.st_size;
    while (limit > 0) {
        const off_t end = scanBackward(fd.get(), limit, false, chunk, file);
        if (end == 0) break;
        const off_t begin = scanBackward(fd.get(), end, true, chunk, file);
        const auto length = static_cast<std::size_t>(end - begin);
        if (length <= AuditReader::maxLineBytes) {
            std::string line(length, '\0');
            preadAll(fd.get(), line.data(), length, begin, file);
            if (auto entry = decodeEntry(line)) return Tail{std::move(*entry), std::move(line)};
        }
        limit = begin;
    }
    return std::nullopt;
}

// Fixed width, so that "_000010" sorts after "_000009"; "_" sorts after the
// "." of the unsuffixed name, so a suffixed file follows its namesake.
std::string rotationSuffix(int attempt) {
    if (attempt == 0) return {};
    char text[16];
    std::snprintf(text, sizeof text, "_%06d", attempt);
    return text;
}

}  // namespace

AuditStore::AuditStore(std::filesystem::path directory)
    : directory_(std::move(directory)), auditURL_(directory_ / liveName) {
    Position position = restoreAuditPosition(directory_);
    lastEntry_ = std::move(position.entry);
    lastLine_ = std::move(position.line);
}

std::string AuditStore::capped(std::string_view text) {
    if (text.size() <= cappedBytes) return std::string(text);
    return repairUtf8(text.substr(0, cappedBytes));
}

void AuditStore::rotateIfNeeded() {
    struct stat info {};
    if (::lstat(auditURL_.c_str(), &info) != 0) return;
    if (static_cast<std::uintmax_t>(info.st_size) <= rotationBytes) return;

    std::string stamp = formatDateTime(now());
    std::replace(stamp.begin(), stamp.end(), ':', '-');
    for (int attempt = 0;; ++attempt) {
        const std::filesystem::path destination =
            directory_ / ("audit-" + stamp + rotationSuffix(attempt) + ".jsonl");
        // A rotated file is never overwritten, even by a second rotation
        // within the same second.
        int result = ::renameat2(AT_FDCWD, auditURL_.c_str(), AT_FDCWD, destination.c_str(),
                                 RENAME_NOREPLACE);
        if (result != 0 && errno == EINVAL) {
            // File systems without RENAME_NOREPLACE; the mutex makes this
            // process the only writer of the directory.
            struct stat existing {};
            if (::lstat(destination.c_str(), &existing) == 0) {
                errno = EEXIST;
            } else {
                result = ::rename(auditURL_.c_str(), destination.c_str());
            }
        }
        if (result == 0) break;
        if (errno != EEXIST || attempt == maxRotationSuffix)
            throwSystemError("could not rotate", auditURL_.string());
    }
    lastLine_.reset();
}

AuditEntry AuditStore::append(const AuditEntry& entry, const JournalFields& fields) {
    rotateIfNeeded();

    std::int64_t sequence = 1;
    if (lastEntry_) {
        if (lastEntry_->seq == std::numeric_limits<std::int64_t>::max())
            throw SystemError("could not append to", auditURL_.string(), EOVERFLOW);
        sequence = lastEntry_->seq + 1;
    }

    UniqueFd fd(::open(auditURL_.c_str(),
                       O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (!fd) throwSystemError("could not open", auditURL_.string());
    if (::fchmod(fd.get(), 0600) != 0)
        throwSystemError("could not set permissions of", auditURL_.string());
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) throwSystemError("could not read", auditURL_.string());
    const off_t sizeBefore = info.st_size;

    // A file that does not end in 0x0A has a torn last line; the new line must
    // not be glued to it.
    bool startOnNewLine = false;
    if (sizeBefore > 0) {
        char last = '\n';
        preadAll(fd.get(), &last, 1, sizeBefore - 1, auditURL_);
        startOnNewLine = last != '\n';
    }

    // lastLine links only to a line still in the live file; when the file is
    // new or was emptied the entry links by hash, as after a rotation.
    std::optional<std::string_view> previousLine;
    std::optional<std::string_view> previousHash;
    if (lastLine_ && sizeBefore > 0) {
        previousLine = *lastLine_;
    } else if (lastEntry_ && lastEntry_->hash) {
        previousHash = *lastEntry_->hash;
    }
    AuditChain::SealedLine sealed =
        AuditChain::sealLine(entry, sequence, previousLine, previousHash);

    // One write of line and 0x0A, so no reader or crash sees a line without
    // its end unless the write itself is cut short.
    std::string record;
    record.reserve(sealed.line.size() + 2);
    if (startOnNewLine) record += '\n';
    record += sealed.line;
    record += '\n';
    if (const int error = writeAll(fd.get(), record); error != 0) {
        // Take back a partial line, so the file stays a list of whole lines;
        // the write's error is the one to report.
        if (::ftruncate(fd.get(), sizeBefore) != 0) {
        }
        throw SystemError("could not write", auditURL_.string(), error);
    }
    fd.reset();

    lastEntry_ = sealed.entry;
    lastLine_ = std::move(sealed.line);
    logger_.notice("Bastor event " + std::string(rawValue(sealed.entry.event)) + " for " +
                       sealed.entry.requestID.text(),
                   fields);
    return std::move(sealed.entry);
}

AuditStore::Position AuditStore::restoreAuditPosition(const std::filesystem::path& directory) {
    std::vector<std::filesystem::path> files;
    try {
        files = auditFiles(directory);
    } catch (const SystemError&) {
        return {};
    }
    for (auto file = files.rbegin(); file != files.rend(); ++file) {
        std::optional<Tail> tail;
        try {
            tail = lastDecodableLine(*file);
        } catch (const SystemError&) {
            continue;
        }
        if (!tail) continue;
        Position position;
        position.entry = std::move(tail->entry);
        if (file->filename() == liveName) position.line = std::move(tail->line);
        return position;
    }
    return {};
}

std::vector<std::filesystem::path> AuditStore::auditFiles(const std::filesystem::path& directory) {
    std::error_code error;
    std::filesystem::directory_iterator entry(directory, error);
    if (error) throw SystemError("could not list", directory.string(), error.value());

    std::vector<std::filesystem::path> files;
    for (; entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        const std::filesystem::path& path = entry->path();
        const std::string name = path.filename().string();
        if (name.empty() || name.front() == '.') continue;
        if (name == liveName || (name.starts_with("audit-") && path.extension() == ".jsonl"))
            files.push_back(path);
    }
    if (error) throw SystemError("could not list", directory.string(), error.value());

    std::sort(files.begin(), files.end(), [](const auto& left, const auto& right) {
        const bool leftLive = left.filename() == liveName;
        const bool rightLive = right.filename() == liveName;
        if (leftLive != rightLive) return rightLive;
        return left.filename().string() < right.filename().string();
    });
    return files;
}

}  // namespace bastor
