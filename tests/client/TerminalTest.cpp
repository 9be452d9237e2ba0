#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "bastorctl/TerminalPrompt.h"
#include "bastorctl/TerminalText.h"

namespace bastor {
namespace {

using namespace std::chrono_literals;

TEST(TerminalText, ArgumentsAreQuotedAndControlCharactersDefused) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"ls", "ls"},
        {"/usr/bin/env", "/usr/bin/env"},
        {"--color=auto", "--color=auto"},
        {"", "''"},
        {"two words", "'two words'"},
        {"it's", "'it'\\''s'"},
        {"$HOME", "'$HOME'"},
        {"é", "é"},
        {"a\nb", "'a\\nb'"},
        {"\x1b]0;owned\x07", "'\\x1b]0;owned\\x07'"},
        {"\xc2\x9b"
         "2J",
         "\\u009b2J"},
        {"bad\xff", "bad\xef\xbf\xbd"},
    };
    for (const auto& [argument, shown] : cases) {
        EXPECT_EQ(TerminalText::quoteArgument(argument), shown) << argument;
    }
    EXPECT_EQ(TerminalText::commandLine({"echo", "a b", "c"}), "echo 'a b' c");
    EXPECT_EQ(TerminalText::visible("tab\there\r"), "tab\\there\\r");
}

// A pseudo-terminal: the prompt talks to its slave side, the test types on
// the master side like a person would.
class Pty {
  public:
    Pty() : master_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (!master_ || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        slave_ = ::ptsname(master_.get());
    }
    [[nodiscard]] const std::string& slave() const { return slave_; }

    void type(std::string_view keys) {
        ASSERT_EQ(::write(master_.get(), keys.data(), keys.size()),
                  static_cast<ssize_t>(keys.size()));
    }
    // Everything shown on the terminal until `text` appears.
    std::string readUntil(std::string_view text) {
        std::string shown;
        while (shown.find(text) == std::string::npos) {
            pollfd fd{master_.get(), POLLIN, 0};
            if (::poll(&fd, 1, 10000) <= 0) break;
            char chunk[256];
            const ssize_t n = ::read(master_.get(), chunk, sizeof chunk);
            if (n <= 0) break;
            shown.append(chunk, static_cast<std::size_t>(n));
        }
        return shown;
    }

  private:
    UniqueFd master_;
    std::string slave_;
};

Approval answer(std::string_view keys) {
    Pty pty;
    auto prompt = TerminalPrompt::open(pty.slave());
    EXPECT_TRUE(prompt);
    auto asked =
        std::async(std::launch::async, [&] { return prompt->ask("Run as root? [y/N] ", 10s); });
    EXPECT_NE(pty.readUntil("[y/N] ").find("Run as root?"), std::string::npos);
    pty.type(keys);
    return asked.get();
}

TEST(TerminalPrompt, OnlyAYesApproves) {
    const std::vector<std::pair<std::string, Approval>> cases = {
        {"y\n", Approval::approved},      {"Yes\n", Approval::approved},
        {"  YES \n", Approval::approved}, {"n\n", Approval::denied},
        {"\n", Approval::denied},         {"yess\n", Approval::denied},
        {"ok\n", Approval::denied},       {"\x04", Approval::denied},  // end of input
    };
    for (const auto& [keys, expected] : cases) {
        EXPECT_EQ(answer(keys), expected) << "keys: " << keys;
    }
}

TEST(TerminalPrompt, AnInterruptionDenies) {
    Pty pty;
    auto prompt = TerminalPrompt::open(pty.slave());
    ASSERT_TRUE(prompt);
    auto asked =
        std::async(std::launch::async, [&] { return prompt->ask("Run as root? [y/N] ", 10s); });
    pty.readUntil("[y/N] ");
    ::kill(::getpid(), SIGINT);
    EXPECT_EQ(asked.get(), Approval::denied);
}

TEST(TerminalPrompt, SilenceIsATimeOut) {
    Pty pty;
    auto prompt = TerminalPrompt::open(pty.slave());
    ASSERT_TRUE(prompt);
    EXPECT_EQ(prompt->ask("Run as root? [y/N] ", 300ms), Approval::timedOut);
}

TEST(TerminalPrompt, KeysTypedBeforeTheQuestionDoNotAnswerIt) {
    Pty pty;
    auto prompt = TerminalPrompt::open(pty.slave());
    ASSERT_TRUE(prompt);
    pty.type("y\n");
    // Wait until the line has reached the terminal's input queue.
    UniqueFd reader(::open(pty.slave().c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    pollfd fd{reader.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&fd, 1, 10000), 1);
    EXPECT_EQ(prompt->ask("Run as root? [y/N] ", 300ms), Approval::timedOut);
}

TEST(TerminalPrompt, NoTerminalIsNoPrompt) {
    EXPECT_FALSE(TerminalPrompt::open("/dev/null"));
    EXPECT_FALSE(TerminalPrompt::open("/nonexistent/tty"));
}

}  // namespace
}  // namespace bastor
