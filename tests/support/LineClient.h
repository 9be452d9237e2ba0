#pragma once
// One connection to a daemon's socket, speaking raw JSON-RPC lines.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorJSON.h"

namespace bastor::test {

class LineClient {
  public:
    // Throws std::runtime_error when nobody listens at `socketPath`.
    explicit LineClient(const std::filesystem::path& socketPath) {
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        socketPath.native().copy(address.sun_path, sizeof address.sun_path - 1);
        if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to " + socketPath.string());
    }
    bool send(std::string_view bytes) {  // false once the daemon has closed
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }
    // The next line without its "\n"; nothing once the daemon has closed, or
    // when no whole line comes within `wait`. Without a `wait`, a minute
    // without a line throws instead: a hang must not pass for a close.
    std::optional<std::string> readLine(std::optional<std::chrono::milliseconds> wait = {}) {
        std::size_t end;
        while ((end = buffer_.find('\n')) == std::string::npos) {
            pollfd ready{.fd = fd_.get(), .events = POLLIN, .revents = 0};
            const int polled = ::poll(&ready, 1, static_cast<int>(wait ? wait->count() : 60000));
            if (polled < 0 && errno == EINTR) continue;
            if (polled == 0 && !wait) throw std::runtime_error("no reply for a minute");
            char chunk[65536];
            const ssize_t count = polled > 0 ? ::read(fd_.get(), chunk, sizeof chunk) : -1;
            if (count <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(count));
        }
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
    }
    std::string call(std::string_view line) { return send(line) ? readLine().value() : ""; }
    void finishSending() { ::shutdown(fd_.get(), SHUT_WR); }
    void close() { fd_.reset(); }
    [[nodiscard]] int fd() const { return fd_.get(); }

  private:
    UniqueFd fd_{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    std::string buffer_;
};

inline std::string jsonString(std::string_view text) {
    std::string out;
    BastorJSON::appendString(out, text);
    return out;
}

// A request line; `params` is a JSON object text, or empty for none.
inline std::string requestLine(std::string_view id, std::string_view method,
                               std::string_view params = {}) {
    return R"({"jsonrpc":"2.0","id":)" + std::string(id) + R"(,"method":")" + std::string(method) +
           (params.empty() ? "\"" : "\",\"params\":" + std::string(params)) + "}\n";
}

}  // namespace bastor::test
