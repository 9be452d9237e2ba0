#include "BastorShared/execution/BastorExecutor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <sstream>

#include "BastorShared/platform/Sha256.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"
#include "ExecutionTestSupport.h"

namespace bastor {
namespace {

using testing::errorOf;
using testing::makeRequest;

BastorResult shell(const std::string& script, std::optional<std::string> stdin = {}) {
    return BastorExecutor::run(makeRequest({"sh", "-c", script}, "/", std::move(stdin))).result;
}

bool noChildLeft() {
    return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

TEST(BastorExecutor, EchoReportsTextDigestsAndCounts) {
    const auto run = BastorExecutor::run(makeRequest({"echo", "hi"}));
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_EQ(run.result.stdout, "hi\n");
    EXPECT_EQ(run.result.stderr, "");
    EXPECT_FALSE(run.result.stdoutTruncated || run.result.stderrTruncated);
    EXPECT_FALSE(run.result.auditID);
    EXPECT_EQ(run.stdoutSHA256, Sha256::hex("hi\n"));
    EXPECT_EQ(run.stdoutBytes, 3);
    EXPECT_EQ(run.stderrSHA256, Sha256::hex(""));
    EXPECT_EQ(run.stderrBytes, 0);
    EXPECT_TRUE(noChildLeft());
}

TEST(BastorExecutor, RefusesBeforeAnythingRuns) {
    testing::TempDir dir;
    const std::string script = "touch " + dir / "marker";
    const std::string plain = dir.write("plain", "#!/bin/sh\n" + script + "\n", 0644);
    const auto request = [&](auto change) {
        auto r = makeRequest({"sh", "-c", script});
        change(r);
        return r;
    };
    const std::string changed =
        "The resolved executable changed after approval; the command was not run";
    const std::pair<BastorRequest, std::string> cases[] = {
        {request([](auto& r) { r.resolvedPath = CommandResolver::resolve("env"); }), changed},
        {request([](auto& r) { r.resolvedPath = "/usr/bin/sh"; }), changed},  // a link to it
        {request([](auto& r) { r.timeoutSeconds = 0; }),
         "timeout_seconds must be between 1 and 3600"},
        {request([&](auto& r) { r.cwd = dir / "gone"; }),
         "Working directory does not exist or is not a directory: " + dir / "gone"},
        {request([](auto& r) { r.argv[2] += std::string("\0x", 2); }),
         "Arguments must not contain NUL characters; the command was not run"},
        {request([&](auto& r) { r.argv = {plain}, r.resolvedPath = plain; }),
         "Executable not found or not executable: " + plain},
    };
    for (const auto& [r, message] : cases)
        EXPECT_EQ(errorOf([&] { (void)BastorExecutor::run(r); }), message);
    EXPECT_FALSE(std::filesystem::exists(dir / "marker"));
}

TEST(BastorExecutor, LaunchFailureThrowsAndLeavesNothingRunning) {
    testing::TempDir dir;
    for (const auto& path : {dir.write("no-shebang", "echo hi\n", 0755),
                             dir.write("bad-interpreter", "#!/nonexistent\n", 0755)}) {
        const auto request = makeRequest({path});
        try {
            (void)BastorExecutor::run(request);
            ADD_FAILURE() << path;
        } catch (const SystemError& error) {
            EXPECT_TRUE(std::string(error.what())
                            .starts_with("could not launch '" + request.resolvedPath + "': "));
        }
    }
    EXPECT_TRUE(noChildLeft());
}

TEST(BastorExecutor, ExitStatusOrSignalNumber) {
    EXPECT_EQ(shell("exit 3").exitCode, 3);
    EXPECT_EQ(shell("kill -9 $$").exitCode, 9);
}

TEST(BastorExecutor, StandardInput) {
    const std::string hundred = std::string(99, 'x') + "\n";
    const std::string script = "link=$(readlink /proc/self/fd/0); echo ${link%%:*}; cat";
    EXPECT_EQ(shell(script).stdout, "/dev/null\n");
    EXPECT_EQ(shell(script, "").stdout, "pipe\n");
    EXPECT_EQ(shell(script, hundred).stdout, "pipe\n" + hundred);
}

TEST(BastorExecutor, LargeOutputIsCappedButFullyHashed) {
    const auto run = BastorExecutor::run(
        makeRequest({"sh", "-c", "head -c 2097152 /dev/zero; printf 0123456789 >&2"}));
    EXPECT_TRUE(run.result.stdoutTruncated);
    EXPECT_EQ(run.stdoutBytes, 2097152);
    EXPECT_EQ(run.result.stdout, std::string(1048576, '\0'));
    EXPECT_EQ(run.stdoutSHA256, Sha256::hex(std::string(2097152, '\0')));
    EXPECT_FALSE(run.result.stderrTruncated);
    EXPECT_EQ(run.result.stderr, "0123456789");
}

TEST(BastorExecutor, ChildGetsExactlyArgvEnvironmentDirectoryAndGroup) {
    ::setenv("BASTOR_SHOULD_NOT_LEAK", "1", 1);
    EXPECT_EQ(BastorExecutor::run(makeRequest({"env"})).result.stdout,
              "PATH=/usr/bin:/bin:/usr/sbin:/sbin:/usr/local/bin:/opt/homebrew/bin:"
              "/opt/homebrew/sbin\nHOME=/var/root\nLANG=en_US.UTF-8\nUSER=root\n");
    testing::TempDir dir;
    EXPECT_EQ(BastorExecutor::run(makeRequest({"pwd"}, dir.path)).result.stdout, dir.path + "\n");
    // argv[0] is the executable's path; the rest arrive as sent, empty ones included.
    const auto request = makeRequest({"sh", "-c", "tr '\\0' '\\n' </proc/$$/cmdline", "", "a b"});
    EXPECT_EQ(BastorExecutor::run(request).result.stdout,
              request.resolvedPath + "\n-c\n" + request.argv[2] + "\n\na b\n");
    // Field 5 of stat is the process group.
    std::istringstream ids(shell("echo $$ $(cut -d' ' -f5 /proc/$$/stat)").stdout);
    pid_t pid = 0, group = -1;
    ids >> pid >> group;
    EXPECT_EQ(group, pid);
}

TEST(BastorExecutor, ChildInheritsOnlyTheStandardDescriptors) {
    const UniqueFd stray(::open("/dev/null", O_RDONLY));  // not close-on-exec
    std::istringstream listing(
        BastorExecutor::run(makeRequest({"ls", "-l", "/proc/self/fd"})).result.stdout);
    std::string descriptors, line;
    while (std::getline(listing, line)) {
        const auto arrow = line.find(" -> ");
        // ls's own handle on the directory it lists does not count.
        if (arrow == std::string::npos || line.ends_with("/fd")) continue;
        const auto name = line.rfind(' ', arrow - 1) + 1;
        descriptors += line.substr(name, arrow - name) + " ";
    }
    EXPECT_EQ(descriptors, "0 1 2 ");
}

// The daemon ignores SIGPIPE and threads may block signals; children must
// start clean all the same.
TEST(BastorExecutor, ChildStartsWithDefaultSignalsWhateverTheParentHas) {
    const auto previous = ::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked, mask;
    ::sigemptyset(&blocked);
    ::sigaddset(&blocked, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &mask);
    EXPECT_EQ(
        BastorExecutor::run(makeRequest({"grep", "^Sig[BI]", "/proc/self/status"})).result.stdout,
        "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
    // With SIGPIPE ignored, yes would complain about EPIPE instead of dying quietly.
    const auto pipeline = shell("yes | head -n 1");
    EXPECT_EQ(pipeline.stdout + pipeline.stderr, "y\n");
    ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    ::signal(SIGPIPE, previous);
}

TEST(BastorExecutor, InputToAChildThatNeverReadsItIsDropped) {
    // SIGPIPE keeps its default here: a leaked one would end this process.
    ASSERT_EQ(::signal(SIGPIPE, SIG_DFL), SIG_DFL);
    const std::string megabyte(1048576, 'i');
    for (const auto& argv : {std::vector<std::string>{"true"},
                             {"head", "-c", "10"},
                             {"sh", "-c", "exec 0<&-; sleep 0.2"}})
        EXPECT_EQ(BastorExecutor::run(makeRequest(argv, "/", megabyte)).result.exitCode, 0);
    sigset_t pending, mask;
    ::sigpending(&pending);
    ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(::sigismember(&pending, SIGPIPE) || ::sigismember(&mask, SIGPIPE));
}

}  // namespace
}  // namespace bastor
