#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorPeer.h"
#include "NoctaBastorHelper/transport/BastorPeerProtocol.h"
#include "NoctaBastorHelper/transport/ListeningSocket.h"
#include "NoctaBastorHelper/transport/PeerRequirement.h"
#include "NoctaBastorHelper/transport/TaskRunner.h"

namespace bastor {

class RpcConnection;

// Accepts clients on the daemon's socket and serves every admitted one with
// the same service, each connection on a thread of its own, every call handed
// over with the connection's peer. A peer that does not satisfy the
// requirement is closed at once, unanswered.
class BastorListener {
  public:
    // Takes or makes the listening socket (see ListeningSocket); throws
    // SystemError when it cannot. Nothing is accepted before start().
    BastorListener(std::filesystem::path socketPath, BastorPeerProtocol& service,
                   PeerRequirement requirement);
    ~BastorListener();

    BastorListener(const BastorListener&) = delete;
    BastorListener& operator=(const BastorListener&) = delete;

    void start();

    // Stops accepting and reading. Calls already handed to the service run
    // on and may still reply; waiting for them is the service's part.
    void stop();

    [[nodiscard]] const std::filesystem::path& socketPath() const { return socket_.path(); }

  private:
    void acceptLoop();
    void serveConnection(UniqueFd socket);

    ListeningSocket socket_;
    BastorPeerProtocol& service_;
    const PeerRequirement requirement_;
    UniqueFd wakeup_;  // an eventfd that stop() signals

    std::mutex mutex_;
    bool stopping_ = false;                                  // guarded by mutex_
    std::vector<std::weak_ptr<RpcConnection>> connections_;  // guarded by mutex_

    std::thread acceptThread_;
    TaskRunner connectionThreads_;
};

}  // namespace bastor
