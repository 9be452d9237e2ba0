#include "NoctaBastorHelper/engine/AuditStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <system_error>
#include <utility>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/audit/AuditLogFiles.h"
#include "BastorShared/platform/DateTime.h"
#include "BastorShared/platform/FileSync.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/platform/Utf8.h"
#include "BastorShared/records/BastorJSON.h"
#include "NoctaBastorHelper/engine/AuditReader.h"
#include "NoctaBastorHelper/engine/EngineFiles.h"

namespace bastor {

namespace {

using AuditReader::decodeEntry;
using EngineFiles::preadAll;
using EngineFiles::writeAll;

using AuditLogFiles::liveName;
constexpr std::string_view tornPrefix = "audit.jsonl.torn-";
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

// Now as in rotated names: ISO-8601 with "-" for ":".
std::string fileStamp() {
    std::string stamp = formatDateTime(now());
    std::replace(stamp.begin(), stamp.end(), ':', '-');
    return stamp;
}

// Copies bytes [from, end of file) of `source` into a new file `destination`.
void copyTail(int source, off_t from, off_t end, int destination,
              const std::filesystem::path& sourcePath,
              const std::filesystem::path& destinationPath) {
    std::vector<char> chunk(scanChunk);
    while (from < end) {
        const auto size = static_cast<std::size_t>(std::min<off_t>(end - from, scanChunk));
        preadAll(source, chunk.data(), size, from, sourcePath);
        if (const int error = writeAll(destination, {chunk.data(), size}); error != 0)
            throw SystemError("could not write", destinationPath.string(), error);
        from += static_cast<off_t>(size);
    }
}

// The line and its 0x0A (after another one when the file lacks its last) in
// one gathered write; a short write goes on with the rest.
int writeLine(int fd, bool startOnNewLine, std::string_view line) noexcept {
    static char newline = '\n';
    iovec parts[3];
    int count = 0;
    if (startOnNewLine) parts[count++] = {&newline, 1};
    parts[count++] = {const_cast<char*>(line.data()), line.size()};
    parts[count++] = {&newline, 1};
    ssize_t written;
    do {
        written = ::writev(fd, parts, count);
    } while (written < 0 && errno == EINTR);
    if (written < 0) return errno;
    auto done = static_cast<std::size_t>(written);
    for (int i = 0; i < count; ++i) {
        std::string_view piece(static_cast<const char*>(parts[i].iov_base), parts[i].iov_len);
        const std::size_t skipped = std::min(done, piece.size());
        done -= skipped;
        piece.remove_prefix(skipped);
        if (const int error = writeAll(fd, piece); error != 0) return error;
    }
    return 0;
}

}  // namespace

std::optional<std::filesystem::path> AuditStore::recoverTornTail(
    const std::filesystem::path& directory, const JournalLogger& logger) {
    const std::filesystem::path live = directory / liveName;
    try {
        UniqueFd fd(::open(live.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!fd) return std::nullopt;
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
            return std::nullopt;
        std::vector<char> chunk(scanChunk);
        const off_t whole = scanBackward(fd.get(), info.st_size, true, chunk, live);
        if (whole == info.st_size) return std::nullopt;

        const std::string stamp = fileStamp();
        std::filesystem::path torn;
        UniqueFd out;
        for (int attempt = 0; !out; ++attempt) {
            torn = directory / (std::string(tornPrefix) + stamp + rotationSuffix(attempt));
            out.reset(
                ::open(torn.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
            if (!out && (errno != EEXIST || attempt == maxRotationSuffix)) return std::nullopt;
        }
        copyTail(fd.get(), whole, info.st_size, out.get(), live, torn);
        FileSync::syncData(out.get(), torn);
        FileSync::syncDirectory(directory);
        // Only now that the bytes are kept elsewhere do they leave the log.
        if (::ftruncate(fd.get(), whole) != 0)
            throwSystemError("could not truncate", live.string());
        FileSync::syncData(fd.get(), live);
        logger.notice("Bastor moved an unfinished audit line of " +
                          std::to_string(info.st_size - whole) + " bytes to " +
                          torn.filename().string(),
                      {{"BASTOR_TORN_FILE", torn.filename().string()},
                       {"BASTOR_TORN_BYTES", std::to_string(info.st_size - whole)},
                       {"BASTOR_LOG_FILE", std::string(liveName)}});
        return torn;
    } catch (const SystemError&) {
        // The append that follows still starts on a fresh line.
        return std::nullopt;
    }
}

AuditStore::AuditStore(std::filesystem::path directory)
    : directory_(std::move(directory)), auditURL_(directory_ / liveName) {
    (void)recoverTornTail(directory_, logger_);
    tail_ = restoreAuditPosition(directory_);
}

std::string AuditStore::capped(std::string_view text) {
    if (text.size() <= cappedBytes) return std::string(text);
    return repairUtf8(text.substr(0, cappedBytes));
}

bool AuditStore::rotateIfLarger(const struct stat& info) {
    if (static_cast<std::uintmax_t>(info.st_size) <= rotationBytes) return false;

    // Lines still waiting for a group sync would be synced through the next
    // live file, which does not hold them: sync the old one before it goes.
    {
        UniqueFd old(::open(auditURL_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!old) throwSystemError("could not rotate", auditURL_.string());
        FileSync::syncData(old.get(), auditURL_);
    }
    const std::string stamp = fileStamp();
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
    tail_.lineDigest.reset();
    live_.reset();
    FileSync::syncDirectory(directory_);
    return true;
}

AuditStore::LiveFile AuditStore::openLive() const {
    constexpr int openFlags = O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    auto fd = std::make_shared<UniqueFd>(::open(auditURL_.c_str(), openFlags));
    bool created = false;
    if (!*fd && errno == ENOENT) {
        fd->reset(::open(auditURL_.c_str(), openFlags | O_CREAT | O_EXCL, 0600));
        created = fd->valid();
    }
    if (!*fd) throwSystemError("could not open", auditURL_.string());
    // A new file's name must survive a power loss as well as its lines.
    if (created) FileSync::syncDirectory(directory_);
    if (::fchmod(fd->get(), 0600) != 0)
        throwSystemError("could not set permissions of", auditURL_.string());
    struct stat info {};
    if (::fstat(fd->get(), &info) != 0) throwSystemError("could not read", auditURL_.string());
    return {std::move(fd), info.st_dev, info.st_ino, info.st_size};
}

AuditEntry AuditStore::append(const AuditEntry& entry, const JournalFields& fields) {
    Written written = write(entry, fields);
    awaitDurable(written.ticket);
    return std::move(written.entry);
}

AuditStore::Written AuditStore::write(const AuditEntry& entry, const JournalFields& fields) {
    struct stat named {};
    const bool exists = ::lstat(auditURL_.c_str(), &named) == 0 && !rotateIfLarger(named);

    std::int64_t sequence = 1;
    if (tail_.seq) {
        if (*tail_.seq == std::numeric_limits<std::int64_t>::max())
            throw SystemError("could not append to", auditURL_.string(), EOVERFLOW);
        sequence = *tail_.seq + 1;
    }

    // The file last written is written again while its name still leads to
    // it and it has the size that write left; anything else opens afresh.
    const bool unchanged = exists && live_ && named.st_dev == live_->device &&
                           named.st_ino == live_->inode && S_ISREG(named.st_mode) &&
                           named.st_size == live_->size;
    if (!unchanged) live_ = openLive();
    if (unchanged && (named.st_mode & 07777) != 0600 && ::fchmod(live_->fd->get(), 0600) != 0)
        throwSystemError("could not set permissions of", auditURL_.string());
    const std::shared_ptr<const UniqueFd> fd = live_->fd;
    const off_t sizeBefore = live_->size;

    // A file that does not end in 0x0A has a torn last line; the new line must
    // not be glued to it. The file as this store's last write left it ends in
    // one.
    bool startOnNewLine = false;
    if (sizeBefore > 0 && !unchanged) {
        char last = '\n';
        preadAll(fd->get(), &last, 1, sizeBefore - 1, auditURL_);
        startOnNewLine = last != '\n';
    }

    // The link to a line still in the live file is the digest of that line,
    // which is what sealing takes from it; when the file is new or was
    // emptied the entry links by hash, as after a rotation.
    std::optional<std::string_view> previousHash;
    if (tail_.lineDigest && sizeBefore > 0) {
        previousHash = *tail_.lineDigest;
    } else if (tail_.seq && tail_.hash) {
        previousHash = *tail_.hash;
    }
    AuditChain::SealedLine sealed =
        AuditChain::sealLine(entry, sequence, std::nullopt, previousHash);
    std::string lineDigest = AuditChain::sha256(sealed.line);

    // One write of line and 0x0A, so no reader or crash sees a line without
    // its end unless the write itself is cut short; gathered, so a large line
    // is not copied once more for it.
    if (const int error = writeLine(fd->get(), startOnNewLine, sealed.line); error != 0) {
        // Take back a partial line, so the file stays a list of whole lines;
        // the write's error is the one to report.
        if (::ftruncate(fd->get(), sizeBefore) != 0) {
        }
        live_.reset();
        throw SystemError("could not write", auditURL_.string(), error);
    }
    live_->size = sizeBefore + static_cast<off_t>(startOnNewLine + sealed.line.size() + 1);

    GroupCommit::Record journal{"Bastor event " + std::string(rawValue(sealed.entry.event)) +
                                    " for " + sealed.entry.requestID.text(),
                                witnessFields(sealed.entry, lineDigest)};
    // The witness fields are the log's own; a caller's field of the same name
    // cannot stand in for one.
    for (const JournalField& field : fields) {
        const bool taken =
            std::any_of(journal.fields.begin(), journal.fields.end(),
                        [&](const JournalField& own) { return own.name == field.name; });
        if (!taken) journal.fields.push_back(field);
    }
    const GroupCommit::Ticket ticket = commit_.written(fd, auditURL_, std::move(journal));

    tail_ = {sealed.entry.seq, sealed.entry.hash, std::move(lineDigest)};
    return {std::move(sealed.entry), ticket};
}

JournalFields AuditStore::witnessFields(const AuditEntry& sealed, std::string_view lineDigest) {
    std::string argv = "[";
    for (std::size_t i = 0; i < sealed.argv.size(); ++i) {
        if (i > 0) argv += ',';
        BastorJSON::appendString(argv, sealed.argv[i]);
    }
    argv += ']';
    JournalFields fields{
        {"BASTOR_SEQ", std::to_string(sealed.seq)},
        {"BASTOR_ENTRY_ID", sealed.id.text()},
        {"BASTOR_ENTRY_HASH", sealed.hash.value_or("")},
        {"BASTOR_LINE_SHA256", std::string(lineDigest)},
        {"BASTOR_PREV_HASH", sealed.prevHash},
        {"BASTOR_EVENT", std::string(rawValue(sealed.event))},
        {"BASTOR_REQUEST_ID", sealed.requestID.text()},
        {"BASTOR_ARGV", std::move(argv)},
    };
    if (sealed.exitCode) fields.push_back({"BASTOR_EXIT_CODE", std::to_string(*sealed.exitCode)});
    if (sealed.approver) fields.push_back({"BASTOR_APPROVER", *sealed.approver});
    fields.push_back({"BASTOR_LOG_FILE", std::string(liveName)});
    return fields;
}

void AuditStore::noteUnrecorded(const AuditEntry& entry, std::string_view error,
                                const JournalFields& fields) const noexcept {
    try {
        JournalFields outcome{
            {"BASTOR_EVENT", std::string(rawValue(entry.event))},
            {"BASTOR_ENTRY_ID", entry.id.text()},
            {"BASTOR_REQUEST_ID", entry.requestID.text()},
            {"BASTOR_UNRECORDED", BastorJSON::encode(entry)},
            {"BASTOR_ERROR", std::string(error)},
        };
        if (entry.exitCode)
            outcome.push_back({"BASTOR_EXIT_CODE", std::to_string(*entry.exitCode)});
        outcome.insert(outcome.end(), fields.begin(), fields.end());
        logger_.notice("Bastor event " + std::string(rawValue(entry.event)) + " for " +
                           entry.requestID.text() + " could not be recorded: " + std::string(error),
                       outcome);
    } catch (...) {
    }
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
        Position position{tail->entry.seq, std::move(tail->entry.hash), std::nullopt};
        if (file->filename() == liveName) position.lineDigest = AuditChain::sha256(tail->line);
        return position;
    }
    return {};
}

std::vector<std::filesystem::path> AuditStore::auditFiles(const std::filesystem::path& directory) {
    return AuditLogFiles::list(directory);
}

}  // namespace bastor
