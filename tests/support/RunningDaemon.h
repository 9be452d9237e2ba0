#pragma once
// The daemon's service and listener in this process, on a socket and a
// directory of their own, for tests that talk to a real helper.

#include <atomic>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "NoctaBastorHelper/BastorHelperService.h"
#include "NoctaBastorHelper/transport/BastorListener.h"
#include "tests/support/TempDir.h"

namespace bastor::test {

// A listener on a socket of its own, serving an engine on a fresh directory.
// It admits the running test program, for root, unless told otherwise.
class RunningDaemon {
  public:
    explicit RunningDaemon(std::vector<std::filesystem::path> allowed =
                               {std::filesystem::read_symlink("/proc/self/exe")})
        : RunningDaemon(PeerRequirement{std::move(allowed), std::nullopt, std::nullopt}) {}
    explicit RunningDaemon(PeerRequirement requirement)
        : listener_(std::make_unique<BastorListener>(socketPath(), *service_,
                                                     std::move(requirement),
                                                     [this](std::string_view) { ++notices_; })) {
        listener_->start();
    }
    [[nodiscard]] std::filesystem::path socketPath() const { return temp_.path / "helper.sock"; }
    [[nodiscard]] std::filesystem::path directory() const { return temp_.path / "Bastor"; }
    [[nodiscard]] int notices() const { return notices_; }  // the listener's, so far
    void shutDown() {  // stops the listener and waits for every call still running
        listener_.reset();
        service_.reset();
    }
    bool stop() {  // as on SIGTERM: see BastorHelperService::stop
        listener_.reset();
        return service_->stop();
    }

  private:  // destroyed in reverse: listener, service, directory
    std::atomic<int> notices_{0};
    TempDir temp_;
    std::unique_ptr<BastorHelperService> service_ =
        std::make_unique<BastorHelperService>(directory());
    std::unique_ptr<BastorListener> listener_;
};

}  // namespace bastor::test
