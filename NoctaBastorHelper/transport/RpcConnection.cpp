#include "NoctaBastorHelper/transport/RpcConnection.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <variant>

namespace bastor {

namespace {

constexpr std::size_t kKeptBufferCapacity = 1u << 20;

bool isBlank(std::string_view line) {
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

RpcConnection::RpcConnection(UniqueFd socket, BastorPeerProtocol& service, BastorPeer peer)
    : socket_(std::move(socket)), service_(service), peer_(std::move(peer)) {
    timeval timeout{};
    timeout.tv_sec = sendTimeout.count();
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

void RpcConnection::serve() {
    std::string buffer;
    std::size_t scanned = 0;  // bytes of buffer known to hold no line feed
    std::string chunk(64 * 1024, '\0');
    for (;;) {
        std::size_t start = 0;
        for (;;) {
            const auto end = buffer.find('\n', scanned);
            if (end == std::string::npos) break;
            // A line may end in the same read that took it past the limit.
            if (end - start > BastorWire::maxLineBytes) {
                cut();
                return;
            }
            if (!waitForRoom()) return;
            handleLine(std::string_view(buffer).substr(start, end - start));
            start = scanned = end + 1;
        }
        buffer.erase(0, start);
        scanned = buffer.size();
        // After a huge line, don't keep its room for the connection's life.
        if (buffer.capacity() > kKeptBufferCapacity && buffer.size() <= chunk.size())
            buffer.shrink_to_fit();
        if (buffer.size() > BastorWire::maxLineBytes) {
            cut();
            return;
        }
        const auto count = ::read(socket_.get(), chunk.data(), chunk.size());
        if (count == 0) return;
        if (count < 0) {
            if (errno == EINTR) continue;
            return;
        }
        buffer.append(chunk.data(), static_cast<std::size_t>(count));
    }
}

void RpcConnection::stopReading() {
    {
        std::lock_guard lock(flightMutex_);
        stopping_ = true;
    }
    roomFreed_.notify_all();
    ::shutdown(socket_.get(), SHUT_RD);
}

void RpcConnection::handleLine(std::string_view line) {
    if (isBlank(line)) return;
    auto decoded = decoder_.decode(line);
    if (auto* fault = std::get_if<RpcFault>(&decoded)) {
        send(formatError(fault->id, fault->code, fault->message));
        return;
    }
    auto& call = std::get<RpcCall>(decoded);
    std::string id = call.id;
    {
        std::lock_guard lock(flightMutex_);
        ++inFlight_;
    }
    auto reply = [self = shared_from_this(), id = std::move(id)](std::optional<std::string> json,
                                                                 std::optional<std::string> error) {
        struct Finish {
            RpcConnection& connection;
            ~Finish() { connection.callFinished(); }
        } finish{*self};
        if (error)
            self->send(formatError(id, BastorWire::operationFailed, *error));
        else
            self->send(
                formatResult(id, json ? std::optional<std::string_view>(*json) : std::nullopt));
    };
    dispatch(service_, peer_, std::move(call), std::move(reply));
}

bool RpcConnection::waitForRoom() {
    std::unique_lock lock(flightMutex_);
    roomFreed_.wait(lock, [this] { return inFlight_ < BastorWire::maxCallsInFlight || stopping_; });
    return !stopping_;
}

void RpcConnection::callFinished() {
    {
        std::lock_guard lock(flightMutex_);
        --inFlight_;
    }
    roomFreed_.notify_all();
}

void RpcConnection::send(std::string_view data) {
    std::lock_guard lock(sendMutex_);
    while (!broken_ && !data.empty()) {
        const auto count = ::send(socket_.get(), data.data(), data.size(), MSG_NOSIGNAL);
        if (count >= 0) {
            data.remove_prefix(static_cast<std::size_t>(count));
        } else if (errno != EINTR) {
            // Gone or not reading: everything later on this connection is dropped.
            broken_ = true;
            ::shutdown(socket_.get(), SHUT_RDWR);
        }
    }
}

void RpcConnection::cut() {
    std::lock_guard lock(sendMutex_);
    broken_ = true;
    ::shutdown(socket_.get(), SHUT_RDWR);
}

}  // namespace bastor
