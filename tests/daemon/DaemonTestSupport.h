#pragma once
// What the daemon's tests share: temporary directories, files, records, and
// a daemon on a socket of its own with a client speaking raw lines.

#include <sys/resource.h>
#include <sys/stat.h>

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
#include "BastorShared/records/BastorJSON.h"
#include "BastorShared/records/BastorXPCProtocol.h"
#include "NoctaBastorHelper/BastorHelperService.h"
#include "NoctaBastorHelper/engine/AuditReader.h"
#include "NoctaBastorHelper/engine/AuditStore.h"
#include "NoctaBastorHelper/engine/BastorEngine.h"
#include "NoctaBastorHelper/transport/BastorListener.h"
#include "tests/support/ApprovedRequest.h"
#include "tests/support/LineClient.h"
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
