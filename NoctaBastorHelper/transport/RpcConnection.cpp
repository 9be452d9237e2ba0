#include "NoctaBastorHelper/transport/RpcConnection.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <variant>

#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/ThreadBatch.h"

namespace bastor {

namespace {

using BastorWire::maxCallsInFlight;
using BastorWire::maxLineBytes;

// What one wake-up reads at most, so that one fast client cannot keep the
// loop from the others.
constexpr std::size_t kReadShare = 1u << 20;
constexpr std::size_t kReadChunk = 64 * 1024;
// Queued lines one send takes at most.
constexpr std::size_t kLinesPerSend = 64;

bool isBlank(std::string_view line) {
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

RpcConnection::RpcConnection(UniqueFd socket, RpcService& service, BastorPeer peer,
                             std::shared_ptr<EventLoop> loop)
    : socket_(std::move(socket)),
      service_(service),
      peer_(std::move(peer)),
      loop_(std::move(loop)) {
    // A line of the limit and the read that ends it fit without another doubling.
    buffer_.setGrowthLimit(maxLineBytes + 1 + kReadShare);
}

void RpcConnection::start() {
    const int flags = ::fcntl(socket_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(socket_.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        throwSystemError("cannot make client socket non-blocking", std::to_string(socket_.get()));
    std::lock_guard lock(mutex_);
    interest_ = EPOLLIN | EPOLLRDHUP;
    loop_->add(socket_.get(), interest_);
}

bool RpcConnection::onReady(std::uint32_t events) {
    bool reading;
    {
        std::lock_guard lock(mutex_);
        poked_ = false;
        if (events & EPOLLOUT) flush();
        reading = reading_ && !gone_ && inFlight_ < maxCallsInFlight;
    }
    if (reading && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP))) readSome();
    serveBuffered();
    std::lock_guard lock(mutex_);
    if (events & (EPOLLHUP | EPOLLERR)) cut();  // the client has closed both ways
    updateInterest();
    return !done();
}

bool RpcConnection::onTick(std::chrono::steady_clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (stalledSince_ && now - *stalledSince_ > sendTimeout) cut();
    return !done();
}

void RpcConnection::abandon() noexcept {
    std::lock_guard lock(mutex_);
    reading_ = false;
    ::shutdown(socket_.get(), SHUT_RD);
}

void RpcConnection::readSome() {
    std::size_t taken = 0;
    while (taken < kReadShare) {
        char* tail = buffer_.reserveTail(kReadChunk);
        const std::size_t room = buffer_.capacity() - buffer_.size() - LineBuffer::padding;
        const std::size_t wanted = std::min(room, kReadShare - taken);
        const auto count = ::read(socket_.get(), tail, wanted);
        if (count > 0) {
            buffer_.commit(static_cast<std::size_t>(count));
            taken += static_cast<std::size_t>(count);
            // Less than asked for: the socket is drained, and the loop
            // (level-triggered) calls again when more comes.
            if (static_cast<std::size_t>(count) < wanted) return;
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        std::lock_guard lock(mutex_);
        if (count == 0)
            reading_ = false;  // the client sent all it will; replies still go out
        else
            cut();
        return;
    }
}

void RpcConnection::serveBuffered() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (gone_ || inFlight_ >= maxCallsInFlight) return;
        }
        const std::string_view bytes = buffer_.view();
        const auto end = bytes.find('\n', scanned_);
        // A line may end in the same read that took it past the limit.
        if ((end == std::string_view::npos ? bytes.size() : end) > maxLineBytes) {
            std::lock_guard lock(mutex_);
            cut();
            return;
        }
        if (end == std::string_view::npos) {
            scanned_ = bytes.size();
            return;
        }
        scanned_ = 0;
        std::optional<std::variant<RpcCall, RpcFault>> decoded;
        if (!isBlank(bytes.substr(0, end)))
            decoded = decoder_.decode(bytes.substr(0, end), /*padded=*/true);
        // The line's bytes are given back before its call starts, so a large
        // call does not hold its text twice while it runs.
        buffer_.consume(end + 1);
        if (!decoded) continue;
        if (auto* fault = std::get_if<RpcFault>(&*decoded)) {
            send(formatError(fault->id, fault->code, fault->message), false);
            continue;
        }
        serveCall(std::move(std::get<RpcCall>(*decoded)));
    }
}

void RpcConnection::serveCall(RpcCall call) {
    {
        std::lock_guard lock(mutex_);
        ++inFlight_;
    }
    auto reply = [self = shared_from_this(), id = call.id](std::optional<std::string> json,
                                                           std::optional<std::string> error) {
        if (error)
            self->send(formatError(id, BastorWire::operationFailed, *error), true);
        else
            self->send(
                formatResult(id, json ? std::optional<std::string_view>(*json) : std::nullopt),
                true);
    };
    service_.serve(std::move(call), shared_from_this(), std::move(reply));
}

void RpcConnection::send(std::string data, bool endsCall) {
    std::lock_guard lock(mutex_);
    output_.push_back({std::move(data), endsCall});
    // A thread answering many calls at once writes them together at the end.
    if (ThreadBatch::defer(this, [self = shared_from_this()] { self->flushNow(); })) return;
    flush();
    updateInterest();
}

void RpcConnection::flushNow() {
    std::lock_guard lock(mutex_);
    flush();
    updateInterest();
}

void RpcConnection::flush() {
    while (!output_.empty()) {
        std::size_t sent = 0;
        if (!gone_) {
            iovec lines[kLinesPerSend];
            std::size_t count = 0;
            for (auto line = output_.begin(); line != output_.end() && count < kLinesPerSend;
                 ++line, ++count) {
                const std::size_t skip = count == 0 ? outputOffset_ : 0;
                lines[count] = {line->first.data() + skip, line->first.size() - skip};
            }
            msghdr message{};
            message.msg_iov = lines;
            message.msg_iovlen = count;
            const auto result = ::sendmsg(socket_.get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (result < 0 && errno == EINTR) continue;
            if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!stalledSince_) stalledSince_ = std::chrono::steady_clock::now();
                return;
            }
            if (result < 0) {
                cut();  // gone: this and every later reply is dropped
                continue;
            }
            stalledSince_.reset();
            sent = static_cast<std::size_t>(result);
        }
        // Lines wholly sent leave the queue; once gone_, every line does.
        while (!output_.empty() &&
               (gone_ || sent >= output_.front().first.size() - outputOffset_)) {
            if (!gone_) sent -= output_.front().first.size() - outputOffset_;
            if (output_.front().second) {
                // Reading paused at the limit picks up again on the loop.
                if (inFlight_-- == maxCallsInFlight) poked_ = true;
            }
            output_.pop_front();
            outputOffset_ = 0;
        }
        outputOffset_ += sent;
    }
    stalledSince_.reset();
    if (done()) poked_ = true;  // the loop lets go of it
}

void RpcConnection::updateInterest() {
    std::uint32_t wanted = 0;
    if (reading_ && !gone_ && inFlight_ < maxCallsInFlight) wanted |= EPOLLIN | EPOLLRDHUP;
    // A socket with room reports EPOLLOUT at once: that is how another
    // thread hands the connection back to the loop.
    if ((!output_.empty() && !gone_) || poked_) wanted |= EPOLLOUT;
    if (wanted == interest_) return;
    interest_ = wanted;
    loop_->modify(socket_.get(), wanted);
}

bool RpcConnection::done() {
    return gone_ || (!reading_ && inFlight_ == 0 && output_.empty());
}

void RpcConnection::cut() {
    reading_ = false;
    if (gone_.exchange(true)) return;
    ::shutdown(socket_.get(), SHUT_RDWR);
    flush();  // drops what is queued
}

}  // namespace bastor
