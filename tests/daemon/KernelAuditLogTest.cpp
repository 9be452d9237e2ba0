#include <fcntl.h>
#include <libaudit.h>
#include <linux/netlink.h>
#include <sys/wait.h>

#include <chrono>
#include <cstddef>
#include <map>

#include "BastorShared/platform/Uuid.h"
#include "NoctaBastorHelper/engine/KernelAuditLog.h"
#include "tests/daemon/DaemonTestSupport.h"

namespace bastor::test {

TEST(KernelAuditLog, MessagesCannotInjectFieldsAndStayInsideOneRecord) {
    struct Case {
        const char* label;
        std::vector<std::string> argv;
        std::string cwd;
        std::optional<uid_t> requester;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"plain", {"true"}, "/", std::nullopt, R"(cwd="/" cmd="true")"},
        {"requester", {"id"}, "/tmp", 1000, R"(cwd="/tmp" cmd="id" id=1000)"},
        {"blank", {"df", "-h"}, "/", std::nullopt, R"(cwd="/" cmd=6466202D68)"},
        {"forged result",
         {"x\" res=success"},
         "/a b",
         std::nullopt,
         "cwd=2F612062 cmd=7822207265733D73756363657373"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(KernelAuditLog::message(c.argv, c.cwd, c.requester), c.expected) << c.label;
    const std::string huge =
        KernelAuditLog::message({std::string(1 << 20, '\n')}, std::string(8192, ' '), 0);
    EXPECT_LT(huge.size(), static_cast<std::size_t>(MAX_AUDIT_MESSAGE_LENGTH - 512));
}

// A netlink audit socket; `groups` subscribes it to multicast groups.
static UniqueFd auditSocket(std::uint32_t groups = 0) {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_AUDIT));
    sockaddr_nl address{.nl_family = AF_NETLINK, .nl_pad = 0, .nl_pid = 0, .nl_groups = groups};
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return {};
    const timeval patience{.tv_sec = 2, .tv_usec = 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    return fd;
}

struct StatusMessage {
    nlmsghdr header;
    audit_status status;
};

// AUDIT_GET, or AUDIT_SET of the enabled flag: the kernel's status, or
// nothing when it refused. Async-signal-safe, for the guardian below.
static std::optional<audit_status> auditStatus(int fd, std::optional<std::uint32_t> enable) {
    StatusMessage request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = enable ? AUDIT_SET : AUDIT_GET;
    // The kernel sends its acknowledgement before the status it was asked
    // for, so a GET waits for the status and a SET for the acknowledgement.
    request.header.nlmsg_flags = enable ? NLM_F_REQUEST | NLM_F_ACK : NLM_F_REQUEST;
    request.status.mask = AUDIT_STATUS_ENABLED;
    request.status.enabled = enable.value_or(0);
    sockaddr_nl kernel{.nl_family = AF_NETLINK, .nl_pad = 0, .nl_pid = 0, .nl_groups = 0};
    if (::sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return std::nullopt;
    for (;;) {
        alignas(nlmsghdr) char reply[8192];
        const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
        if (n < static_cast<ssize_t>(sizeof(nlmsghdr))) return std::nullopt;
        const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
        if (!enable && header->nlmsg_type == AUDIT_GET &&
            header->nlmsg_len >= sizeof(StatusMessage))
            return reinterpret_cast<const StatusMessage*>(reply)->status;
        if (header->nlmsg_type == NLMSG_ERROR) {
            if (static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error != 0 || !enable)
                return std::nullopt;
            audit_status set{};
            set.enabled = *enable;
            return set;
        }
    }
}

// Test programs of every checkout on this machine share the kernel's switch,
// so they take turns: whoever holds this abstract socket name (released with
// its last descriptor, nothing left on disk) may touch it.
static UniqueFd takeHostWideTurn() {
    constexpr std::string_view name("\0bastor-kernel-audit-test", 25);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    for (;;) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        name.copy(address.sun_path, name.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if (fd && ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) == 0) return fd;
        if (errno != EADDRINUSE || std::chrono::steady_clock::now() > giveUp) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// Kernel auditing switched on for as long as this lives, and back to what it
// was afterwards. A guardian process restores it when this process ends for
// any reason, a crash included: the state is the whole host's.
class KernelAuditingOn {
  public:
    // Nothing when the kernel's switch cannot be set here (not root, no
    // audit support, switch locked).
    static std::unique_ptr<KernelAuditingOn> start() {
        UniqueFd turn = takeHostWideTurn();  // the guardian holds it too, until it has restored
        if (!turn) return nullptr;
        const UniqueFd fd = auditSocket();
        if (!fd) return nullptr;
        const auto before = auditStatus(fd.get(), std::nullopt);
        if (!before || before->enabled > 1) return nullptr;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return nullptr;
        const pid_t guardian = ::fork();
        if (guardian == 0) {
            ::close(fds[1]);
            char ignored;
            while (::read(fds[0], &ignored, 1) != 0 && errno == EINTR) {
            }
            const UniqueFd own = auditSocket();
            _exit(own && auditStatus(own.get(), before->enabled) ? 0 : 1);
        }
        ::close(fds[0]);
        auto on = std::unique_ptr<KernelAuditingOn>(
            new KernelAuditingOn(guardian, fds[1], std::move(turn)));
        if (guardian < 0 || !auditStatus(fd.get(), 1u)) return nullptr;
        return on;
    }
    ~KernelAuditingOn() {
        releaseGuardian_.reset();
        int status = 0;
        if (guardian_ > 0) ::waitpid(guardian_, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "audit state not restored";
    }

  private:
    KernelAuditingOn(pid_t guardian, int releaseGuardian, UniqueFd turn)
        : guardian_(guardian), releaseGuardian_(releaseGuardian), turn_(std::move(turn)) {}
    pid_t guardian_;
    UniqueFd releaseGuardian_;
    UniqueFd turn_;
};

// The command line of a USER_CMD record's "cmd" field, quoted or hex-encoded.
static std::string commandOf(const std::string& record) {
    const std::size_t at = record.find(" cmd=");
    if (at == std::string::npos) return {};
    std::string value = record.substr(at + 5, record.find(' ', at + 5) - at - 5);
    if (value.starts_with('"')) return value.substr(1, value.size() - 2);
    std::string decoded;
    for (std::size_t i = 0; i + 1 < value.size(); i += 2)
        decoded += static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16));
    return decoded;
}

TEST(KernelAuditLog, EachExecuteLeavesOneUserCommandRecordWithItsResult) {
    const auto auditing = KernelAuditingOn::start();
    if (!auditing) GTEST_SKIP() << "the kernel's audit switch cannot be set here";
    const UniqueFd readLog = auditSocket(1u << (AUDIT_NLGRP_READLOG - 1));
    ASSERT_TRUE(readLog) << std::strerror(errno);

    const std::string marker = Uuid::random().text();
    RunningDaemon daemon;
    TempDir quiet;
    BastorEngine unaudited(quiet.path, KernelAuditLog::Connection::unavailable);
    unaudited.setEnabled(true);
    EXPECT_EQ(unaudited.execute(requestFor({"true", "unaudited", marker})).exitCode, 0);

    LineClient client(daemon.socketPath());
    ASSERT_NE(client.call(requestLine("1", "setEnabled", R"({"value":true})")), "");
    const std::map<std::string, std::string> expected = {{"true " + marker, "res=success"},
                                                         {"false " + marker, "res=failed"}};
    for (const auto& [command, result] : expected) {
        const auto space = command.find(' ');
        const Reply reply = parseReply(client.call(
            executeLine("2", requestFor({command.substr(0, space), command.substr(space + 1)}))));
        EXPECT_TRUE(reply.json) << command;
    }

    // Records of other processes pass by too; a second of silence after
    // both arrived would show a duplicate.
    std::map<std::string, std::vector<std::string>> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto quietUntil = deadline;
    while (std::chrono::steady_clock::now() < std::min(deadline, quietUntil)) {
        alignas(nlmsghdr) char message[16384];
        const ssize_t n = ::recv(readLog.get(), message, sizeof message, 0);
        if (n < static_cast<ssize_t>(sizeof(nlmsghdr))) continue;
        const auto* header = reinterpret_cast<const nlmsghdr*>(message);
        if (header->nlmsg_type != AUDIT_USER_CMD) continue;
        const std::string record(static_cast<const char*>(NLMSG_DATA(header)),
                                 static_cast<std::size_t>(n) - NLMSG_HDRLEN);
        const std::string command = commandOf(record);
        if (command.find(marker) != std::string::npos) seen[command].push_back(record);
        if (seen.size() >= expected.size())
            quietUntil = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    }
    ASSERT_EQ(seen.size(), expected.size()) << "the unaudited engine or a run is missing";
    for (const auto& [command, result] : expected) {
        ASSERT_EQ(seen[command].size(), 1u) << command;
        const std::string& record = seen[command].front();
        EXPECT_NE(record.find("msg='cwd=\"/\" "), std::string::npos) << record;
        EXPECT_NE(record.find(result), std::string::npos) << record;
        // The person who asked: here the test process, through the socket.
        EXPECT_NE(record.find(" id=" + std::to_string(::getuid()) + " "), std::string::npos)
            << record;
    }
}

}  // namespace bastor::test
