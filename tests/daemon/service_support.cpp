#include "tests/daemon/service_support.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>
#include <simdjson.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "BastorShared/records/BastorJSON.h"

namespace bastor::test {

namespace {
// Only a guard against a hung test; nothing here is meant to take this long.
constexpr int kReadTimeoutMilliseconds = 60'000;
}  // namespace

std::filesystem::path selfExecutable() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

RunningDaemon::RunningDaemon(std::vector<std::filesystem::path> alsoAllowed) {
    service_ = std::make_unique<BastorHelperService>(directory());
    alsoAllowed.push_back(selfExecutable());
    listener_ = std::make_unique<BastorListener>(socketPath(), *service_,
                                                 PeerRequirement{std::move(alsoAllowed)});
    listener_->start();
}

RunningDaemon::~RunningDaemon() {
    shutDown();
}

void RunningDaemon::shutDown() {
    listener_.reset();
    service_.reset();
}

LineClient::LineClient(const std::filesystem::path& socketPath)
    : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (!fd_ || ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to " + socketPath.string() + ": " +
                                 std::strerror(errno));
}

bool LineClient::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto count = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

std::optional<std::string> LineClient::readLine() {
    for (;;) {
        if (const auto end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        pollfd readable{fd_.get(), POLLIN, 0};
        const int ready = ::poll(&readable, 1, kReadTimeoutMilliseconds);
        if (ready == 0) throw std::runtime_error("no reply from the daemon");
        if (ready < 0 && errno == EINTR) continue;
        char chunk[65536];
        const auto count = ::read(fd_.get(), chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return std::nullopt;
        buffer_.append(chunk, static_cast<std::size_t>(count));
    }
}

std::string LineClient::call(std::string_view line) {
    if (!send(line)) throw std::runtime_error("the daemon closed the connection");
    auto reply = readLine();
    if (!reply) throw std::runtime_error("the daemon closed the connection");
    return *reply;
}

void LineClient::finishSending() {
    ::shutdown(fd_.get(), SHUT_WR);
}

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(count));
    return text;
}

bool waitForFile(const std::filesystem::path& file) {
    for (int wait = 0; wait < 600 && !std::filesystem::exists(file); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return std::filesystem::exists(file);
}

std::string jsonString(std::string_view text) {
    std::string out;
    BastorJSON::appendString(out, text);
    return out;
}

std::string requestLine(std::string_view id, std::string_view method, std::string_view params) {
    std::string line =
        R"({"jsonrpc":"2.0","id":)" + std::string(id) + R"(,"method":)" + jsonString(method);
    if (!params.empty()) line += ",\"params\":" + std::string(params);
    return line + "}\n";
}

std::string executeLine(std::string_view id, const BastorRequest& request) {
    return requestLine(id, "execute",
                       "{\"requestJSON\":" + jsonString(BastorJSON::encode(request)) + "}");
}

Reply parseReply(std::string_view line) {
    simdjson::dom::parser parser;
    simdjson::dom::element document;
    if (parser.parse(line.data(), line.size()).get(document))
        throw std::runtime_error("reply is not JSON: " + std::string(line));
    Reply reply;
    reply.id = simdjson::minify(document["id"]);
    if (auto error = document["error"]; !error.error()) {
        reply.code = static_cast<int>(int64_t(error["code"]));
        reply.message = std::string(std::string_view(error["message"]));
    } else if (auto json = document["result"]["json"]; !json.error()) {
        reply.json = std::string(std::string_view(json));
    }
    return reply;
}

}  // namespace bastor::test
