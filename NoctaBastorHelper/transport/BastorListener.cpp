#include "NoctaBastorHelper/transport/BastorListener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "BastorShared/platform/SystemError.h"
#include "NoctaBastorHelper/transport/RpcConnection.h"

namespace bastor {

namespace {

// When accept() fails for want of descriptors or memory, the pending
// connection stays queued; pausing keeps the loop from spinning on it.
constexpr int kAcceptRetryMilliseconds = 100;

bool isResourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

BastorListener::BastorListener(std::filesystem::path socketPath, BastorPeerProtocol& service,
                               PeerRequirement requirement)
    : socket_(std::move(socketPath)),
      service_(service),
      requirement_(std::move(requirement)),
      wakeup_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!wakeup_) throwSystemError("cannot create eventfd for", socket_.path().native());
}

BastorListener::~BastorListener() {
    stop();
}

void BastorListener::start() {
    std::lock_guard lock(mutex_);
    if (stopping_ || acceptThread_.joinable()) return;
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

void BastorListener::stop() {
    std::thread acceptThread;
    std::vector<std::shared_ptr<RpcConnection>> live;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        acceptThread = std::move(acceptThread_);
        for (const auto& weak : connections_)
            if (auto connection = weak.lock()) live.push_back(std::move(connection));
        connections_.clear();
    }
    const std::uint64_t one = 1;
    (void)!::write(wakeup_.get(), &one, sizeof one);
    if (acceptThread.joinable()) acceptThread.join();
    for (const auto& connection : live)
        connection->stopReading();
    live.clear();
    connectionThreads_.drain();
}

void BastorListener::acceptLoop() {
    pollfd watched[2] = {{socket_.fd(), POLLIN, 0}, {wakeup_.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            // Only a shortage of memory makes it fail; ending the loop would
            // leave the daemon running but deaf.
            if (errno != EINTR)
                std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptRetryMilliseconds));
            continue;
        }
        if (watched[1].revents != 0) return;
        const int fd = ::accept4(socket_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (isResourceShortage(errno)) ::poll(&watched[1], 1, kAcceptRetryMilliseconds);
            continue;
        }
        auto socket = std::make_shared<UniqueFd>(fd);
        try {
            connectionThreads_.run([this, socket] { serveConnection(std::move(*socket)); });
        } catch (...) {
            // No thread for it: the client is closed, as if refused.
        }
    }
}

void BastorListener::serveConnection(UniqueFd socket) {
    auto peer = requirement_.admit(socket.get());
    if (!peer) return;
    auto connection =
        std::make_shared<RpcConnection>(std::move(socket), service_, std::move(*peer));
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        std::erase_if(connections_, [](const auto& weak) { return weak.expired(); });
        connections_.push_back(connection);
    }
    connection->serve();
}

}  // namespace bastor
