#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include "BastorShared/execution/RunCgroups.h"
#include "BastorShared/platform/Memory.h"
#include "BastorShared/platform/ProcessIdentity.h"
#include "BastorShared/records/BastorXPCEndpoint.h"
#include "NoctaBastorHelper/AllowedClients.h"
#include "NoctaBastorHelper/BastorHelperService.h"
#include "NoctaBastorHelper/engine/JournalLogger.h"
#include "NoctaBastorHelper/transport/BastorListener.h"

namespace {

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const auto count = ::write(fd, text.data(), text.size());
        if (count < 0) return;
        text.remove_prefix(static_cast<std::size_t>(count));
    }
}

// Without its groups only root is served: nobody holds a group that is not there.
bastor::PeerRequirement installedClients() {
    bastor::PeerRequirement requirement;
    for (const auto client : bastor::allowedClients)
        requirement.allowedExecutables.emplace_back(client);
    requirement.socketGroup = bastor::groupNamed(bastor::ListeningSocket::groupName);
    requirement.usersGroup = bastor::groupNamed(bastor::usersGroup);
    return requirement;
}

// A full set of connections plus the runs' pipes needs more than the usual
// soft limit of 1,024 descriptors; the hard limit is the daemon's to take.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main() {
    if (::getuid() != 0) {
        writeAll(STDERR_FILENO, "NoctaBastorHelper must run as root.\n");
        return 1;
    }
    // A client that hangs up must not kill the daemon mid-reply.
    std::signal(SIGPIPE, SIG_IGN);
    // Every thread inherits the mask, so the stop signals reach only sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    raiseDescriptorLimit();
    bastor::Memory::keepLargeBlocksOutOfTheHeap();

    const bastor::JournalLogger journal;
    // Runs go into cgroups beside the daemon, under the cgroup it was started in.
    bastor::BastorHelperService service{
        std::filesystem::path(bastor::BastorXPCEndpoint::helperDirectory),
        bastor::KernelAuditLog::Connection::kernel, bastor::RunCgroups::discoverRoot()};
    try {
        bastor::BastorListener listener(
            std::filesystem::path(bastor::BastorXPCEndpoint::socketPath), service,
            installedClients(), [&journal](std::string_view message) { journal.notice(message); });
        listener.start();
        int received = 0;
        while (sigwait(&stopSignals, &received) != 0) {
        }
        listener.stop();
    } catch (const std::exception& error) {
        // Without its socket the daemon has nothing to serve.
        writeAll(STDERR_FILENO, std::string("NoctaBastorHelper: ") + error.what() + "\n");
        return 1;
    }
    if (!service.stop()) {
        // A run whose output outlives its killed command would hold the stop
        // past the service manager's patience; its end goes unrecorded.
        journal.notice("Stopped with a command still running; its outcome is not recorded.");
        std::_Exit(0);
    }
    return 0;
}
