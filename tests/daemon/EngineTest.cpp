#include <algorithm>
#include <future>
#include <limits>

#include "BastorShared/platform/DateTime.h"
#include "BastorShared/records/BastorError.h"
#include "tests/daemon/DaemonTestSupport.h"

namespace bastor::test {

constexpr std::uintmax_t kRotationLimit = 52'428'800;

static void rotateLiveFile(const fs::path& directory, const std::string& as = "audit-1.jsonl") {
    fs::rename(directory / "audit.jsonl", directory / as);
}

static void record(BastorEngine& engine, int count) {
    for (int i = 0; i < count; ++i)
        engine.recordEvent(AuditEntry{});
}

TEST(EngineState, StartCreatesAPrivateDirectoryWritingNothingAndSavesAtomically) {
    TempDir temp;
    const fs::path directory = temp.path / "Nocta" / "Bastor", file = directory / "state.json";
    EXPECT_EQ(BastorEngine(directory).currentState(), BastorState{});
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_TRUE(fs::is_empty(directory));

    ASSERT_EQ(::chmod(directory.c_str(), 0755), 0);
    writeFile(file, R"({"enabled":1})");  // not a valid state, and world-readable
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    BastorEngine engine(directory);
    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(engine.currentState(), BastorState{});
    const BastorState saved = engine.setAutoApproval(true);
    EXPECT_EQ(readFile(file), R"({"audit_enabled":false,"auto_approval":true,"enabled":false})");
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), {}), 1);  // no temporary left
    EXPECT_EQ(BastorEngine(directory).currentState(), saved);

    fs::remove_all(directory);
    EXPECT_THROW(engine.setAuditEnabled(true), SystemError);
    EXPECT_TRUE(engine.currentState().auditEnabled);  // kept in memory
}

TEST(EngineState, ASaveThatFailsPartWayLeavesThePreviousStateFile) {
    TempDir temp;
    BastorEngine engine(temp.path);
    engine.setEnabled(true);
    const std::string before = readFile(temp.path / "state.json");
    {
        const FileSizeLimit limit(10);
        EXPECT_THROW(engine.setAutoApproval(true), SystemError);
    }
    EXPECT_EQ(readFile(temp.path / "state.json"), before);
}

TEST(AuditStore, ChainsFromGenesisByLineDigestAndAcrossARotationByHash) {
    for (const std::uintmax_t size : {kRotationLimit, kRotationLimit + 1}) {
        SCOPED_TRACE(size);
        TempDir temp;
        AuditStore store(temp.path);
        const AuditEntry first = store.append(AuditEntry{});
        EXPECT_EQ(first.seq, 1);
        EXPECT_EQ(first.prevHash, AuditChain::genesisHash());
        EXPECT_EQ(modeOf(store.auditURL()), 0600u);
        ASSERT_EQ(::chmod(store.auditURL().c_str(), 0644), 0);
        // Padded with empty lines, which no reader counts.
        writeFile(store.auditURL(), std::string(size - fs::file_size(store.auditURL()), '\n'),
                  true);
        const AuditEntry second = store.append(AuditEntry{});
        EXPECT_EQ(second.seq, 2);
        EXPECT_EQ(modeOf(store.auditURL()), 0600u);
        const auto files = AuditStore::auditFiles(temp.path);
        if (size == kRotationLimit) {
            EXPECT_EQ(files.size(), 1u);
            EXPECT_EQ(second.prevHash, AuditChain::sha256(AuditChain::encodeLine(first)));
        } else {
            ASSERT_EQ(files.size(), 2u);
            EXPECT_EQ(fs::file_size(files[0]), size);
            EXPECT_EQ(second.prevHash, *first.hash);
        }
        EXPECT_EQ(AuditReader::verify(temp.path), verdict(2));
    }
}

TEST(AuditStore, RestartContinuesTheChainFromTheLastReadableEntry) {
    TempDir temp;
    const fs::path live = temp.path / "audit.jsonl";
    AuditEntry last = AuditStore(temp.path).append(AuditEntry{});
    const auto restartLinkingBy = [&](bool line) {
        AuditStore store(temp.path);
        EXPECT_EQ(store.tail().seq, last.seq);
        EXPECT_EQ(store.tail().lineDigest.has_value(), line);
        if (fs::is_directory(live)) return;
        const AuditEntry next = store.append(AuditEntry{});
        EXPECT_EQ(next.seq, last.seq + 1);
        EXPECT_EQ(next.prevHash,
                  line ? AuditChain::sha256(AuditChain::encodeLine(last)) : *last.hash);
        EXPECT_EQ(linesOf(live).back(), AuditChain::encodeLine(next));  // on a line of its own
        last = next;
    };
    restartLinkingBy(true);
    writeFile(live, "\n\n", true);
    restartLinkingBy(true);
    rotateLiveFile(temp.path, "audit-1.jsonl");
    restartLinkingBy(false);  // from a rotated file
    rotateLiveFile(temp.path, "audit-2.jsonl");
    writeFile(live, "not json\n");
    restartLinkingBy(false);  // past a live file of garbage
    rotateLiveFile(temp.path, "audit-3.jsonl");
    fs::create_directory(live);
    restartLinkingBy(false);  // past an unreadable live file
}

TEST(AuditStore, AStoreKeepingItsFileOpenNoticesTheFileChangedBehindIt) {
    TempDir temp;
    AuditStore store(temp.path);
    const fs::path live = store.auditURL();
    AuditEntry last = store.append(AuditEntry{});
    const auto appendLinkingBy = [&](bool line) {
        const AuditEntry next = store.append(AuditEntry{});
        EXPECT_EQ(next.prevHash,
                  line ? AuditChain::sha256(AuditChain::encodeLine(last)) : *last.hash);
        EXPECT_EQ(linesOf(live).back(), AuditChain::encodeLine(next));
        EXPECT_EQ(modeOf(live), 0600u);
        last = next;
    };
    ASSERT_EQ(::chmod(live.c_str(), 0644), 0);  // nothing else changed
    appendLinkingBy(true);
    writeFile(live, "torn", true);
    appendLinkingBy(true);
    fs::remove(live);
    appendLinkingBy(false);
    // Another file of the very same size put in its place.
    const std::string bytes = readFile(live);
    writeFile(temp.path / "other", bytes);
    fs::rename(temp.path / "other", live);
    appendLinkingBy(true);
    EXPECT_EQ(linesOf(live).size(), 2u);
}

TEST(AuditStore, FailedWriteLeavesNoPartialLineAndRotationNeverOverwrites) {
    TempDir temp;
    AuditStore store(temp.path);
    store.append(AuditEntry{});
    const std::string before = readFile(store.auditURL());
    {
        const FileSizeLimit limit(before.size() + 10);  // just past the end: mid-line
        EXPECT_THROW(store.append(AuditEntry{}), SystemError);
    }
    EXPECT_EQ(readFile(store.auditURL()), before);

    // Rotations within one second: the names this second and the next are taken.
    for (const auto when : {now(), now() + std::chrono::seconds(1)}) {
        std::string stamp = formatDateTime(when);
        std::replace(stamp.begin(), stamp.end(), ':', '-');
        writeFile(temp.path / ("audit-" + stamp + ".jsonl"), "kept\n");
    }
    writeFile(store.auditURL(), std::string(kRotationLimit, '\n'), true);
    EXPECT_EQ(store.append(AuditEntry{}).seq, 2);
    const auto files = AuditStore::auditFiles(temp.path);
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(std::count_if(files.begin(), files.end(),
                            [](const fs::path& file) { return readFile(file) == "kept\n"; }),
              2);
    EXPECT_EQ(linesOf(files.back()).size(), 1u);
}

TEST(AuditStore, ListsOnlyAuditFilesInChainOrder) {
    TempDir temp;
    for (const char* name : {"Audit-x.jsonl", "audit-x.json", ".audit-x.jsonl", "audit.jsonl.bak",
                             "audit-x.jsonl", "audit.jsonl", "audit-1_1.jsonl", "audit-1.jsonl"})
        writeFile(temp.path / name, "");
    std::vector<std::string> names;
    for (const auto& file : AuditStore::auditFiles(temp.path))
        names.push_back(file.filename());
    EXPECT_EQ(names, (std::vector<std::string>{"audit-1.jsonl", "audit-1_1.jsonl", "audit-x.jsonl",
                                               "audit.jsonl"}));
    EXPECT_THROW((void)AuditStore::auditFiles(temp.path / "missing"), SystemError);
}

TEST(AuditStore, CappedCutsAtTheLimitAndRepairsASplitCharacter) {
    const std::size_t n = 65536;
    const std::string e = "\xC3\xA9", replacement = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {std::string(n, 'a'), std::string(n, 'a')},
        {std::string(n + 1, 'b'), std::string(n, 'b')},
        {std::string(n - 1, 'c') + e, std::string(n - 1, 'c') + replacement},
        {std::string(n - 2, 'd') + "\xE2\x82\xAC" + "tail", std::string(n - 2, 'd') + replacement},
        {std::string(n - 2, 'e') + e + "f", std::string(n - 2, 'e') + e},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(AuditStore::capped(text), expected);
}

TEST(EngineReader, PagesAreClampedOldestFirstAndSkipUndecodableLines) {
    TempDir temp;
    BastorEngine engine(temp.path);
    engine.setAuditEnabled(true);
    record(engine, 500);
    rotateLiveFile(temp.path);
    record(engine, 503);
    EXPECT_EQ(engine.verifyAudit(), verdict(1003));
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    // offset, limit, then the first seq and the number of entries expected
    const std::int64_t cases[][4] = {{0, 0, 1, 1},       {0, -5, 1, 1},     {max, max, 0, 0},
                                     {0, 5000, 1, 1000}, {2, max, 3, 1000}, {1001, 5, 1002, 2}};
    for (const auto& [offset, limit, first, count] : cases) {
        SCOPED_TRACE(::testing::Message() << "offset " << offset << " limit " << limit);
        const auto page = engine.readAudit(offset, limit);
        ASSERT_EQ(page.size(), static_cast<std::size_t>(count));
        for (std::int64_t i = 0; i < count; ++i)
            EXPECT_EQ(page[i].seq, first + i);
    }
    writeFile(temp.path / "audit.jsonl", "{\"not\":\"an entry\"}\n", true);
    record(engine, 2);
    EXPECT_EQ(engine.readAudit(1003, 10).at(1).seq, 1005);
    EXPECT_EQ(engine.verifyAudit(), verdict(1004, 1004));

    fs::create_directory(temp.path / "audit-2.jsonl");  // unreadable
    EXPECT_THROW((void)engine.readAudit(0, 10), SystemError);
    EXPECT_THROW((void)engine.verifyAudit(), SystemError);
}

static std::int64_t statusBytes(const std::string& field) {  // from /proc/self/status
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field + ":")) return std::stoll(line.substr(field.size() + 1)) * 1024;
    return -1;
}

TEST(EngineReaderMemory, VerifyingALargeLogStreams) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr bool sanitized = true;
#else
    constexpr bool sanitized = false;
#endif
    TempDir temp;
    const std::int64_t logBytes = std::int64_t{sanitized ? 64 : 256} << 20;
    AuditStore store(temp.path);
    AuditEntry entry;
    entry.stdout = std::string(60000, 'o') + "\n\"/\\\x01";
    for (std::int64_t written = 0; written < logBytes;)
        written += AuditChain::encodeLine(store.append(entry)).size() + 1;
    ASSERT_GE(AuditStore::auditFiles(temp.path).size(), 1u + logBytes / kRotationLimit);

    std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak
    const std::int64_t before = statusBytes("VmRSS");
    const BastorVerification streamed = AuditReader::verify(temp.path);
    const std::int64_t growth = statusBytes("VmHWM") - before;
    EXPECT_TRUE(sanitized || before <= 0 || growth < std::int64_t{64} << 20) << growth;
    EXPECT_EQ(streamed, verdict(*store.tail().seq));
}

class EngineExecute : public ::testing::Test {
  protected:
    void SetUp() override {
        engine_.setEnabled(true);
        engine_.setAuditEnabled(true);
    }
    std::vector<AuditEntry> log() const { return entriesOf(temp_.path / "audit.jsonl"); }
    BastorRequest shell(const std::string& script) const {
        return requestFor({"sh", "-c", script}, temp_.path.string());
    }
    TempDir temp_;
    BastorEngine engine_{temp_.path};
};

TEST_F(EngineExecute, RanCommandIsApprovedThenCompleted) {
    const auto result = engine_.execute(shell("printf err >&2; yes x | head -c 102400; exit 3"));
    const auto entries = log();
    ASSERT_EQ(entries.size(), 2u);
    const AuditEntry& completed = entries[1];
    EXPECT_EQ(entries[0].event, BastorAuditEvent::approved);
    EXPECT_EQ(entries[0].approver, "alice");
    EXPECT_EQ(result.auditID, entries[0].id);
    EXPECT_EQ(completed.event, BastorAuditEvent::completed);
    EXPECT_FALSE(completed.approver.has_value());
    EXPECT_EQ(std::tuple(completed.exitCode, completed.durationMs, completed.stderr),
              std::tuple(3, result.durationMs, "err"));
    EXPECT_EQ(completed.stdout, result.stdout.substr(0, 65536));  // capped
    EXPECT_EQ(std::tuple(completed.stdoutBytes, completed.stderrBytes), std::tuple(102400, 3));
    EXPECT_EQ(completed.stdoutSHA256, AuditChain::sha256(result.stdout));
    EXPECT_EQ(completed.stderrSHA256, AuditChain::sha256("err"));
}

TEST_F(EngineExecute, RefusalsBeforeLaunchAreAuditedAsApprovedThenFailed) {
    BastorRequest invalid = requestFor({"true"}), changed = requestFor({"true"});
    invalid.reason.clear();
    changed.resolvedPath = requestFor({"false"}).resolvedPath;
    const std::pair<BastorRequest, std::string> cases[] = {
        {invalid, "reason must contain 1 to 2000 characters"},
        {changed, "The resolved executable changed after approval; the command was not run"},
        {requestFor({"true"}, "/nonexistent-bastor-dir"), ""},
    };
    for (const auto& [request, message] : cases) {
        const std::size_t before = log().size();
        EXPECT_THROW((void)engine_.execute(request), std::exception);
        const auto entries = log();
        ASSERT_EQ(entries.size(), before + 2);
        EXPECT_EQ(entries[before].event, BastorAuditEvent::approved);
        EXPECT_EQ(entries[before + 1].event, BastorAuditEvent::failed);
        const std::string error = entries[before + 1].error.value_or("");
        EXPECT_TRUE(message.empty() ? !error.empty() : error == message) << error;
    }
}

TEST_F(EngineExecute, OffOrUnrecordableApprovalRunsNothingAndUnrecordableCompletionFails) {
    engine_.setEnabled(false);
    EXPECT_THROW((void)engine_.execute(shell("touch ran")), BastorError);
    EXPECT_EQ(log().size(), 1u);  // the switch alone
    engine_.setEnabled(true);
    rotateLiveFile(temp_.path);
    fs::create_directory(temp_.path / "audit.jsonl");
    EXPECT_THROW((void)engine_.execute(shell("touch ran")), SystemError);
    EXPECT_FALSE(fs::exists(temp_.path / "ran"));

    fs::remove(temp_.path / "audit.jsonl");  // and now the command makes it unwritable
    try {
        (void)engine_.execute(shell("rm audit.jsonl; mkdir audit.jsonl; touch ran; exit 3"));
        ADD_FAILURE() << "an unrecorded outcome was answered as a result";
    } catch (const BastorError& error) {
        // The reply must not read as if nothing had run.
        const std::string text = error.what();
        EXPECT_TRUE(text.starts_with("The command ran (exit status 3) but its outcome could not "
                                     "be recorded: could not open ") &&
                    text.ends_with("Is a directory"))
            << text;
    }
    EXPECT_TRUE(fs::exists(temp_.path / "ran"));
}

// A permit that frees up during the stop must not start what comes next.
TEST_F(EngineExecute, OnceStoppedNothingStartsEvenWithAPermitFree) {
    EXPECT_EQ(engine_.stopWaiting(), 0u);
    try {
        (void)engine_.execute(shell("touch ran"));
        ADD_FAILURE() << "ran after the stop";
    } catch (const BastorError& error) {
        EXPECT_STREQ(error.what(), BastorEngine::busyMessage);
    }
    EXPECT_FALSE(fs::exists(temp_.path / "ran"));
    EXPECT_TRUE(log().empty());
}

TEST_F(EngineExecute, AuditingOffBeforeOrDuringTheRun) {
    engine_.setAuditEnabled(false);
    EXPECT_FALSE(engine_.execute(requestFor({"true"})).auditID.has_value());
    EXPECT_THROW((void)engine_.execute(requestFor({"true"}, "/nonexistent-bastor-dir")),
                 BastorError);
    EXPECT_TRUE(log().empty());  // neither a run nor a failure
    engine_.setAuditEnabled(true);
    auto running = std::async(std::launch::async, [&] {
        return engine_.execute(shell("until [ -e go ]; do sleep 0.02; done"));
    });
    while (log().empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    engine_.setAuditEnabled(false);  // the engine is free while the command runs
    writeFile(temp_.path / "go", "");
    const BastorResult result = running.get();
    const auto entries = log();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].event, BastorAuditEvent::approved);
    EXPECT_EQ(result.auditID, entries[0].id);
}

}  // namespace bastor::test
