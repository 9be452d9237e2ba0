#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>

#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorPeer.h"
#include "NoctaBastorHelper/transport/BastorPeerProtocol.h"
#include "NoctaBastorHelper/transport/JsonRpc.h"

namespace bastor {

// One accepted client: reads request lines, hands calls to the service and
// writes each reply as one line whenever it comes, in whatever order. At most
// BastorWire::maxCallsInFlight calls run at once; past that reading pauses,
// so a busy client is slowed, not refused. Replies hold the connection alive,
// so a call that outlives its client still ends normally, its reply dropped.
class RpcConnection : public std::enable_shared_from_this<RpcConnection> {
  public:
    // Every call read from `socket` is handed to `service` as sent by `peer`.
    RpcConnection(UniqueFd socket, BastorPeerProtocol& service, BastorPeer peer);

    RpcConnection(const RpcConnection&) = delete;
    RpcConnection& operator=(const RpcConnection&) = delete;

    // Serves until the client stops sending, sends an over-long line (the
    // connection is then cut) or stopReading() is called. Runs on the
    // connection's own thread; the object must be owned by a shared_ptr.
    void serve();

    // Ends serve(); replies of calls still running are still written.
    void stopReading();

    // A client that takes no reply for this long is cut off, so that it
    // cannot hold the daemon's threads forever.
    static constexpr std::chrono::seconds sendTimeout{30};

  private:
    void handleLine(std::string_view line);
    bool waitForRoom();
    void callFinished();
    void send(std::string_view data);
    void cut();

    UniqueFd socket_;
    BastorPeerProtocol& service_;
    const BastorPeer peer_;
    JsonRpcDecoder decoder_;  // the reading thread's alone

    std::mutex sendMutex_;
    bool broken_ = false;  // guarded by sendMutex_

    std::mutex flightMutex_;
    std::condition_variable roomFreed_;
    std::size_t inFlight_ = 0;  // guarded by flightMutex_
    bool stopping_ = false;     // guarded by flightMutex_
};

}  // namespace bastor
