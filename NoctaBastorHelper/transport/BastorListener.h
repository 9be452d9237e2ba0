#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorPeer.h"
#include "NoctaBastorHelper/transport/EventLoop.h"
#include "NoctaBastorHelper/transport/ListeningSocket.h"
#include "NoctaBastorHelper/transport/PeerRequirement.h"
#include "NoctaBastorHelper/transport/RpcService.h"
#include "NoctaBastorHelper/transport/TaskRunner.h"

namespace bastor {

class RpcConnection;

// Accepts clients on the daemon's socket and serves every admitted one with
// the same service, all connections from one thread (an EventLoop), every
// call handed over with the connection's peer. The peer is checked on a
// thread of its own (reading /proc and the user database may be slow), the
// connection held unread meanwhile; one that does not satisfy the
// requirement is closed, unanswered. So is every connection past
// maxConnections, those being checked included, at once and with a notice
// at most once per noticeInterval. start() and stop() may be called from any
// thread.
class BastorListener {
  public:
    // Receives the text of a notice for the daemon's log.
    using Notice = std::function<void(std::string_view message)>;

    // Takes or makes the listening socket (see ListeningSocket); throws
    // SystemError when it cannot. Nothing is accepted before start().
    BastorListener(std::filesystem::path socketPath, RpcService& service,
                   PeerRequirement requirement, Notice notice = {});
    ~BastorListener();

    BastorListener(const BastorListener&) = delete;
    BastorListener& operator=(const BastorListener&) = delete;

    // Throws std::system_error when the loop's thread cannot be started.
    void start();

    // Stops accepting and reading. Calls already handed to the service run
    // on and may still reply; waiting for them is the service's part.
    void stop();

    [[nodiscard]] const std::filesystem::path& socketPath() const { return socket_.path(); }

    static constexpr std::size_t maxConnections = 1024;
    static constexpr std::chrono::seconds noticeInterval{60};
    static constexpr std::size_t checkThreads = 2;

  private:
    void ready(int fd, std::uint32_t events);
    // False when nothing more can be accepted now.
    bool acceptOne();
    // On the loop, once the peer of `client` was checked.
    void admitted(UniqueFd client, std::optional<BastorPeer> peer);
    void refuseOverCap();
    void tick();
    void forget(int fd);

    ListeningSocket socket_;
    RpcService& service_;
    const PeerRequirement requirement_;
    const Notice notice_;
    const std::shared_ptr<EventLoop> loop_;

    // The loop thread's alone.
    std::unordered_map<int, std::shared_ptr<RpcConnection>> connections_;
    std::size_t checking_ = 0;  // connections whose peer is being checked
    std::size_t refusedSinceNotice_ = 0;
    std::chrono::steady_clock::time_point lastNotice_{};
    bool acceptPaused_ = false;

    std::mutex mutex_;
    bool stopped_ = false;  // guarded by mutex_
    std::thread thread_;    // guarded by mutex_

    // Last: its tasks use the members above.
    TaskRunner checks_{checkThreads};
};

}  // namespace bastor
