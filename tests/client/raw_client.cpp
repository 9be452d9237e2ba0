// Speaks to a socket as any program could: sends LINE and prints the first
// line that comes back, or "closed" when the other end hangs up unanswered.
//
//   raw_client SOCKET LINE

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::printf("connect: %s\n", std::strerror(errno));
        return 1;
    }
    const timeval hangGuard{.tv_sec = 20, .tv_usec = 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &hangGuard, sizeof hangGuard);
    const std::string line = std::string(argv[2]) + "\n";
    (void)!::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    std::string reply;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        reply += c;
    std::printf("%s\n", reply.empty() ? "closed" : reply.c_str());
    return 0;
}
