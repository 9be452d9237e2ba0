#include <fcntl.h>
#include <sys/stat.h>

#include <functional>

#include "BastorShared/records/BastorError.h"
#include "tests/daemon/DaemonTestSupport.h"

namespace bastor::test {

namespace {

// Rotated files "audit-1.jsonl" ... and the live file, `perFile` entries each,
// each with `outputBytes` of output.
void writeLog(const fs::path& directory, int files, int perFile, std::size_t outputBytes = 0) {
    fs::create_directories(directory);
    AuditStore store(directory);
    AuditEntry entry;
    entry.stdout = std::string(outputBytes, 'o') + "\n\"/\\";
    for (int file = 1; file <= files; ++file) {
        for (int i = 0; i < perFile; ++i)
            (void)store.append(entry);
        // Moved aside as a rotation would: the next entry links by hash.
        if (file < files)
            fs::rename(directory / "audit.jsonl",
                       directory / ("audit-" + std::to_string(file) + ".jsonl"));
    }
}

std::vector<std::vector<std::string>> linesOfAll(const fs::path& directory) {
    std::vector<std::vector<std::string>> files;
    for (const auto& file : AuditStore::auditFiles(directory))
        files.push_back(linesOf(file));
    return files;
}

// Every decodable entry of every file, in chain order.
std::vector<AuditEntry> fullScan(const fs::path& directory) {
    std::vector<AuditEntry> entries;
    for (const auto& file : linesOfAll(directory))
        for (const auto& line : file)
            if (auto entry = AuditReader::decodeEntry(line)) entries.push_back(std::move(*entry));
    return entries;
}

std::string pageOf(const std::vector<AuditEntry>& entries, std::int64_t offset,
                   std::int64_t limit) {
    const auto from = std::min<std::size_t>(std::max<std::int64_t>(offset, 0), entries.size());
    const auto count =
        std::min<std::size_t>(std::clamp<std::int64_t>(limit, 1, 1000), entries.size() - from);
    return BastorJSON::encode(
        std::vector<AuditEntry>(entries.begin() + from, entries.begin() + from + count));
}

void replaceLine(const fs::path& file, std::size_t index, const std::string& with) {
    auto lines = linesOf(file);
    lines.at(index) = with;
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    writeFile(file, text);
}

}  // namespace

TEST(AuditReader, VerifyingInRunsOnThreadsEqualsTheSequentialVerifier) {
    TempDir temp;
    const fs::path pristine = temp.path / "pristine", log = temp.path / "log";
    writeLog(pristine, 3, 40, 40000);  // about 1.6 MiB a file: a few runs each
    const fs::path second = log / "audit-2.jsonl";
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"intact", [] {}},
        {"a line of a rotated file damaged", [&] { replaceLine(second, 20, "{\"seq\":61}"); }},
        {"a line removed", [&] { replaceLine(second, 21, ""); }},
        {"an over-long line", [&] { replaceLine(second, 22, std::string(65 << 20, 'x')); }},
        {"the first line of the live file damaged",
         [&] { replaceLine(log / "audit.jsonl", 0, "[]"); }},
    };
    for (const auto& [name, damage] : cases) {
        fs::remove_all(log);
        fs::copy(pristine, log);
        damage();
        const BastorVerification expected = AuditChain::verify(linesOfAll(log));
        for (const unsigned threads : {1u, 2u, 5u})
            EXPECT_EQ(AuditReader::verify(log, threads), expected) << name << ", " << threads;
    }
}

TEST(AuditReader, PagingByCountedFilesEqualsAFullScan) {
    TempDir temp;
    writeLog(temp.path, 4, 30);
    // Undecodable lines, and a decodable one not in canonical form, in rotated files.
    writeFile(temp.path / "audit-1.jsonl", "{\"not\":\"an entry\"}\n\n\xff\n", true);
    const std::string respaced = "{ " + linesOf(temp.path / "audit-2.jsonl")[3].substr(1);
    replaceLine(temp.path / "audit-2.jsonl", 3, respaced);
    replaceLine(temp.path / "audit-3.jsonl", 7, "garbage");

    AuditIndex index;
    const auto checkPages = [&](const char* when) {
        const auto entries = fullScan(temp.path);
        for (const std::int64_t offset : {-1, 0, 29, 30, 31, 58, 59, 60, 61, 89, 90, 119, 200})
            for (const std::int64_t limit : {1, 2, 1000})
                EXPECT_EQ(
                    BastorJSON::encode(AuditReader::readPage(temp.path, offset, limit, index)),
                    pageOf(entries, offset, limit))
                    << when << ": offset " << offset << ", limit " << limit;
    };
    checkPages("first reading");
    checkPages("from the counts");

    // A rotated file replaced by one of the same size and time, and one that grew.
    struct stat before {};
    ASSERT_EQ(::stat((temp.path / "audit-3.jsonl").c_str(), &before), 0);
    std::string third = readFile(temp.path / "audit-3.jsonl");
    third[third.find("\"seq\"")] = ' ';
    writeFile(temp.path / "replacement", third);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, (temp.path / "replacement").c_str(), times, 0), 0);
    fs::rename(temp.path / "replacement", temp.path / "audit-3.jsonl");
    writeFile(temp.path / "audit-1.jsonl", linesOf(temp.path / "audit-1.jsonl")[0] + "\n", true);
    checkPages("after the files changed");

    fs::remove(temp.path / "audit-2.jsonl");
    checkPages("after a file was removed");
}

// The reader measures a page on its stored lines; the reply carries the
// page's encoding. Both must agree to the byte, or a page the client cannot
// read slips through, or one it can read is refused.
TEST(AuditReader, APageLongerThanItsBudgetIsRefusedAtTheExactByte) {
    TempDir temp;
    writeLog(temp.path, 2, 3, 1000);  // output with escapes of every length
    AuditIndex index;
    for (const std::int64_t offset : {0, 2, 5})
        for (const std::int64_t limit : {1, 2, 6}) {
            SCOPED_TRACE(::testing::Message() << "offset " << offset << " limit " << limit);
            const std::string page = pageOf(fullScan(temp.path), offset, limit);
            const std::size_t sent = BastorJSON::stringSize(page);
            EXPECT_EQ(
                BastorJSON::encode(AuditReader::readPage(temp.path, offset, limit, index, sent)),
                page);
            try {
                (void)AuditReader::readPage(temp.path, offset, limit, index, sent - 1);
                ADD_FAILURE() << "a page one byte too long was read";
            } catch (const BastorError& error) {
                EXPECT_EQ(error.what(), BastorWire::pageTooLarge);
            }
        }
}

}  // namespace bastor::test
