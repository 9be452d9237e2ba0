/* Preloaded into a program, sends the request line in BASTOR_FORGE_LINE to
 * the helper's socket from inside it, as an attacker's library would, and
 * leaves the file BASTOR_FORGE_MARKER holding the reply, so a test can tell
 * whether it ever ran. */

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

__attribute__((constructor)) static void forge(void) {
    const char* marker = getenv("BASTOR_FORGE_MARKER");
    const char* line = getenv("BASTOR_FORGE_LINE");
    if (marker == NULL || line == NULL) return;
    const int out = open(marker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    strncpy(address.sun_path, "/run/com.nocta.nocta.bastor.xpc", sizeof address.sun_path - 1);
    if (connect(fd, (struct sockaddr*)&address, sizeof address) == 0) {
        (void)!write(fd, line, strlen(line));
        (void)!write(fd, "\n", 1);
        char reply[4096];
        const ssize_t got = read(fd, reply, sizeof reply);
        if (got > 0 && out >= 0) (void)!write(out, reply, (size_t)got);
    }
    close(fd);
    if (out >= 0) close(out);
}
