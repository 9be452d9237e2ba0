#include "BastorShared/client/BastorConnection.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/Utf8.h"
#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/BastorJSON.h"

namespace bastor {
namespace {

constexpr std::size_t readChunk = 64 * 1024;
constexpr std::string_view closedByHelper =
    "Bastor's helper closed the connection before replying.";

// A reset only says the helper closed while a call was still unread.
bool closedByPeer(int error) {
    return error == ECONNRESET || error == EPIPE;
}

UniqueFd connectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw SystemError("connect to Bastor's helper at", path, ENAMETOOLONG);
    }
    std::memcpy(address.sun_path, path.data(), path.size());

    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) throwSystemError("create a socket for", path);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) throw BastorError::helperNotReady();
        throwSystemError("connect to Bastor's helper at", path);
    }
    return fd;
}

// The reader thread takes none of the process's signals, so they interrupt
// the application's own threads, as the application expects.
std::thread startWithSignalsBlocked(std::function<void()> body) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread thread(std::move(body));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

BastorCallHandler adapt(BastorReply reply) {
    return [reply = std::move(reply)](BastorCallOutcome outcome) {
        if (!outcome.reply) return reply(std::nullopt, std::move(outcome.failure));
        if (outcome.reply->isError()) {
            return reply(std::nullopt, std::move(outcome.reply->errorMessage));
        }
        reply(std::move(outcome.reply->json), std::nullopt);
    };
}

std::string describeErrno(std::string_view what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

BastorConnection::BastorConnection(const std::string& socketPath) : socket_(connectTo(socketPath)) {
    reader_ = startWithSignalsBlocked([this] { readLoop(); });
}

BastorConnection::~BastorConnection() {
    {
        std::lock_guard lock(mutex_);
        if (!ended_)
            ended_ = "The connection to Bastor's helper was closed before the reply arrived.";
    }
    ::shutdown(socket_.get(), SHUT_RDWR);
    reader_.join();
}

void BastorConnection::call(std::string_view method, std::string_view paramsJSON,
                            BastorCallHandler handler) {
    if (!isValidUtf8(method)) throw BastorRpc::ProtocolError("method is not UTF-8 text");
    const std::string params = BastorRpc::compactParams(paramsJSON);

    std::int64_t id = 0;
    std::optional<std::string> ended;
    {
        std::lock_guard lock(mutex_);
        if (ended_) {
            ended = ended_;
        } else {
            id = nextID_++;
            pending_.emplace(id, std::move(handler));
        }
    }
    if (ended) {
        handler({std::nullopt, {}, std::move(*ended)});
        return;
    }

    std::string line = BastorRpc::requestLine(id, method, params);
    line += '\n';
    std::string failure;
    if (!sendLine(line, failure)) {
        fail(id, failure);
        // A partly written line leaves the stream unusable for every call.
        ::shutdown(socket_.get(), SHUT_RDWR);
    }
}

bool BastorConnection::sendLine(const std::string& line, std::string& failure) {
    std::lock_guard lock(sendMutex_);
    std::size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n =
            ::send(socket_.get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            failure = closedByPeer(errno)
                          ? std::string(closedByHelper)
                          : describeErrno("Could not send the call to Bastor's helper");
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void BastorConnection::readLoop() {
    std::string buffer;
    std::size_t scanned = 0;  // bytes of buffer known to hold no "\n"
    std::string failure;
    for (;;) {
        const std::size_t old = buffer.size();
        buffer.resize(old + readChunk);
        const ssize_t n = ::read(socket_.get(), buffer.data() + old, readChunk);
        buffer.resize(old + static_cast<std::size_t>(n > 0 ? n : 0));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (n < 0 && closedByPeer(errno))) {
            failure = closedByHelper;
            break;
        }
        if (n < 0) {
            failure = describeErrno("Lost the connection to Bastor's helper");
            break;
        }

        std::size_t start = 0;
        for (std::size_t end; (end = buffer.find('\n', scanned)) != std::string::npos;) {
            if (!deliver(std::string_view(buffer).substr(start, end - start), failure)) break;
            start = scanned = end + 1;
        }
        if (!failure.empty()) break;
        buffer.erase(0, start);
        scanned = buffer.size();
        if (buffer.size() > BastorWire::maxReplyBytes) {
            if (!skipReply(buffer, failure)) break;
            scanned = 0;
        }
    }
    ::shutdown(socket_.get(), SHUT_RDWR);
    failAll(failure);
}

bool BastorConnection::skipReply(std::string& buffer, std::string& failure) {
    const auto id = BastorRpc::leadingID(buffer);
    if (!id) {
        failure = "Bastor's helper sent a line longer than a reply can be.";
        return false;
    }
    for (;;) {
        const auto end = buffer.find('\n');
        if (end != std::string::npos) {
            buffer.erase(0, end + 1);
            break;
        }
        buffer.resize(readChunk);
        const ssize_t n = ::read(socket_.get(), buffer.data(), readChunk);
        buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failure = n == 0 || closedByPeer(errno)
                          ? std::string(closedByHelper)
                          : describeErrno("Lost the connection to Bastor's helper");
            return false;
        }
    }
    BastorCallHandler handler;
    {
        std::lock_guard lock(mutex_);
        auto found = pending_.find(*id);
        if (found != pending_.end()) {
            handler = std::move(found->second);
            pending_.erase(found);
        }
    }
    if (!handler) {
        failure =
            "Bastor's helper sent a reply to no pending call (id " + std::to_string(*id) + ").";
        return false;
    }
    BastorCallOutcome outcome;
    outcome.failure = "Bastor's helper sent a reply longer than " +
                      std::to_string(BastorWire::maxReplyBytes >> 20) + " MiB; it was not read.";
    outcome.tooLarge = true;
    handler(std::move(outcome));
    return true;
}

bool BastorConnection::deliver(std::string_view line, std::string& failure) {
    if (line.empty()) return true;
    BastorRpc::Reply reply;
    try {
        reply = BastorRpc::parseReply(line);
    } catch (const BastorRpc::ProtocolError& error) {
        failure = std::string("Bastor's helper sent a malformed reply: ") + error.what();
        return false;
    }
    // A reply without an id answers a call that could not be read; no one
    // can tell which, so no pending call may be left waiting for it.
    if (!reply.id) {
        failure = "Bastor's helper could not read a call: " + reply.errorMessage;
        return false;
    }
    BastorCallHandler handler;
    {
        std::lock_guard lock(mutex_);
        auto found = pending_.find(*reply.id);
        if (found != pending_.end()) {
            handler = std::move(found->second);
            pending_.erase(found);
        }
    }
    if (!handler) {
        failure = "Bastor's helper sent a reply to no pending call (id " +
                  std::to_string(*reply.id) + ").";
        return false;
    }
    handler({std::move(reply), std::string(line), {}});
    return true;
}

void BastorConnection::fail(std::int64_t id, const std::string& failure) {
    BastorCallHandler handler;
    {
        std::lock_guard lock(mutex_);
        auto found = pending_.find(id);
        if (found == pending_.end()) return;  // the reader answered it already
        handler = std::move(found->second);
        pending_.erase(found);
    }
    handler({std::nullopt, {}, failure});
}

void BastorConnection::failAll(const std::string& failure) {
    std::map<std::int64_t, BastorCallHandler> handlers;
    std::string reason;
    {
        std::lock_guard lock(mutex_);
        if (!ended_) ended_ = failure;
        reason = *ended_;
        handlers.swap(pending_);
    }
    for (auto& [id, handler] : handlers)
        handler({std::nullopt, {}, reason});
}

void BastorConnection::getState(BastorReply reply) {
    call(BastorMethod::getState, "{}", adapt(std::move(reply)));
}

void BastorConnection::setEnabled(bool value, BastorReply reply) {
    call(BastorMethod::setEnabled, BastorRpc::valueParams(value), adapt(std::move(reply)));
}

void BastorConnection::setAutoApproval(bool value, BastorReply reply) {
    call(BastorMethod::setAutoApproval, BastorRpc::valueParams(value), adapt(std::move(reply)));
}

void BastorConnection::setAuditEnabled(bool value, BastorReply reply) {
    call(BastorMethod::setAuditEnabled, BastorRpc::valueParams(value), adapt(std::move(reply)));
}

void BastorConnection::execute(std::string requestJSON, BastorReply reply) {
    call(BastorMethod::execute, BastorRpc::textParams("requestJSON", requestJSON),
         adapt(std::move(reply)));
}

void BastorConnection::recordEvent(std::string eventJSON, BastorReply reply) {
    call(BastorMethod::recordEvent, BastorRpc::textParams("eventJSON", eventJSON),
         adapt(std::move(reply)));
}

void BastorConnection::readAudit(std::int64_t offset, std::int64_t limit, BastorReply reply) {
    call(BastorMethod::readAudit, BastorRpc::pageParams(offset, limit), adapt(std::move(reply)));
}

void BastorConnection::verifyAudit(BastorReply reply) {
    call(BastorMethod::verifyAudit, "{}", adapt(std::move(reply)));
}

}  // namespace bastor
