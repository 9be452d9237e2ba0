#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorXPCEndpoint.h"
#include "tests/daemon/service_support.h"

namespace bastor {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

struct DaemonRun {
    int status = -1;
    bool createdDirectory = false;
    std::string output;  // standard output and error
};

constexpr int kCreatedFlag = 64;

// Runs the installed-form daemon with the given real and effective uid, in a
// mount namespace where /Library, if this machine has one, is an empty tmpfs,
// so the helper directory is absent there before the run.
DaemonRun runDaemonAs(uid_t realUid, uid_t effectiveUid) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            (fs::exists("/Library") && ::mount("tmpfs", "/Library", "tmpfs", 0, nullptr) != 0))
            ::_exit(100);
        const pid_t daemon = ::fork();
        if (daemon == 0) {
            ::dup2(writeEnd.get(), STDERR_FILENO);
            ::dup2(writeEnd.get(), STDOUT_FILENO);
            if (::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
                ::setresuid(realUid, effectiveUid, effectiveUid) == 0)
                ::execl(BASTOR_DAEMON_BINARY, BASTOR_DAEMON_BINARY, nullptr);
            ::_exit(63);
        }
        int status = 0;
        ::waitpid(daemon, &status, 0);
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 63;
        ::_exit((code & (kCreatedFlag - 1)) |
                (fs::exists(BastorXPCEndpoint::helperDirectory) ? kCreatedFlag : 0));
    }
    writeEnd.reset();
    DaemonRun run;
    run.output = test::readAll(readEnd.get());
    int status = 0;
    ::waitpid(child, &status, 0);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 100) throw std::runtime_error("cannot set up a mount namespace");
    run.status = code & (kCreatedFlag - 1);
    run.createdDirectory = (code & kCreatedFlag) != 0;
    return run;
}

TEST(DaemonBinary, RefusesEveryRealUserButRootBeforeCreatingAnything) {
    // Real uid decides, even with an effective uid of 0.
    for (const uid_t effective : {kNobody, uid_t{0}}) {
        const DaemonRun run = runDaemonAs(kNobody, effective);
        EXPECT_EQ(run.status, 1) << "euid " << effective;
        EXPECT_EQ(run.output, "NoctaBastorHelper must run as root.\n");
        EXPECT_FALSE(run.createdDirectory) << "euid " << effective;
    }
}

}  // namespace
}  // namespace bastor
