#include "NoctaBastorHelper/transport/BastorListener.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <vector>

#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"
#include "NoctaBastorHelper/transport/RpcConnection.h"

namespace bastor {

namespace {

// Connections taken per wake-up, so that a flood of them cannot keep the
// loop from the clients already served.
constexpr int kAcceptsPerWakeup = 64;

bool isResourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

BastorListener::BastorListener(std::filesystem::path socketPath, RpcService& service,
                               PeerRequirement requirement, Notice notice)
    : socket_(std::move(socketPath)),
      service_(service),
      requirement_(std::move(requirement)),
      notice_(std::move(notice)),
      loop_(std::make_shared<EventLoop>()) {
    const int flags = ::fcntl(socket_.fd(), F_GETFL);
    if (flags < 0 || ::fcntl(socket_.fd(), F_SETFL, flags | O_NONBLOCK) != 0)
        throwSystemError("cannot make non-blocking", socket_.path().native());
    loop_->add(socket_.fd(), EPOLLIN);
}

BastorListener::~BastorListener() {
    stop();
}

void BastorListener::start() {
    std::lock_guard lock(mutex_);
    if (stopped_ || thread_.joinable()) return;
    thread_ = std::thread([this] {
        loop_->run([this](int fd, std::uint32_t events) { ready(fd, events); }, [this] { tick(); });
    });
}

void BastorListener::stop() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        thread = std::move(thread_);
    }
    loop_->stop();
    if (thread.joinable()) thread.join();
    // Checks still running find the loop stopped: their connections close.
    checks_.drain();
    // The loop is over: its members are this thread's now.
    for (auto& [fd, connection] : connections_) {
        loop_->remove(fd);
        connection->abandon();
    }
    connections_.clear();
}

void BastorListener::ready(int fd, std::uint32_t events) {
    if (fd == socket_.fd()) {
        for (int taken = 0; taken < kAcceptsPerWakeup; ++taken)
            if (!acceptOne()) break;
        return;
    }
    const auto found = connections_.find(fd);
    if (found == connections_.end()) return;  // forgotten earlier in this round
    if (!found->second->onReady(events)) forget(fd);
}

bool BastorListener::acceptOne() {
    UniqueFd client(::accept4(socket_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) {
        // Out of descriptors or memory the pending connection stays queued:
        // stop watching the socket until the next tick rather than spin.
        if (isResourceShortage(errno)) {
            loop_->modify(socket_.fd(), 0);
            acceptPaused_ = true;
        }
        return false;
    }
    if (connections_.size() + checking_ >= maxConnections) {
        refuseOverCap();
        return true;
    }
    // Shared, as a task must be copyable; the last holder closes it.
    auto socket = std::make_shared<UniqueFd>(std::move(client));
    try {
        checks_.run([this, socket] {
            auto peer = requirement_.admit(socket->get());
            loop_->post(
                [this, socket, peer = std::move(peer)] { admitted(std::move(*socket), peer); });
        });
        ++checking_;
    } catch (...) {
        // No thread to check it on: closed, as if refused.
    }
    return true;
}

void BastorListener::admitted(UniqueFd client, std::optional<BastorPeer> peer) {
    --checking_;
    if (!peer) return;
    const int fd = client.get();
    try {
        auto connection =
            std::make_shared<RpcConnection>(std::move(client), service_, std::move(*peer), loop_);
        connection->start();
        connections_.emplace(fd, std::move(connection));
    } catch (...) {
        // No memory or descriptor for it: the client is closed, as if refused.
    }
}

void BastorListener::refuseOverCap() {
    ++refusedSinceNotice_;
    const auto now = std::chrono::steady_clock::now();
    if (lastNotice_ != std::chrono::steady_clock::time_point{} &&
        now - lastNotice_ < noticeInterval)
        return;
    lastNotice_ = now;
    if (notice_)
        notice_("Closed " + std::to_string(refusedSinceNotice_) +
                " connection(s) at once: the helper already serves " +
                std::to_string(maxConnections) + " connections.");
    refusedSinceNotice_ = 0;
}

void BastorListener::tick() {
    if (acceptPaused_) {
        acceptPaused_ = false;
        loop_->modify(socket_.fd(), EPOLLIN);
    }
    const auto now = std::chrono::steady_clock::now();
    std::vector<int> finished;
    for (const auto& [fd, connection] : connections_)
        if (!connection->onTick(now)) finished.push_back(fd);
    for (const int fd : finished)
        forget(fd);
}

void BastorListener::forget(int fd) {
    loop_->remove(fd);
    connections_.erase(fd);
}

}  // namespace bastor
