#include "NoctaBastorHelper/engine/AuditReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/audit/AuditLogFiles.h"
#include "BastorShared/audit/ParallelVerifier.h"
#include "BastorShared/platform/Processors.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/BastorJSON.h"
#include "BastorShared/records/BastorXPCProtocol.h"
#include "NoctaBastorHelper/engine/AuditStore.h"

namespace bastor::AuditReader {

namespace {

using AuditLogFiles::liveName;
// Large enough that handing a run to a thread costs nothing next to checking
// it, small enough that the runs in flight stay in the processor's cache.
constexpr std::size_t runBytes = std::size_t{512} << 10;
constexpr std::int64_t maxPageEntries = 1000;
// Stands for an over-long line: not JSON, so it decodes as nothing, exactly
// as the line itself would.
constexpr std::string_view overlongLine = "\xff";

ssize_t readSome(int fd, char* into, std::size_t size, const std::filesystem::path& file) {
    for (;;) {
        const ssize_t got = ::read(fd, into, size);
        if (got >= 0) return got;
        if (errno != EINTR) throwSystemError("could not read", file.string());
    }
}

void queueStandIn(ParallelVerifier& verifier) {
    RunBuffer run = verifier.buffer();
    run.resize(overlongLine.size());
    std::memcpy(run.data(), overlongLine.data(), overlongLine.size());
    verifier.addRun(std::move(run));
}

// Hands the file to the verifier in runs of whole lines, cut at the last 0x0A
// of each read, with an over-long line replaced as forEachLine replaces it.
// Reads to the end even once the chain is broken, so a read error is not
// missed.
void queueRuns(const std::filesystem::path& file, ParallelVerifier& verifier) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) throwSystemError("could not read", file.string());
    verifier.beginFile();

    RunBuffer run = verifier.buffer();  // holds at most the start of one line between reads
    bool wanted = true;
    bool skipping = false;  // inside an over-long line whose stand-in is queued
    for (;;) {
        std::size_t have = run.size();
        run.resize(have + runBytes);
        const ssize_t got = readSome(fd.get(), run.data() + have, runBytes, file);
        run.resize(have + static_cast<std::size_t>(got));
        if (got == 0) break;
        if (!wanted) {
            run.resize(0);
            continue;
        }
        std::string_view fresh(run.data() + have, static_cast<std::size_t>(got));
        // Keeps only the run from `from` on, which starts with the 0x0A that
        // ends an over-long line.
        const auto keepFrom = [&](std::string_view from) {
            std::memmove(run.data(), from.data(), from.size());
            run.resize(from.size());
            have = 0;
            return run.view();
        };
        if (skipping) {
            const std::size_t newline = fresh.find('\n');
            if (newline == std::string_view::npos) {
                run.resize(0);
                continue;
            }
            fresh = keepFrom(fresh.substr(newline));
            skipping = false;
        }
        const std::size_t firstNewline = fresh.find('\n');
        if (have + (firstNewline == std::string_view::npos ? fresh.size() : firstNewline) >
            maxLineBytes) {
            // The line that started before this read is over-long.
            queueStandIn(verifier);
            if (firstNewline == std::string_view::npos) {
                run.resize(0);
                skipping = true;
                continue;
            }
            fresh = keepFrom(fresh.substr(firstNewline));
        } else if (firstNewline == std::string_view::npos) {
            continue;  // still inside one line
        }
        const std::size_t cut = run.size() - (fresh.size() - fresh.rfind('\n')) + 1;
        RunBuffer next = verifier.buffer();
        next.resize(run.size() - cut);
        if (next.size() > 0) std::memcpy(next.data(), run.data() + cut, next.size());
        run.resize(cut);
        wanted = verifier.addRun(std::move(run));
        run = std::move(next);
    }
    if (wanted && !skipping && run.size() > 0) verifier.addRun(std::move(run));
}

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

bool decodes(std::string_view line) {
    // A line in canonical form is known to decode without decoding it.
    BastorJSON::CanonicalAuditLine canonical;
    return BastorJSON::readCanonicalAuditLine(line, canonical) || decodeEntry(line).has_value();
}

void forEachLine(const std::filesystem::path& file,
                 const std::function<bool(std::string_view line)>& onLine) {
    AuditLogFiles::forEachLine(file, onLine);
}

std::vector<AuditEntry> readPage(const std::filesystem::path& directory, std::int64_t offset,
                                 std::int64_t limit, AuditIndex& index, std::size_t maxSentBytes) {
    const std::int64_t skip = std::max<std::int64_t>(offset, 0);
    const auto pageSize =
        static_cast<std::size_t>(std::clamp<std::int64_t>(limit, 1, maxPageEntries));

    const auto paths = AuditStore::auditFiles(directory);
    index.keepOnly(paths);
    // Every file is opened, so one that cannot be read fails the call as it
    // would if all were read.
    std::vector<AuditIndex::File> files;
    for (const auto& path : paths) {
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!fd) throwSystemError("could not read", path.string());
        AuditIndex::File& file = files.emplace_back(AuditIndex::File{path, {}});
        if (::fstat(fd.get(), &file.info) != 0) throwSystemError("could not read", path.string());
        if (S_ISDIR(file.info.st_mode)) throw SystemError("could not read", path.string(), EISDIR);
    }
    const unsigned threads = usableProcessors();
    const auto rotatedEnd =
        !paths.empty() && paths.back().filename() == liveName ? files.end() - 1 : files.end();

    std::vector<AuditEntry> page;
    std::size_t sentBytes = BastorJSON::stringSize("[]");
    std::int64_t skipped = 0;
    for (auto at = files.begin(); at != files.end() && page.size() < pageSize; ++at) {
        const std::filesystem::path& file = at->path;
        if (file.filename() != liveName && skipped < skip) {
            if (!index.knows(*at)) {
                // The files after this one are likely needed too: count a few
                // at once.
                const auto batchEnd = at + std::min<std::ptrdiff_t>(threads, rotatedEnd - at);
                index.countConcurrently({at, batchEnd}, threads);
            }
            const std::int64_t entries = index.decodableEntries(*at);
            if (skip - skipped >= entries) {
                skipped += entries;
                continue;
            }
        }
        forEachLine(file, [&](std::string_view line) {
            if (page.size() >= pageSize) return false;
            if (skipped < skip) {
                if (decodes(line)) ++skipped;
                return true;
            }
            // The line without its quotes, and a comma; measured before the
            // line is decoded, so the entry that ends the page is not.
            const std::size_t lineSent = BastorJSON::stringSize(line) - 2 + (page.empty() ? 0 : 1);
            if (sentBytes + lineSent > maxSentBytes && decodes(line))
                throw BastorError::invalidInput(std::string(BastorWire::pageTooLarge));
            std::optional<AuditEntry> entry = decodeEntry(line);
            if (!entry) return true;
            sentBytes += lineSent;
            page.push_back(std::move(*entry));
            return page.size() < pageSize;
        });
    }
    return page;
}

BastorVerification verify(const std::filesystem::path& directory, unsigned threads) {
    const auto files = AuditStore::auditFiles(directory);
    ParallelVerifier verifier(threads);
    for (const auto& file : files)
        queueRuns(file, verifier);
    return verifier.finish();
}

}  // namespace bastor::AuditReader
