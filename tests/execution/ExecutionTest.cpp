#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "BastorShared/execution/BastorExecutor.h"
#include "BastorShared/execution/CommandResolver.h"
#include "BastorShared/execution/OutputCollector.h"
#include "BastorShared/execution/ProcessTimeout.h"
#include "BastorShared/platform/Sha256.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorError.h"
#include "tests/execution/TestCgroups.h"
#include "tests/support/ApprovedRequest.h"
#include "tests/support/TempDir.h"

namespace bastor {
namespace {

using test::approvedRequest;
using test::TempDir;

// Runs held by their process group only.
BastorExecutor& groupOnly() {
    static BastorExecutor executor{"none"};
    return executor;
}

// What `action` returns, or the description of the error it throws.
template <class Action>
std::string outcome(Action action) try {
    return action();
} catch (const BastorError& error) {
    return error.errorDescription();  // may hold a NUL, unlike what()
} catch (const std::exception& error) {
    return error.what();
}

TEST(CommandResolver, ResolvesToCanonicalExecutablesOrRefusesNamingWhatWasSent) {
    TempDir dir;
    const std::string tool = dir.write("tool", "#!/bin/sh\n", 0755);
    const std::string plain = dir.write("plain", "data", 0644);
    const std::string notFound = "Executable not found or not executable: ";
    const std::string nul("/usr/bin/ls\0x", 13);  // a system call would see /usr/bin/ls
    const std::pair<std::string, std::string> executables[] = {
        {"ls", std::filesystem::canonical("/usr/bin/ls")},
        {"sh", std::filesystem::canonical("/usr/bin/sh")},  // a link on Debian
        {tool, std::filesystem::canonical(tool)},           // outside the search path
        {"bin/tool", "Relative executable paths containing '/' are not allowed"},
        {"/usr/bin", notFound + "/usr/bin"},
        {plain, notFound + plain},
        {nul, notFound + nul},
        {"no-such-tool", "Executable 'no-such-tool' was not found in Bastor's fixed PATH"},
    };
    for (const auto& [name, expected] : executables)
        EXPECT_EQ(outcome([&] { return CommandResolver::resolve(name); }), expected);
}

TEST(CommandResolver, Warnings) {
    const std::string shell =
        "This command runs a shell or interpreter. Review every argument carefully.";
    const std::string path =
        "An argument touches security settings, launch daemons, or Bastor's protected directory.";
    // resolved path, argv, warnings
    const std::tuple<std::string, std::vector<std::string>, std::vector<std::string>> cases[] = {
        {"/bin/zsh", {"zsh"}, {shell}},
        {"/usr/local/bin/Python3", {"x"}, {shell}},
        {"/usr/bin/shx", {"x"}, {}},
        {"/usr/bin/cat", {"cat", "/etc/sudoers.d/extra"}, {path}},
        {"/usr/bin/cp", {"cp", "a", "/Library/LaunchDaemons/a.plist", "/etc/pam.d/x"}, {path}},
        {"/bin/cat", {"cat", "../etc/sudoers", "--f=/etc/sudoers", "/library/launchdaemons"}, {}},
        {"/bin/sh", {"/Library/Application Support/Nocta/Bastor/state.json"}, {shell, path}},
        {"/usr/bin/dash", {"sh", "-c", "id"}, {shell}},  // the name as typed counts
        {"/usr/bin/python3.11", {"/usr/bin/PYTHON3", "-c", ""}, {shell}},
    };
    for (const auto& [resolvedPath, argv, expected] : cases) {
        BastorRequest request;
        request.resolvedPath = resolvedPath;
        request.argv = argv;
        EXPECT_EQ(CommandResolver::warnings(request), expected) << resolvedPath;
    }
}

TEST(OutputCollector, KeepsThePrefixAndHashesEverything) {
    constexpr std::int64_t kMiB = 1048576;
    // stream, chunk size, limit, kept text
    const std::tuple<std::string, std::size_t, std::int64_t, std::string> cases[] = {
        {std::string(kMiB, 'a'), 65536, kMiB, std::string(kMiB, 'a')},
        {std::string(kMiB, 'a') + "z", 65536, kMiB, std::string(kMiB, 'a')},
        {std::string(kMiB, 'a') + "z", 1000000, kMiB, std::string(kMiB, 'a')},  // crosses it
        {"ab\xE2\x82\xAC", 1, 4, "ab\xEF\xBF\xBD"},  // a euro sign cut by the limit
        {"x\xFFy", 3, kMiB, "x\xEF\xBF\xBDy"},
        {"", 1, kMiB, ""},
    };
    for (const auto& [stream, chunk, limit, text] : cases) {
        OutputCollector collector(limit);
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            collector.append(std::string_view(stream).substr(at, chunk));
            if (at == 0) (void)collector.finish();  // a summary midway ends nothing
        }
        const auto output = collector.finish();
        EXPECT_EQ(output.text, text);
        EXPECT_EQ(output.truncated, std::ssize(stream) > limit);
        EXPECT_EQ(output.byteCount, std::ssize(stream));
        EXPECT_EQ(output.sha256, Sha256::hex(stream));
    }
}

TEST(BastorExecutor, ReportsOutputDigestsCountsAndStatus) {
    const auto large = groupOnly().run(
        approvedRequest({"sh", "-c", "head -c 2097152 /dev/zero; printf 0123456789 >&2; exit 3"}));
    EXPECT_EQ(large.result.exitCode, 3);
    EXPECT_TRUE(large.result.stdoutTruncated);
    EXPECT_EQ(large.stdoutBytes, 2097152);
    EXPECT_EQ(large.result.stdout, std::string(1048576, '\0'));
    EXPECT_EQ(large.stdoutSHA256, Sha256::hex(std::string(2097152, '\0')));
    EXPECT_FALSE(large.result.stderrTruncated);
    EXPECT_EQ(large.result.stderr, "0123456789");
    EXPECT_EQ(large.stderrBytes, 10);
    EXPECT_EQ(large.stderrSHA256, Sha256::hex("0123456789"));
}

TEST(BastorExecutor, RefusesOrFailsToLaunchWithNothingRunning) {
    const TempDir dir("/run");  // /tmp is not root's alone: nothing there would run
    const std::string script = "touch " + dir / "marker";
    const std::string plain = dir.write("plain", "#!/bin/sh\n" + script + "\n", 0644);
    const std::string noShebang = dir.write("no-shebang", script + "\n", 0755);
    const std::string moved =
        "The resolved executable changed after approval; the command was not run";
    const std::string notDirectory = "Working directory does not exist or is not a directory: ";
    const std::string nulCwd("/tmp\0/x", 7);
    const std::pair<std::function<void(BastorRequest&)>, std::string> cases[] = {
        {[](auto& r) { r.resolvedPath = CommandResolver::resolve("env"); }, moved},
        {[&](auto& r) { r.cwd = plain; }, notDirectory + plain},
        {[&](auto& r) { r.cwd = nulCwd; }, notDirectory + nulCwd},  // chdir would see /tmp
        {[](auto& r) { r.argv[2] += std::string("\0x", 2); },
         "Arguments must not contain NUL characters; the command was not run"},
        {[&](auto& r) { r.argv = {plain}, r.resolvedPath = plain; },
         "Executable not found or not executable: " + plain},
        {[&](auto& r) { r = approvedRequest({noShebang}); },
         "could not launch '" + noShebang + "': Exec format error"},
    };
    for (const auto& [change, message] : cases) {
        auto request = approvedRequest({"sh", "-c", script});
        change(request);
        EXPECT_EQ(outcome([&] { return groupOnly().run(request).result.stdout; }), message);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "marker"));
}

// The daemon ignores SIGPIPE, its threads may block signals and it holds
// descriptors of its own: the child sees none of that.
TEST(BastorExecutor, ChildSeesOnlyWhatWasApproved) {
    ::setenv("BASTOR_SHOULD_NOT_LEAK", "1", 1);
    const UniqueFd stray(::open("/dev/null", O_RDONLY));  // not close-on-exec
    const auto previous = ::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked, mask;
    ::sigemptyset(&blocked);
    ::sigaddset(&blocked, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &mask);

    const std::string stdinKind = "link=$(readlink /proc/self/fd/0); echo ${link%%:*}; cat";
    const std::string hundred = std::string(99, 'x') + "\n";
    const std::string cmdline = "tr '\\0' '\\n' </proc/$$/cmdline";
    const struct {
        std::vector<std::string> argv;
        std::string stdout;
        std::optional<std::string> stdin = {};
        std::string cwd = "/";
    } cases[] = {
        {{"sh", "-c", stdinKind}, "/dev/null\n"},
        {{"sh", "-c", stdinKind}, "pipe\n", ""},
        {{"sh", "-c", stdinKind}, "pipe\n" + hundred, hundred},
        {{"env"},
         "PATH=/usr/bin:/bin:/usr/sbin:/sbin:/usr/local/bin:/opt/homebrew/bin:/opt/homebrew/sbin\n"
         "HOME=/var/root\nLANG=en_US.UTF-8\nUSER=root\n"},
        {{"pwd"}, "/usr\n", {}, "/usr"},
        // argv[0] becomes the resolved path; the rest arrive as sent.
        {{"sh", "-c", cmdline, "", "a b"},
         CommandResolver::resolve("sh") + "\n-c\n" + cmdline + "\n\na b\n"},
        // ls lists on the lowest free descriptor: 3, unless one leaked.
        {{"ls", "/proc/self/fd"}, "0\n1\n2\n3\n"},
        {{"grep", "-c", "^Sig[BI]..:\t0*$", "/proc/self/status"}, "2\n"},  // none blocked, ignored
        // With SIGPIPE ignored, yes would complain about EPIPE instead of dying quietly.
        {{"sh", "-c", "(yes | head -n 1) 2>&1"}, "y\n"},
        {{"sh", "-c", "[ $$ = $(cut -d' ' -f5 /proc/$$/stat) ] && echo leader"}, "leader\n"},
    };
    test::ContainedExecutor contained;
    for (BastorExecutor* executor : {&groupOnly(), &*contained})
        for (const auto& c : cases)
            EXPECT_EQ(executor->run(approvedRequest(c.argv, c.cwd, c.stdin)).result.stdout,
                      c.stdout)
                << c.argv.back() << (executor == &groupOnly() ? " (process group)" : " (cgroup)");
    ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    ::signal(SIGPIPE, previous);
}

TEST(BastorExecutor, InputToAChildThatNeverReadsItIsDropped) {
    // SIGPIPE keeps its default here: a leaked one would end this process.
    ASSERT_EQ(::signal(SIGPIPE, SIG_DFL), SIG_DFL);
    const std::string megabyte(1048576, 'i');
    for (const char* script : {"true", "head -c 10", "exec 0<&-; sleep 0.2"})
        EXPECT_EQ(
            groupOnly().run(approvedRequest({"sh", "-c", script}, "/", megabyte)).result.exitCode,
            0);
    sigset_t mask;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(::sigismember(&mask, SIGPIPE)) << "SIGPIPE was left blocked";
}

// Runs with a 1 s limit, side by side, held by their process group or by a
// cgroup; the grace before SIGKILL is 5 s. No process is left in a run cgroup.
TEST(BastorExecutor, RunsEndInTimeWithWhatWasRead) {
    test::ContainedExecutor contained;
    struct Range {
        std::int64_t least, most;  // milliseconds taken
    };
    const Range atDeadline{950, 4000}, afterGrace{5950, 8000};
    const struct {
        std::string script;
        std::int32_t exitCode;
        Range group, cgroup;
    } cases[] = {
        {"echo started; exec sleep 10", 15, atDeadline, atDeadline},
        {"trap '' TERM; echo started; sleep 10; sleep 10", 9, afterGrace, afterGrace},
        // Many descendants, all ignoring SIGTERM as they inherit it.
        {"trap '' TERM; for i in $(seq 50); do sleep 300 & done; echo started; wait", 9, afterGrace,
         afterGrace},
        // The child ignores SIGTERM and waits for its own child, which ends on
        // it: only a signal to all of them ends the run before the grace.
        {"sh -c 'trap \"exit 0\" TERM; sleep 30 & wait' & trap '' TERM; echo started; wait", 0,
         atDeadline, atDeadline},
        // The child is gone at once; a background descendant holds stdout.
        {"sleep 1000 & echo started", 0, atDeadline, atDeadline},
        // It left the group: only its cgroup reaches it; without one reading
        // stops anyway.
        {"setsid sleep 9 & echo started", 0, afterGrace, atDeadline},
        // The child itself moved into another group, out of killpg's reach.
        {"echo started; exec perl -e 'setpgrp(0, getpgrp(getppid())) or die; sleep 10'", 15,
         atDeadline, atDeadline},
    };
    std::vector<std::future<BastorResult>> runs;
    for (BastorExecutor* executor : {&groupOnly(), &*contained})
        for (const auto& c : cases)
            runs.push_back(std::async(std::launch::async, [&c, executor] {
                return executor->run(approvedRequest({"sh", "-c", c.script}, "/", {}, 1)).result;
            }));
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto& c = cases[i % std::size(cases)];
        const bool inCgroup = i >= std::size(cases);
        const Range range = inCgroup ? c.cgroup : c.group;
        const auto result = runs[i].get();
        SCOPED_TRACE(c.script + (inCgroup ? " (cgroup)" : " (process group)"));
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.stdout, "started\n");
        EXPECT_GE(result.durationMs, range.least);
        EXPECT_LT(result.durationMs, range.most);
    }
    EXPECT_TRUE(test::nothingLeftRunning(contained.rootPath()));
}

TEST(ProcessTimeout, SignalsOnceEachInOrderAndNeverWhenCancelled) {
    std::vector<int> sent;
    ProcessTimeout idle([&](int number) { sent.push_back(number); });
    EXPECT_EQ(idle.pollTimeout(), -1);  // not started: the loop may sleep until woken

    ProcessTimeout due([&](int number) { sent.push_back(number); });
    due.start(0);
    due.act();
    due.act();  // a step is taken once, however often the loop wakes
    EXPECT_EQ(sent, std::vector<int>{ProcessTimeout::terminateSignal});
    EXPECT_FALSE(due.killed());
    EXPECT_GT(due.pollTimeout(), 4000);  // the kill step waits out the grace
    EXPECT_LE(due.pollTimeout(), 5000);

    sent.clear();
    ProcessTimeout cancelled([&](int number) { sent.push_back(number); });
    cancelled.start(0);
    cancelled.cancel();
    cancelled.act();
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(cancelled.pollTimeout(), -1);

    ProcessTimeout later([&](int number) { sent.push_back(number); });
    later.start(3600);
    later.act();
    EXPECT_TRUE(sent.empty());
    EXPECT_GT(later.pollTimeout(), 59'000);  // capped for poll(), taken in pieces
}

}  // namespace
}  // namespace bastor
