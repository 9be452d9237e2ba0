#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorPeer.h"
#include "NoctaBastorHelper/transport/EventLoop.h"
#include "NoctaBastorHelper/transport/JsonRpc.h"
#include "NoctaBastorHelper/transport/LineBuffer.h"
#include "NoctaBastorHelper/transport/RpcService.h"

namespace bastor {

// One accepted client, driven by an EventLoop: reads request lines, hands
// calls to the service and writes each reply as one line whenever it comes,
// in whatever order. At most BastorWire::maxCallsInFlight calls are open at
// once (a call is open until its reply is written); past that reading pauses,
// so a busy client is slowed, not refused. Replies are written by the thread
// that produces them when the socket takes them (at the end of its
// ThreadBatch, if it has one open, several per write), else by the loop. A
// call that outlives its client still ends normally, its reply dropped.
//
// onReady(), onTick() and start() run on the loop's thread; the rest is
// thread-safe. The object must be owned by a shared_ptr.
class RpcConnection final : public RpcCaller, public std::enable_shared_from_this<RpcConnection> {
  public:
    // Every call read from `socket` is handed to `service` as sent by `peer`.
    RpcConnection(UniqueFd socket, RpcService& service, BastorPeer peer,
                  std::shared_ptr<EventLoop> loop);

    RpcConnection(const RpcConnection&) = delete;
    RpcConnection& operator=(const RpcConnection&) = delete;

    // Makes the socket non-blocking and starts watching it. Throws SystemError.
    void start();

    // Handles readiness. Returns false once the connection is done: the
    // loop then forgets it and no longer calls it.
    [[nodiscard]] bool onReady(std::uint32_t events);

    // A client that has taken none of its pending replies for sendTimeout
    // is cut off. Returns false once the connection is done.
    [[nodiscard]] bool onTick(std::chrono::steady_clock::time_point now);

    // The daemon stops serving: nothing more is read. Replies of calls
    // still running are written if the socket takes them at once.
    void abandon() noexcept;

    [[nodiscard]] bool present() const noexcept override { return !gone_.load(); }
    [[nodiscard]] const BastorPeer& peer() const noexcept override { return peer_; }
    [[nodiscard]] int fd() const { return socket_.get(); }

    static constexpr std::chrono::seconds sendTimeout{30};

  private:
    // Reads what the socket holds, up to a share per wake-up.
    void readSome();
    // Serves the complete lines in the buffer while there is room.
    void serveBuffered();
    void serveCall(RpcCall call);
    // Queues one line; `endsCall` when it is a call's reply.
    void send(std::string data, bool endsCall);
    void flush();               // with mutex_ held
    void flushNow();            // without
    void updateInterest();      // with mutex_ held
    [[nodiscard]] bool done();  // with mutex_ held
    void cut();                 // with mutex_ held

    UniqueFd socket_;
    RpcService& service_;
    const BastorPeer peer_;
    const std::shared_ptr<EventLoop> loop_;  // shared: calls may outlive the listener
    JsonRpcDecoder decoder_;                 // the loop's alone
    LineBuffer buffer_;                      // the loop's alone: bytes read, not yet served
    std::size_t scanned_ = 0;                // bytes of buffer_ known to hold no line feed
    std::atomic<bool> gone_{false};

    std::mutex mutex_;     // guards everything below
    bool reading_ = true;  // until the client stops sending or is cut
    std::size_t inFlight_ = 0;
    std::deque<std::pair<std::string, bool>> output_;  // lines, and whether each ends a call
    std::size_t outputOffset_ = 0;                     // bytes of output_.front() already sent
    std::optional<std::chrono::steady_clock::time_point> stalledSince_;
    std::uint32_t interest_ = 0;
    bool poked_ = false;  // the loop should look at this connection
};

}  // namespace bastor
