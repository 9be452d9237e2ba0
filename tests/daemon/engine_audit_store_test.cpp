#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/audit/AuditEntries.h"
#include "BastorShared/platform/DateTime.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/records/BastorJSON.h"
#include "NoctaBastorHelper/AuditReader.h"
#include "NoctaBastorHelper/AuditStore.h"
#include "tests/daemon/engine_support.h"

namespace bastor {
namespace {

namespace fs = std::filesystem;
using test::clientEvent;
using test::linesOf;
using test::TempDir;

const std::string kRotated = "audit-2020-01-01T00-00-00Z.jsonl";

// Pads with empty lines, which no reader counts.
void padLiveFile(const AuditStore& store, std::uintmax_t size) {
    test::writeFile(store.auditURL(), std::string(size - fs::file_size(store.auditURL()), '\n'),
                    true);
}

std::string rotatedName(std::chrono::system_clock::time_point time) {
    std::string stamp = formatDateTime(std::chrono::floor<std::chrono::seconds>(time));
    std::replace(stamp.begin(), stamp.end(), ':', '-');
    return "audit-" + stamp + ".jsonl";
}

TEST(AuditStore, ChainStartsAtGenesisAndLinksByLineDigest) {
    TempDir temp;
    AuditStore store(temp.path());
    AuditEntry event = clientEvent();
    event.seq = 77;  // the client's own sealing fields are replaced
    event.hash = std::string(64, 'e');
    const AuditEntry first = store.append(event);
    EXPECT_EQ(first.seq, 1);
    EXPECT_EQ(first.prevHash, AuditChain::genesisHash());
    EXPECT_EQ(test::modeOf(store.auditURL()), 0600u);

    ASSERT_EQ(::chmod(store.auditURL().c_str(), 0644), 0);
    const AuditEntry second = store.append(clientEvent());
    EXPECT_EQ(test::modeOf(store.auditURL()), 0600u);
    EXPECT_EQ(second.seq, 2);
    EXPECT_EQ(second.prevHash, AuditChain::sha256(AuditChain::encodeLine(first)));
    EXPECT_EQ(test::readFile(store.auditURL()),
              AuditChain::encodeLine(first) + "\n" + AuditChain::encodeLine(second) + "\n");
}

TEST(AuditStore, RotatesOnlyAboveTheLimit) {
    for (const bool above : {false, true}) {
        SCOPED_TRACE(above);
        TempDir temp;
        AuditStore store(temp.path());
        const AuditEntry first = store.append(clientEvent());
        padLiveFile(store, AuditStore::rotationBytes + (above ? 1 : 0));
        const AuditEntry second = store.append(clientEvent());

        const auto files = AuditStore::auditFiles(temp.path());
        ASSERT_EQ(files.size(), above ? 2u : 1u);
        if (above) {
            EXPECT_TRUE(
                std::regex_match(files[0].filename().string(),
                                 std::regex(R"(audit-\d{4}-\d\d-\d\dT\d\d-\d\d-\d\dZ\.jsonl)")));
            EXPECT_EQ(fs::file_size(files[0]), AuditStore::rotationBytes + 1);
            EXPECT_EQ(second.prevHash, *first.hash);
        }
        EXPECT_EQ(second.seq, 2);
        EXPECT_EQ(AuditReader::verify(temp.path()), test::intactLog(2));
    }
}

TEST(AuditStore, RotationNeverOverwritesAnEarlierRotatedFile) {
    TempDir temp;
    AuditStore store(temp.path());
    store.append(clientEvent());
    // This second's name and the next one's are taken, whichever the rotation sees.
    const auto now = std::chrono::system_clock::now();
    for (const auto time : {now, now + std::chrono::seconds(1)})
        test::writeFile(temp.path() / rotatedName(time), "earlier\n");
    padLiveFile(store, AuditStore::rotationBytes + 1);
    store.rotateIfNeeded();

    const auto files = AuditStore::auditFiles(temp.path());
    ASSERT_EQ(files.size(), 3u);
    EXPECT_FALSE(fs::exists(store.auditURL()));
    // The rotated file sorts right after the one whose name it would have had.
    const int rotated = test::readFile(files[1]) == "earlier\n" ? 2 : 1;
    EXPECT_EQ(test::readFile(files[rotated - 1]), "earlier\n");
    EXPECT_EQ(fs::file_size(files[rotated]), AuditStore::rotationBytes + 1);
    const std::string stem = files[rotated - 1].stem().string();
    EXPECT_EQ(files[rotated].filename().string().substr(0, stem.size()), stem);
}

TEST(AuditStore, RestartContinuesTheChain) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> change;
        bool linksByLine;
        bool appendable = true;
    };
    const auto rotate = [](const fs::path& d) { fs::rename(d / "audit.jsonl", d / kRotated); };
    const Case cases[] = {
        {"live file", [](const fs::path&) {}, true},
        {"trailing empty lines",
         [](const fs::path& d) { test::writeFile(d / "audit.jsonl", "\n\n", true); }, true},
        {"only a rotated file", rotate, false},
        {"live file all garbage",
         [&](const fs::path& d) {
             rotate(d);
             test::writeFile(d / "audit.jsonl", "not json\n");
         },
         false},
        {"live file unreadable",
         [&](const fs::path& d) {
             rotate(d);
             fs::create_directory(d / "audit.jsonl");
         },
         false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        AuditEntry last;
        {
            AuditStore store(temp.path());
            store.append(clientEvent());
            last = store.append(clientEvent());
        }
        const std::string lastLine = AuditChain::encodeLine(last);
        c.change(temp.path());

        AuditStore store(temp.path());
        ASSERT_TRUE(store.lastEntry().has_value());
        EXPECT_EQ(store.lastEntry()->seq, 2);
        EXPECT_EQ(store.lastLine().has_value(), c.linksByLine);
        if (!c.appendable) continue;
        const AuditEntry next = store.append(clientEvent());
        EXPECT_EQ(next.seq, 3);
        EXPECT_EQ(next.prevHash, c.linksByLine ? AuditChain::sha256(lastLine) : *last.hash);
    }
}

TEST(AuditStore, TornLastLineDoesNotForkTheChain) {
    TempDir temp;
    {
        AuditStore store(temp.path());
        for (int i = 0; i < 2; ++i)
            store.append(clientEvent());
        fs::rename(store.auditURL(), temp.path() / kRotated);
        for (int i = 0; i < 2; ++i)
            store.append(clientEvent());
    }
    const fs::path live = temp.path() / "audit.jsonl";
    const std::string whole = test::readFile(live);
    test::writeFile(live, R"({"seq":5,"event":"compl)", true);  // a crash mid-write

    AuditStore store(temp.path());
    const AuditEntry next = store.append(clientEvent());
    EXPECT_EQ(next.seq, 5);
    // The new line stands on its own; the torn piece stays as evidence.
    const auto lines = linesOf(live);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], AuditChain::encodeLine(next));
    EXPECT_EQ(AuditReader::verify(temp.path()), test::brokenLog(5, 5));
    // Removing the torn piece makes the chain whole again.
    test::writeFile(live, whole + lines[3] + "\n");
    EXPECT_EQ(AuditReader::verify(temp.path()), test::intactLog(5));
}

TEST(AuditStore, LiveFileMovedAsideWhileRunningLinksByHash) {
    TempDir temp;
    AuditStore store(temp.path());
    store.append(clientEvent());
    const AuditEntry second = store.append(clientEvent());
    fs::rename(store.auditURL(), temp.path() / kRotated);
    EXPECT_EQ(store.append(clientEvent()).prevHash, *second.hash);
    EXPECT_EQ(AuditReader::verify(temp.path()), test::intactLog(3));
}

TEST(AuditStore, FailedWriteLeavesFileAndTailUnchanged) {
    TempDir temp;
    AuditStore store(temp.path());
    store.append(clientEvent());
    const std::string before = test::readFile(store.auditURL());

    // A file-size limit just past the end stops the write mid-line.
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
    rlimit small = original;
    small.rlim_cur = before.size() + 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    try {
        store.append(clientEvent());
    } catch (const SystemError& error) {
        message = error.what();
    }
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &original), 0);
    std::signal(SIGXFSZ, handler);

    EXPECT_EQ(message, "could not write '" + store.auditURL().string() + "': File too large");
    EXPECT_EQ(test::readFile(store.auditURL()), before);
    EXPECT_EQ(store.append(clientEvent()).seq, 2);
    EXPECT_TRUE(AuditReader::verify(temp.path()).intact);
}

TEST(AuditStore, ListsOnlyAuditFilesInChainOrder) {
    TempDir temp;
    for (const char* name :
         {"Audit-x.jsonl", "audit-x.json", ".audit-x.jsonl", "audit.jsonl.bak", "audit-x.jsonl",
          "audit.jsonl", "audit-2020-01-01T00-00-00Z_000001.jsonl", kRotated.c_str(), "state.json"})
        test::writeFile(temp.path() / name, "");
    std::vector<std::string> names;
    for (const auto& file : AuditStore::auditFiles(temp.path()))
        names.push_back(file.filename());
    EXPECT_EQ(names, (std::vector<std::string>{kRotated, "audit-2020-01-01T00-00-00Z_000001.jsonl",
                                               "audit-x.jsonl", "audit.jsonl"}));
    EXPECT_THROW((void)AuditStore::auditFiles(temp.path() / "missing"), SystemError);
}

TEST(AuditStore, CappedCutsAtTheLimitAndRepairsASplitCharacter) {
    const std::size_t n = AuditStore::cappedBytes;
    const std::pair<std::string, std::string> cases[] = {
        {std::string(n, 'a'), std::string(n, 'a')},
        {std::string(n + 1, 'b'), std::string(n, 'b')},
        {std::string(n - 1, 'c') + "\xC3\xA9", std::string(n - 1, 'c') + "\xEF\xBF\xBD"},
        {std::string(n - 2, 'd') + "\xE2\x82\xAC" + "tail",
         std::string(n - 2, 'd') + "\xEF\xBF\xBD"},
        {std::string(n - 2, 'e') + "\xC3\xA9" + "f", std::string(n - 2, 'e') + "\xC3\xA9"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(AuditStore::capped(text), expected);
}

TEST(AuditStore, MakeEntryCopiesApprovalOnlyForApproved) {
    BastorRequest request = test::requestFor({"true"});
    request.stdin = "input\n";
    for (const BastorAuditEvent event : allAuditEvents) {
        SCOPED_TRACE(std::string(rawValue(event)));
        const AuditEntry entry = AuditEntries::makeEntry(request, event);
        EXPECT_EQ(entry.requestID, request.id);
        EXPECT_EQ(entry.stdinSHA256, AuditChain::sha256Text("input\n"));
        EXPECT_EQ(entry.stdinBytes, 6);
        const bool approved = event == BastorAuditEvent::approved;
        EXPECT_EQ(entry.approvalMethod.has_value(), approved);
        EXPECT_EQ(entry.approver.has_value(), approved);
        EXPECT_EQ(entry.authMethod.has_value(), approved);
    }
}

}  // namespace
}  // namespace bastor
