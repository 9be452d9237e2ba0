#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <future>

#include "BastorShared/records/BastorError.h"
#include "bastorctl/ApprovalPrompt.h"
#include "bastorctl/TerminalPrompt.h"
#include "bastorctl/TerminalText.h"
#include "tests/support/RunningDaemon.h"

namespace bastor {
namespace {

using namespace std::chrono_literals;

TEST(TerminalText, ArgumentsAreQuotedAndControlCharactersDefused) {
    const std::pair<std::string, std::string> cases[] = {
        {"--color=auto", "--color=auto"},
        {"", "''"},
        {"two words", "'two words'"},
        {"it's", "'it'\\''s'"},
        {"$HOME", "'$HOME'"},
        {"é", "é"},
        {"a\nb", "'a\\nb'"},
        {"\u009b2J", "\\u009b2J"},
        {"\x1b]0;owned\x07", "'\\x1b]0;owned\\x07'"},
        {"bad\xff", "bad\xef\xbf\xbd"},
        // Invisible or direction-changing characters would let a command look
        // like another one.
        {"a\u202eb", "a\\u202eb"},
        {"x\u00a0y", "x\\u00a0y"},
        {"\u200b", "\\u200b"}};
    for (const auto& [argument, shown] : cases)
        EXPECT_EQ(TerminalText::quoteArgument(argument), shown) << argument;
    EXPECT_EQ(TerminalText::commandLine({"echo", "a b", "c"}), "echo 'a b' c");
    EXPECT_EQ(TerminalText::visible("tab\there\r"), "tab\\there\\r");
}

// A prompt on a fresh pseudo-terminal; the test types on the master side as a
// person would.
struct Terminal {
    UniqueFd master{::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)};
    std::string slave =
        ::grantpt(master.get()) || ::unlockpt(master.get()) ? "" : ::ptsname(master.get());
    std::optional<TerminalPrompt> prompt = TerminalPrompt::open(slave);

    bool type(std::string_view keys) {
        return ::write(master.get(), keys.data(), keys.size()) == std::ssize(keys);
    }
    // Asks on another thread; returns once the question is on the screen.
    std::future<Approval> ask(std::chrono::milliseconds timeout) {
        auto asked = std::async(std::launch::async, [this, timeout] {
            return prompt->ask("Run as root? [y/N] ", timeout);
        });
        std::string shown;
        char chunk[256];
        for (pollfd fd{master.get(), POLLIN, 0};
             shown.find("Run as root? [y/N] ") == std::string::npos && ::poll(&fd, 1, 10000) > 0;) {
            const ssize_t n = ::read(master.get(), chunk, sizeof chunk);
            if (n <= 0) break;
            shown.append(chunk, static_cast<std::size_t>(n));
        }
        EXPECT_NE(shown.find("Run as root? [y/N] "), std::string::npos) << shown;
        return asked;
    }
};

// Every question finds a stale "y" typed before it, which must not count.
TEST(TerminalPrompt, OnlyAYesTypedAfterTheQuestionApproves) {
    const std::pair<std::string, Approval> cases[] = {
        {"y\n", Approval::approved},      {"Yes\n", Approval::approved},
        {"  YES \n", Approval::approved}, {"n\n", Approval::denied},
        {"\n", Approval::denied},         {"yess\n", Approval::denied},
        {"ok\n", Approval::denied},       {"\x04", Approval::denied},  // end of input
        {"", Approval::timedOut},
    };
    for (const auto& [keys, expected] : cases) {
        Terminal terminal;
        ASSERT_TRUE(terminal.prompt && terminal.type("y\n"));
        // Waits until the stale line has reached the terminal's input queue.
        UniqueFd reader(::open(terminal.slave.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
        pollfd fd{reader.get(), POLLIN, 0};
        ASSERT_EQ(::poll(&fd, 1, 10000), 1);
        auto asked = terminal.ask(keys.empty() ? 300ms : 10s);
        ASSERT_TRUE(terminal.type(keys));
        EXPECT_EQ(asked.get(), expected) << "typed " << keys;
    }
    Terminal interrupted;
    auto asked = interrupted.ask(10s);
    ::kill(::getpid(), SIGINT);
    EXPECT_EQ(asked.get(), Approval::denied) << "interrupted";
}

TEST(ApprovalPrompt, AQuestionLeftUnansweredIsRecordedAsTimedOut) {
    test::RunningDaemon helper;
    BastorClient client(helper.socketPath());
    client.setAuditEnabled(true);
    Terminal terminal;
    ASSERT_TRUE(terminal.prompt);
    const auto request = BastorRequest::validated({"true"}, {}, {}, {}, "test", {"tests", "1"});
    try {
        askApproval(*terminal.prompt, client, request, 1s);
        ADD_FAILURE() << "approved";
    } catch (const BastorError& error) {
        EXPECT_EQ(error.kind(), BastorError::Kind::timedOut);
    }
    const auto entries = client.readAudit(0, 10);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].event, BastorAuditEvent::timedOut);
}

}  // namespace
}  // namespace bastor
