#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "BastorShared/platform/SystemError.h"
#include "NoctaBastorHelper/ListeningSocket.h"
#include "NoctaBastorHelper/PeerProcess.h"
#include "tests/daemon/service_support.h"

extern char** environ;

namespace bastor {
namespace {

namespace fs = std::filesystem;
using namespace test;

// What the probe program received, run as `program` against `socket`.
std::string probeReply(const fs::path& program, const fs::path& socket, const std::string& line) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    std::string args[] = {program.string(), socket.string(), line};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), nullptr};
    pid_t pid = 0;
    const int failed = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) throw std::runtime_error("cannot start " + args[0]);
    writeEnd.reset();
    std::string reply = readAll(readEnd.get());
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("probe failed");
    return reply;
}

TEST(PeerRule, OnlyAListedRootOwnedUnwritableProgramIsServed) {
    struct Case {
        const char* what;
        mode_t mode;
        uid_t owner;
        bool listed;
        bool throughLink;
        bool served;
    };
    const Case cases[] = {
        {"listed, root, 0755", 0755, 0, true, false, true},
        {"listed through a symbolic link", 0755, 0, true, true, true},
        {"not listed", 0755, 0, false, false, false},
        {"group may write it", 0775, 0, true, false, false},
        {"others may write it", 0757, 0, true, false, false},
        {"owned by another user", 0755, 65534, true, false, false},
    };
    const std::string getState = R"({"jsonrpc":"2.0","id":1,"method":"getState"})";
    for (const auto& c : cases) {
        TempDir programs;
        const fs::path probe = programs.path() / "probe";
        fs::copy_file(BASTOR_PEER_PROBE, probe);
        ASSERT_EQ(::chown(probe.c_str(), c.owner, 0), 0);
        ASSERT_EQ(::chmod(probe.c_str(), c.mode), 0);
        const fs::path link = programs.path() / "probe-link";
        fs::create_symlink(probe, link);

        std::vector<fs::path> allowed;
        if (c.listed) allowed.push_back(c.throughLink ? link : probe);
        RunningDaemon daemon(allowed);
        const std::string reply = probeReply(probe, daemon.socketPath(), getState);
        EXPECT_EQ(reply.empty(), !c.served) << c.what << ": " << reply;
    }
}

TEST(PeerRule, PeerIsKnownOnlyWhileItsProcessLives) {
    TempDir temp;
    const fs::path path = temp.path() / "s.sock";
    ListeningSocket listening(path);
    struct stat self {};
    ASSERT_EQ(::stat("/proc/self/exe", &self), 0);

    for (const auto source : {PidfdSource::peerSocket, PidfdSource::pidfdOpen}) {
        LineClient client(path);
        UniqueFd served(::accept4(listening.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        const auto peer = peerExecutable(served.get(), source);
        ASSERT_TRUE(peer);
        EXPECT_EQ(peer->path, selfExecutable().string());
        EXPECT_EQ(peer->inode, self.st_ino);

        const pid_t child = ::fork();
        if (child == 0) {
            LineClient leaving(path);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        UniqueFd orphan(::accept4(listening.fd(), nullptr, nullptr, SOCK_CLOEXEC));
        EXPECT_FALSE(peerExecutable(orphan.get(), source));
    }
}

TEST(ListeningSocketFile, IsRootsAloneOrItsGroupsAndGoesWithTheListener) {
    TempDir temp;
    const fs::path path = temp.path() / "s.sock";
    {
        ListeningSocket listening(path);
        struct stat file {};
        ASSERT_EQ(::lstat(path.c_str(), &file), 0);
        EXPECT_TRUE(S_ISSOCK(file.st_mode));
        EXPECT_EQ(file.st_uid, 0u);
        if (const group* entry = ::getgrnam(ListeningSocket::groupName)) {
            EXPECT_EQ(file.st_mode & 07777, 0660u);
            EXPECT_EQ(file.st_gid, entry->gr_gid);
        } else {
            EXPECT_EQ(file.st_mode & 07777, 0600u);
        }
        // A live daemon's socket is not taken over.
        EXPECT_THROW(ListeningSocket second(path), SystemError);
        LineClient stillServed(path);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
}

TEST(ListeningSocketFile, StaleSocketIsReplaced) {
    TempDir temp;
    const fs::path path = temp.path() / "s.sock";
    {
        UniqueFd dead(::socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(dead.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ListeningSocket listening(path);
    LineClient client(path);
    EXPECT_GE(UniqueFd(::accept4(listening.fd(), nullptr, nullptr, 0)).get(), 0);
}

}  // namespace
}  // namespace bastor
