#pragma once
// Waiting for what other threads or processes do, and counting this
// process's threads.

#include <chrono>
#include <filesystem>
#include <iterator>
#include <thread>

namespace bastor::test {

// Polls `condition` for up to `limit`, so a hang fails instead of stalling the
// suite; returns its last value.
template <class Condition>
bool eventually(Condition condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return condition();
}

inline std::size_t threadsOfThisProcess() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

}  // namespace bastor::test
