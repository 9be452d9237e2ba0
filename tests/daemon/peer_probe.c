/* A client that is not the test program: connects to the socket in argv[1],
 * sends argv[2] and a line feed, and copies whatever comes back to stdout
 * until the daemon closes. Exit status 2 when it cannot connect. */
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) return 2;
    if (send(fd, argv[2], strlen(argv[2]), MSG_NOSIGNAL) < 0 || send(fd, "\n", 1, MSG_NOSIGNAL) < 0)
        return 0; /* refused before it could even send */
    char buffer[4096];
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0) {
        if (write(STDOUT_FILENO, buffer, (size_t)count) != count) return 3;
        if (memchr(buffer, '\n', (size_t)count)) break; /* one reply is all it asked for */
    }
    return 0;
}
