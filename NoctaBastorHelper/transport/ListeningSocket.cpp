#include "NoctaBastorHelper/transport/ListeningSocket.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "BastorShared/platform/SystemError.h"

namespace bastor {

namespace {

std::optional<gid_t> groupNamed(const char* name) {
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return found->gr_gid;
}

sockaddr_un addressOf(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof address.sun_path)
        throw SystemError("socket path too long", path.native(), ENAMETOOLONG);
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    return address;
}

// The one listening Unix stream socket systemd passed, or -1.
int activatedSocket() {
    const int count = ::sd_listen_fds(1);
    if (count == 1 && ::sd_is_socket_unix(SD_LISTEN_FDS_START, SOCK_STREAM, 1, nullptr, 0) > 0)
        return SD_LISTEN_FDS_START;
    for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd)
        ::close(fd);
    return -1;
}

// A socket file at `path` that nobody answers on is left over from an
// earlier run; one that answers belongs to a live daemon and is kept.
void removeStale(const std::filesystem::path& path, const sockaddr_un& address) {
    struct stat file {};
    if (::lstat(path.c_str(), &file) != 0 || !S_ISSOCK(file.st_mode)) return;
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe) throwSystemError("cannot create socket for", path.native());
    // EAGAIN: someone listens but its queue is full; still alive.
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
        errno == EAGAIN)
        throw SystemError("another daemon is listening on", path.native(), EADDRINUSE);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throwSystemError("cannot remove stale socket", path.native());
}

}  // namespace

ListeningSocket::ListeningSocket(std::filesystem::path path) : path_(std::move(path)) {
    if (const int fd = activatedSocket(); fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);  // systemd hands it over inheritable
        fd_.reset(fd);
        return;
    }
    try {
        create();
    } catch (...) {
        if (created_) ::unlink(path_.c_str());
        throw;
    }
}

ListeningSocket::~ListeningSocket() {
    if (!created_) return;
    struct stat file {};
    if (::lstat(path_.c_str(), &file) == 0 && file.st_dev == device_ && file.st_ino == inode_)
        ::unlink(path_.c_str());
}

void ListeningSocket::create() {
    const auto address = addressOf(path_);
    const auto group = groupNamed(groupName);
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_) throwSystemError("cannot create socket for", path_.native());
    // bind() gives the file the socket's own mode less the umask; narrowing it
    // first means no moment where the file is open to more than the owner.
    if (::fchmod(fd_.get(), 0600) != 0)
        throwSystemError("cannot set mode of socket", path_.native());

    removeStale(path_, address);
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throwSystemError("cannot bind socket", path_.native());
    created_ = true;
    struct stat file {};
    if (::lstat(path_.c_str(), &file) != 0)
        throwSystemError("cannot inspect socket", path_.native());
    device_ = file.st_dev;
    inode_ = file.st_ino;

    if (group) {
        if (::fchownat(AT_FDCWD, path_.c_str(), static_cast<uid_t>(-1), *group,
                       AT_SYMLINK_NOFOLLOW) != 0)
            throwSystemError("cannot set group of socket", path_.native());
        if (::chmod(path_.c_str(), 0660) != 0)
            throwSystemError("cannot set mode of socket", path_.native());
    } else if (::chmod(path_.c_str(), 0600) != 0) {
        // The umask may have narrowed it further; the owner must keep access.
        throwSystemError("cannot set mode of socket", path_.native());
    }
    if (::listen(fd_.get(), SOMAXCONN) != 0) throwSystemError("cannot listen on", path_.native());
}

}  // namespace bastor
