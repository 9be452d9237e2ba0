#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorRequest.h"
#include "NoctaBastorHelper/BastorHelperService.h"
#include "NoctaBastorHelper/BastorListener.h"
#include "tests/daemon/engine_support.h"

namespace bastor::test {

// The running test program, which every daemon below admits.
[[nodiscard]] std::filesystem::path selfExecutable();

// A listener on a socket of its own, serving an engine on a fresh directory.
class RunningDaemon {
  public:
    explicit RunningDaemon(std::vector<std::filesystem::path> alsoAllowed = {});
    ~RunningDaemon();

    [[nodiscard]] const std::filesystem::path& root() const { return temp_.path(); }
    [[nodiscard]] std::filesystem::path socketPath() const { return root() / "helper.sock"; }
    [[nodiscard]] std::filesystem::path directory() const { return root() / "Bastor"; }

    // Stops the listener and waits for every call still running.
    void shutDown();

  private:
    TempDir temp_;
    std::unique_ptr<BastorHelperService> service_;
    std::unique_ptr<BastorListener> listener_;
};

// One client connection speaking raw lines.
class LineClient {
  public:
    explicit LineClient(const std::filesystem::path& socketPath);

    // Writes every byte; false when the daemon has closed the connection.
    bool send(std::string_view bytes);
    // The next line without its "\n"; nothing once the daemon closed. Fails
    // the test rather than hang when no line comes for a long time.
    [[nodiscard]] std::optional<std::string> readLine();
    // Sends one line and reads one.
    [[nodiscard]] std::string call(std::string_view line);

    // Shuts down the sending side only; replies still arrive.
    void finishSending();
    void close() { fd_.reset(); }

  private:
    UniqueFd fd_;
    std::string buffer_;
};

// Everything readable from `fd` until end-of-file.
[[nodiscard]] std::string readAll(int fd);
// Waits, within a generous bound, for a command under test to create `file`.
[[nodiscard]] bool waitForFile(const std::filesystem::path& file);

// A request line; `params` is a JSON object text, or empty for none.
[[nodiscard]] std::string requestLine(std::string_view id, std::string_view method,
                                      std::string_view params = {});
// `text` as a JSON string literal.
[[nodiscard]] std::string jsonString(std::string_view text);
[[nodiscard]] std::string executeLine(std::string_view id, const BastorRequest& request);

// A reply line taken apart; code is 0 for a success.
struct Reply {
    std::string id;  // as JSON text
    std::optional<std::string> json;
    int code = 0;
    std::string message;
};
[[nodiscard]] Reply parseReply(std::string_view line);

}  // namespace bastor::test
