#include <sys/resource.h>

#include "tests/daemon/DaemonTestSupport.h"
#include "tests/support/Polling.h"

namespace bastor::test {

namespace {

// Each connection costs a descriptor at both ends, in this one process.
void allowManyDescriptors() {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GE(limit.rlim_max, 2 * BastorListener::maxConnections + 64);
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
}

TEST(BastorListener, ConnectionsPastTheCapAreClosedAtOnceAndTheOthersServedByFewThreads) {
    allowManyDescriptors();
    const std::size_t threadsBefore = threadsOfThisProcess();
    RunningDaemon daemon;
    std::vector<std::unique_ptr<LineClient>> clients;
    for (std::size_t c = 0; c < BastorListener::maxConnections; ++c) {
        clients.push_back(std::make_unique<LineClient>(daemon.socketPath()));
        // Answered, so admitted and counted before the next one comes.
        ASSERT_TRUE(clients.back()->call(requestLine("1", "getState")).starts_with("{")) << c;
    }
    EXPECT_LT(threadsOfThisProcess(), threadsBefore + 16);

    for (int extra = 0; extra < 3; ++extra) {
        LineClient refused(daemon.socketPath());
        (void)refused.send(requestLine("2", "getState"));
        EXPECT_EQ(refused.readLine(), std::nullopt) << extra;
    }
    EXPECT_EQ(daemon.notices(), 1);  // one notice for the three
    for (const auto index : {std::size_t{0}, clients.size() - 1})
        EXPECT_TRUE(clients[index]->call(requestLine("3", "getState")).starts_with("{"));

    // A client that leaves makes room for another.
    clients.front()->close();
    bool served = false;
    for (int attempt = 0; attempt < 100 && !served; ++attempt) {
        LineClient next(daemon.socketPath());
        (void)next.send(requestLine("4", "getState"));
        served = next.readLine().has_value();
        if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(served);
}

}  // namespace
}  // namespace bastor::test
