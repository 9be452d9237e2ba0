#pragma once
// The benchmarks' side of the socket: plain calls, as a C client makes them,
// one line out and one line back.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

namespace bastor::bench {

class LineClient {
  public:
    // `fail` reports a broken connection and ends the program.
    using Fail = void (*)(const std::string& what);

    LineClient(const std::filesystem::path& socketPath, Fail fail)
        : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)), fail_(fail) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail_("cannot connect (is this program root-owned and not group-writable?)");
    }
    ~LineClient() { ::close(fd_); }
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const auto count = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (count <= 0) fail_("send failed");
            bytes.remove_prefix(static_cast<std::size_t>(count));
        }
    }
    std::string readLine() {
        for (;;) {
            if (const auto end = buffer_.find('\n', scanned_); end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                scanned_ = 0;
                return line;
            }
            scanned_ = buffer_.size();
            char chunk[1 << 16];
            const auto count = ::read(fd_, chunk, sizeof chunk);
            if (count <= 0) fail_("connection closed");
            buffer_.append(chunk, static_cast<std::size_t>(count));
        }
    }
    std::string call(std::string_view line) {
        send(line);
        return readLine();
    }

  private:
    int fd_;
    Fail fail_;
    std::string buffer_;
    std::size_t scanned_ = 0;
};

}  // namespace bastor::bench
