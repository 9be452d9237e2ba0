#include "BastorShared/execution/ProcessTimeout.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include "BastorShared/platform/UniqueFd.h"

namespace bastor {
namespace {

// A real child leading its own group; killed and reaped at the end.
struct Child {
    explicit Child(const char* script) {
        const char* argv[] = {"/bin/sh", "-c", script, nullptr};
        posix_spawnattr_t attributes;
        ::posix_spawnattr_init(&attributes);
        ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        EXPECT_EQ(
            ::posix_spawn(&pid, argv[0], nullptr, &attributes, const_cast<char**>(argv), environ),
            0);
        ::posix_spawnattr_destroy(&attributes);
        pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    }
    ~Child() { ::kill(pid, SIGKILL), (void)status(); }

    bool running() const {
        pollfd watch{pidfd.get(), POLLIN, 0};
        return ::poll(&watch, 1, 0) == 0;
    }
    // Reaps: the signal that ended the child, or 1000 + its exit status.
    int status() const {
        siginfo_t info{};
        if (::waitid(P_PIDFD, static_cast<id_t>(pidfd.get()), &info, WEXITED) != 0) return -1;
        return info.si_code == CLD_EXITED ? 1000 + info.si_status : info.si_status;
    }

    pid_t pid = -1;
    UniqueFd pidfd;
};

TEST(ProcessTimeout, DeadlineTerminatesChildOrGroup) {
    for (const bool ownsGroup : {true, false}) {
        Child child("sleep 5");
        ProcessTimeout timeout(child.pidfd.get(), child.pid, ownsGroup);
        timeout.start(0.1);
        EXPECT_EQ(child.status(), SIGTERM);
    }
}

TEST(ProcessTimeout, CancelledOrDestroyedTimeoutSendsNothing) {
    Child child("sleep 5");
    {
        ProcessTimeout timeout(child.pidfd.get(), child.pid, true);
        timeout.start(0.2);
        timeout.cancel();
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
    {
        ProcessTimeout timeout(child.pidfd.get(), child.pid, true);
        timeout.start(3600);
    }  // hangs for an hour if destruction waits out the deadline
    EXPECT_TRUE(child.running());
}

TEST(ProcessTimeout, ExitedChildIsNeitherSignalledNorReaped) {
    Child child("exit 4");
    {
        ProcessTimeout timeout(child.pidfd.get(), child.pid, true);
        timeout.start(0.05);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_EQ(child.status(), 1004);
}

}  // namespace
}  // namespace bastor
