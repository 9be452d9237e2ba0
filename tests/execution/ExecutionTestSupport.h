#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "BastorShared/execution/CommandResolver.h"
#include "BastorShared/records/BastorError.h"

namespace bastor::testing {

// A private directory under /tmp, removed with everything in it.
struct TempDir {
    std::string path = [] {
        std::string pattern = "/tmp/bastor-execution-XXXXXX";
        return std::string(::mkdtemp(pattern.data()));
    }();
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::string write(const std::string& name, const std::string& content, mode_t mode) const {
        std::ofstream(*this / name) << content;
        ::chmod((*this / name).c_str(), mode);
        return *this / name;
    }
};

// A valid request approved for what argv[0] resolves to now.
inline BastorRequest makeRequest(std::vector<std::string> argv, std::string cwd = "/",
                                 std::optional<std::string> stdin = {}, std::int64_t timeout = 60) {
    BastorRequest request;
    request.id = Uuid::random();
    request.resolvedPath = CommandResolver::resolve(argv.front());
    request.argv = std::move(argv);
    request.cwd = std::move(cwd);
    request.stdin = std::move(stdin);
    request.timeoutSeconds = timeout;
    request.reason = "test";
    return request;
}

// The description of the BastorError that `action` throws.
template <class Action>
std::string errorOf(Action action) {
    try {
        action();
    } catch (const BastorError& error) {
        return error.errorDescription();
    }
    return "(no error)";
}

// Polls for up to ten seconds, so a hang fails instead of stalling the suite.
template <class Condition>
bool eventually(Condition condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return condition();
}

}  // namespace bastor::testing
