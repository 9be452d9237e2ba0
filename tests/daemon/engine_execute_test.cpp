#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/records/BastorError.h"
#include "NoctaBastorHelper/BastorEngine.h"
#include "tests/daemon/engine_support.h"

namespace bastor {
namespace {

namespace fs = std::filesystem;
using test::requestFor;

class EngineExecute : public ::testing::Test {
  protected:
    void SetUp() override {
        engine_.setEnabled(true);
        engine_.setAuditEnabled(true);
    }
    [[nodiscard]] fs::path file(const char* name) const { return temp_.path() / name; }
    [[nodiscard]] std::vector<AuditEntry> log() const {
        return test::entriesOf(file("audit.jsonl"));
    }
    [[nodiscard]] BastorRequest shell(const std::string& script) const {
        return requestFor({"sh", "-c", script}, temp_.path().string());
    }
    // What execute() threw, as text; empty when it returned.
    std::string failureOf(const BastorRequest& request) {
        try {
            (void)engine_.execute(request);
        } catch (const std::exception& error) {
            return error.what();
        }
        return {};
    }

    test::TempDir temp_;
    BastorEngine engine_{temp_.path()};
};

TEST_F(EngineExecute, RanCommandIsApprovedThenCompleted) {
    const BastorRequest request =
        shell("printf err >&2; head -c 102400 /dev/zero | tr '\\0' x; exit 3");
    const BastorResult result = engine_.execute(request);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.stdout, std::string(102400, 'x'));

    const auto entries = log();
    ASSERT_EQ(entries.size(), 2u);
    const AuditEntry& approved = entries[0];
    const AuditEntry& completed = entries[1];
    EXPECT_EQ(approved.event, BastorAuditEvent::approved);
    EXPECT_EQ(approved.approver, "alice");
    EXPECT_EQ(result.auditID, approved.id);
    EXPECT_EQ(completed.event, BastorAuditEvent::completed);
    EXPECT_EQ(completed.requestID, request.id);
    EXPECT_FALSE(completed.approver.has_value());
    EXPECT_EQ(completed.exitCode, 3);
    EXPECT_EQ(completed.durationMs, result.durationMs);
    EXPECT_EQ(completed.stdout, std::string(65536, 'x'));
    EXPECT_EQ(completed.stdoutBytes, 102400);
    EXPECT_EQ(completed.stdoutSHA256, AuditChain::sha256(result.stdout));
    EXPECT_EQ(completed.stderr, "err");
    EXPECT_EQ(completed.stderrSHA256, AuditChain::sha256("err"));
    EXPECT_EQ(completed.stderrBytes, 3);
}

TEST_F(EngineExecute, RefusalsBeforeLaunchAreAuditedAsFailed) {
    test::writeFile(file("not-a-program"),
                    "\x7f"
                    "ELF but not really");
    fs::permissions(file("not-a-program"), fs::perms::owner_all);
    BastorRequest invalid = requestFor({"true"});
    invalid.reason.clear();
    BastorRequest changed = requestFor({"true"});
    changed.resolvedPath = requestFor({"false"}).resolvedPath;
    const std::pair<BastorRequest, std::string> cases[] = {
        {invalid, "reason must contain 1 to 2000 characters"},
        {changed, "The resolved executable changed after approval; the command was not run"},
        {requestFor({"true"}, "/nonexistent-bastor-dir"), ""},
        {requestFor({file("not-a-program").string()}), ""},  // launch fails
    };
    for (const auto& [request, message] : cases) {
        SCOPED_TRACE(request.argv[0] + " in " + request.cwd);
        const std::size_t before = log().size();
        const std::string failure = failureOf(request);
        ASSERT_FALSE(failure.empty());
        if (!message.empty()) {
            EXPECT_EQ(failure, message);
        }
        const auto entries = log();
        ASSERT_EQ(entries.size(), before + 2);
        EXPECT_EQ(entries[before].event, BastorAuditEvent::approved);
        EXPECT_EQ(entries[before + 1].event, BastorAuditEvent::failed);
        EXPECT_EQ(entries[before + 1].error, failure);
    }
    EXPECT_TRUE(engine_.verifyAudit().intact);
}

TEST_F(EngineExecute, OffOrUnrecordableApprovalRunsNothing) {
    const std::string touch = "touch " + file("ran").string();
    engine_.setEnabled(false);
    const std::size_t before = log().size();
    try {
        (void)engine_.execute(shell(touch));
        ADD_FAILURE() << "ran while off";
    } catch (const BastorError& error) {
        EXPECT_EQ(error.kind(), BastorError::Kind::off);
    }
    EXPECT_EQ(log().size(), before);

    engine_.setEnabled(true);
    fs::rename(file("audit.jsonl"), file("audit-2020.jsonl"));
    fs::create_directory(file("audit.jsonl"));
    EXPECT_THROW((void)engine_.execute(shell(touch)), SystemError);
    EXPECT_FALSE(fs::exists(file("ran")));
}

TEST_F(EngineExecute, UnrecordableCompletionFailsAfterTheRun) {
    // The command itself makes the live file unwritable.
    const std::string failure =
        failureOf(shell("rm audit.jsonl && mkdir audit.jsonl && touch ran"));
    EXPECT_TRUE(fs::exists(file("ran")));
    EXPECT_EQ(failure, "could not open '" + file("audit.jsonl").string() + "': Is a directory");
}

TEST_F(EngineExecute, AuditingOffBeforeOrDuringTheRun) {
    engine_.setAuditEnabled(false);
    const BastorResult unaudited = engine_.execute(requestFor({"true"}));
    EXPECT_FALSE(unaudited.auditID.has_value());
    EXPECT_TRUE(log().empty());

    engine_.setAuditEnabled(true);
    auto running = std::async(std::launch::async, [&] {
        return engine_.execute(shell("while [ ! -e go ]; do sleep 0.02; done"));
    });
    // The engine is free while the command runs.
    while (log().empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    engine_.setAuditEnabled(false);
    test::writeFile(file("go"), "");
    const BastorResult result = running.get();
    const auto entries = log();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].event, BastorAuditEvent::approved);
    EXPECT_EQ(result.auditID, entries[0].id);
}

}  // namespace
}  // namespace bastor
