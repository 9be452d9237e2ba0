#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/platform/SystemError.h"
#include "NoctaBastorHelper/AuditReader.h"
#include "NoctaBastorHelper/AuditStore.h"
#include "NoctaBastorHelper/BastorEngine.h"
#include "tests/daemon/engine_support.h"

namespace bastor {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::vector<std::int64_t> seqs(const std::vector<AuditEntry>& entries) {
    std::vector<std::int64_t> result;
    for (const auto& entry : entries)
        result.push_back(entry.seq);
    return result;
}

std::vector<std::int64_t> range(std::int64_t first, std::int64_t last) {
    std::vector<std::int64_t> result;
    for (std::int64_t seq = first; seq <= last; ++seq)
        result.push_back(seq);
    return result;
}

std::vector<std::string> linesRead(const fs::path& file) {
    std::vector<std::string> lines;
    AuditReader::forEachLine(file, [&](std::string_view line) {
        lines.emplace_back(line.substr(0, 64));
        return true;
    });
    return lines;
}

class EngineReader : public ::testing::Test {
  protected:
    void SetUp() override { engine_.setAuditEnabled(true); }
    void record(int count) {
        for (int i = 0; i < count; ++i)
            engine_.recordEvent(test::clientEvent());
    }
    [[nodiscard]] fs::path file(const std::string& name) const { return temp_.path() / name; }

    TempDir temp_;
    BastorEngine engine_{temp_.path()};
};

TEST_F(EngineReader, PagesAreClampedAndOldestFirst) {
    EXPECT_TRUE(engine_.readAudit(0, 10).empty());
    EXPECT_EQ(engine_.verifyAudit(), test::intactLog(0));
    record(1003);
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    const std::tuple<std::int64_t, std::int64_t, std::vector<std::int64_t>> cases[] = {
        {0, 0, {1}},   {0, -5, {1}},   {-3, 2, {1, 2}},           {1001, 5, {1002, 1003}},
        {1003, 5, {}}, {max, max, {}}, {0, 5000, range(1, 1000)},
    };
    for (const auto& [offset, limit, expected] : cases) {
        SCOPED_TRACE(::testing::Message() << "offset " << offset << " limit " << limit);
        EXPECT_EQ(seqs(engine_.readAudit(offset, limit)), expected);
    }
}

TEST_F(EngineReader, UndecodableLineIsSkippedByReadingButBreaksTheChain) {
    record(3);
    test::writeFile(file("audit.jsonl"), "{\"not\":\"an entry\"}\n", true);
    record(2);
    EXPECT_EQ(seqs(engine_.readAudit(3, 10)), (std::vector<std::int64_t>{4, 5}));
    EXPECT_EQ(engine_.verifyAudit(), test::brokenLog(4, 4));
}

TEST_F(EngineReader, ReadsAndVerifiesAcrossARotationIgnoringOtherFiles) {
    record(3);
    fs::rename(file("audit.jsonl"), file("audit-2020-01-01T00-00-00Z.jsonl"));
    BastorEngine restarted(temp_.path());
    for (int i = 0; i < 2; ++i)
        restarted.recordEvent(test::clientEvent());
    test::writeFile(file(".audit-2019.jsonl"), "garbage\n");
    test::writeFile(file("audit-2019.json"), "garbage\n");
    EXPECT_EQ(seqs(restarted.readAudit(0, 10)), range(1, 5));
    EXPECT_EQ(restarted.verifyAudit(), test::intactLog(5));
}

TEST_F(EngineReader, StreamingVerificationMatchesWholeFileVerification) {
    record(6);
    const std::vector<std::string> l = test::linesOf(file("audit.jsonl"));
    const std::vector<std::vector<std::string>> cases[] = {
        {{l[0], l[1]}, {}, {l[2], l[3], l[4], l[5]}},
        {{l[0], l[1], l[2]}, {l[3], l[4]}},  // boundary linked by line digest
        {{l[0], l[2], l[3]}},
        {{l[1], l[2]}},
        {{l[0], l[1] + "\r", l[2]}},
        {{l[0], "garbage"}, {l[1]}},
    };
    for (const auto& files : cases) {
        TempDir dir;
        for (std::size_t i = 0; i < files.size(); ++i) {
            std::string bytes;
            for (const auto& line : files[i])
                bytes += line + "\n\n";
            const bool live = i + 1 == files.size();
            test::writeFile(
                dir.path() / (live ? "audit.jsonl" : "audit-" + std::to_string(i) + ".jsonl"),
                bytes);
        }
        EXPECT_EQ(AuditReader::verify(dir.path()), AuditChain::verify(files));
    }
}

TEST_F(EngineReader, UnreadableFileOrDirectoryFailsBothOperations) {
    record(2);
    fs::create_directory(file("audit-2020-01-01T00-00-00Z.jsonl"));
    EXPECT_THROW((void)engine_.readAudit(0, 10), SystemError);
    try {
        (void)engine_.verifyAudit();
        ADD_FAILURE() << "verified around an unreadable file";
    } catch (const SystemError& error) {
        EXPECT_EQ(std::string(error.what()), "could not read '" +
                                                 file("audit-2020-01-01T00-00-00Z.jsonl").string() +
                                                 "': Is a directory");
    }
    fs::remove_all(temp_.path());
    EXPECT_THROW((void)engine_.readAudit(0, 10), SystemError);
    EXPECT_THROW((void)engine_.verifyAudit(), SystemError);
}

TEST(AuditReaderLines, SplitsLikeDecodeLinesAcrossChunkBoundaries) {
    TempDir temp;
    const std::size_t chunk = std::size_t{1} << 20;
    std::string bytes = std::string(chunk - 1, 'a') + "\n";  // 0x0A ends the chunk
    bytes += "\n" + std::string(chunk - 1, 'b') + "\n";      // empty piece at a boundary
    bytes += std::string(2 * chunk + 17, 'c') + "\r\n";      // spans two boundaries
    bytes += "short\n\n\nlast-without-newline";
    test::writeFile(temp.path() / "a", bytes);
    std::vector<std::string> expected;
    for (const auto& line : AuditChain::decodeLines(bytes))
        expected.push_back(line.substr(0, 64));
    EXPECT_EQ(linesRead(temp.path() / "a"), expected);

    int calls = 0;  // no calls after the callback has had enough
    AuditReader::forEachLine(temp.path() / "a", [&](std::string_view) { return ++calls < 2; });
    EXPECT_EQ(calls, 2);

    // An over-long line is one undecodable line, never held whole.
    {
        std::ofstream out(temp.path() / "b", std::ios::binary);
        out << "first\n";
        const std::string block(chunk, 'x');
        for (std::size_t n = 0; n <= AuditReader::maxLineBytes; n += chunk)
            out << block;
        out << "\nafter";
    }
    const auto lines = linesRead(temp.path() / "b");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "first");
    EXPECT_LT(lines[1].size(), 64u);
    EXPECT_EQ(lines[2], "after");
}

// A field of /proc/self/status, in bytes.
std::int64_t statusBytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::stoll(line.substr(field.size() + 1)) * 1024;
    return -1;
}

TEST(EngineReaderMemory, VerifyingALargeLogStreamsAndMatchesWholeFileVerification) {
    TempDir temp;
    const std::int64_t logBytes = std::int64_t{kSanitized ? 64 : 256} << 20;
    {
        AuditStore store(temp.path());
        AuditEntry entry = test::clientEvent();
        entry.stdout = std::string(60000, 'o') + "\n\"/\\\x01";
        for (std::int64_t written = 0; written < logBytes;)
            written += AuditChain::encodeLine(store.append(entry)).size() + 1;
    }
    ASSERT_GE(AuditStore::auditFiles(temp.path()).size(), 1 + logBytes / AuditStore::rotationBytes);

    std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak
    const std::int64_t before = statusBytes("VmRSS");
    const BastorVerification streamed = AuditReader::verify(temp.path());
    const std::int64_t growth = statusBytes("VmHWM") - before;
    std::cout << "verifying " << (logBytes >> 20) << " MiB grew the peak RSS by " << (growth >> 10)
              << " KiB\n";
    EXPECT_TRUE(streamed.intact);
    if (!kSanitized && before > 0) {
        EXPECT_LT(growth, std::int64_t{64} << 20);
    }
    EXPECT_EQ(streamed, AuditChain::verify(test::allFileLines(temp.path())));
}

}  // namespace
}  // namespace bastor
