// daemon_host DIRECTORY SOCKET CLIENT: the daemon's service and listener as a
// process of their own, on a directory and socket of the test's choosing,
// serving CLIENT. Ends on SIGTERM, or dies as a daemon does on SIGKILL.
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "NoctaBastorHelper/BastorHelperService.h"
#include "NoctaBastorHelper/transport/BastorListener.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: daemon_host DIRECTORY SOCKET CLIENT\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    try {
        bastor::BastorHelperService service{std::filesystem::path(argv[1])};
        bastor::BastorListener listener(
            argv[2], service, bastor::PeerRequirement{{argv[3]}, std::nullopt, std::nullopt});
        listener.start();
        int received = 0;
        sigwait(&stop, &received);
        listener.stop();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "daemon_host: %s\n", error.what());
        return 1;
    }
    return 0;
}
