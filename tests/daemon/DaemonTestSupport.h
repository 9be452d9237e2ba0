#pragma once
// What the daemon's tests share: temporary directories, files, records, and
// a daemon on a socket of its own with a client speaking raw lines.

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <simdjson.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorJSON.h"
#include "BastorShared/records/BastorXPCProtocol.h"
#include "NoctaBastorHelper/BastorHelperService.h"
#include "NoctaBastorHelper/engine/AuditReader.h"
#include "NoctaBastorHelper/engine/AuditStore.h"
#include "NoctaBastorHelper/engine/BastorEngine.h"
#include "NoctaBastorHelper/transport/BastorListener.h"
#include "tests/support/ApprovedRequest.h"
#include "tests/support/RunningDaemon.h"
#include "tests/support/TempDir.h"

namespace bastor::test {

namespace fs = std::filesystem;

// While it lives, no file of this process grows past `bytes`: a write that
// would is cut short and fails with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &original_);
        rlimit small = original_;
        small.rlim_cur = bytes;
        if (::setrlimit(RLIMIT_FSIZE, &small) != 0) throw std::runtime_error("setrlimit");
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &original_);
        std::signal(SIGXFSZ, handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit original_{};
    void (*handler_)(int);
};

// `text` as one word for the shell.
inline std::string shellQuoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void writeFile(const fs::path& file, std::string_view bytes, bool append = false) {
    std::ofstream(file, std::ios::binary | (append ? std::ios::app : std::ios::trunc)) << bytes;
}

inline unsigned modeOf(const fs::path& path) {
    return static_cast<unsigned>(fs::status(path).permissions());
}

inline std::vector<std::string> linesOf(const fs::path& file) {
    return AuditChain::decodeLines(readFile(file));
}

// The entries of an audit file; none when it does not exist.
inline std::vector<AuditEntry> entriesOf(const fs::path& file) {
    std::vector<AuditEntry> entries;
    for (const auto& line : linesOf(file))
        entries.push_back(BastorJSON::decode<AuditEntry>(line));
    return entries;
}

inline BastorVerification verdict(std::int64_t count, std::optional<std::int64_t> brokenSeq = {}) {
    return {.intact = !brokenSeq, .count = count, .brokenSeq = brokenSeq};
}

// An approved request, as alice approved it.
inline BastorRequest requestFor(std::vector<std::string> argv, std::string cwd = "/") {
    auto request = approvedRequest(std::move(argv), std::move(cwd));
    request.approver = "alice";
    request.authMethod = BastorAuthMethod::password;
    return request;
}

// Standard output of a shell command.
inline std::string outputOf(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    std::string text(1 << 16, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), pipe.get()));
    return text;
}

// One client connection speaking raw lines.
class LineClient {
  public:
    explicit LineClient(const fs::path& socketPath) {
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        socketPath.native().copy(address.sun_path, sizeof address.sun_path - 1);
        if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to " + socketPath.string());
        const timeval hangGuard{.tv_sec = 60, .tv_usec = 0};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &hangGuard, sizeof hangGuard);
    }
    bool send(std::string_view bytes) {  // false once the daemon has closed
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) continue;
            if (sent < 0) return false;
            bytes.remove_prefix(sent);
        }
        return true;
    }
    // The next line without its "\n"; nothing once the daemon has closed.
    std::optional<std::string> readLine() {
        std::size_t end;
        while ((end = buffer_.find('\n')) == std::string::npos) {
            char chunk[65536];
            const ssize_t count = ::read(fd_.get(), chunk, sizeof chunk);
            if (count < 0 && errno == EINTR) continue;
            if (count < 0 && errno == EAGAIN) throw std::runtime_error("no reply for a minute");
            if (count <= 0) return std::nullopt;
            buffer_.append(chunk, count);
        }
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
    }
    // Also nothing when no whole line comes within `wait`.
    std::optional<std::string> readLine(std::chrono::milliseconds wait) {
        pollfd ready{.fd = fd_.get(), .events = POLLIN, .revents = 0};
        while (buffer_.find('\n') == std::string::npos) {
            if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
            char chunk[65536];
            const ssize_t count = ::read(fd_.get(), chunk, sizeof chunk);
            if (count <= 0) return std::nullopt;
            buffer_.append(chunk, count);
        }
        return readLine();
    }
    std::string call(std::string_view line) { return send(line) ? readLine().value() : ""; }
    void finishSending() { ::shutdown(fd_.get(), SHUT_WR); }
    void close() { fd_.reset(); }

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

inline std::string executeLine(std::string_view id, const BastorRequest& request) {
    return requestLine(id, "execute",
                       R"({"requestJSON":)" + jsonString(BastorJSON::encode(request)) + "}");
}

// A reply taken apart: the id as JSON text, and the result's "json" if it has one.
struct Reply {
    std::string id;
    std::optional<std::string> json;
};

inline Reply parseReply(std::string_view line) {
    simdjson::dom::parser parser;
    const simdjson::dom::element reply = parser.parse(line.data(), line.size());
    std::string_view json;
    if (reply["result"]["json"].get(json)) return {simdjson::minify(reply["id"]), std::nullopt};
    return {simdjson::minify(reply["id"]), std::string(json)};
}

}  // namespace bastor::test
