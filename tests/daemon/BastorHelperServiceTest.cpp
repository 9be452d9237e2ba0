#include <sys/resource.h>

#include <algorithm>
#include <map>

#include "tests/daemon/DaemonTestSupport.h"
#include "tests/support/Polling.h"

namespace bastor::test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kOn = R"({"value":true})";

// A command that leaves a marker file when it starts, then runs for `seconds`.
BastorRequest markedCommand(const fs::path& marker, int seconds) {
    return requestFor(
        {"sh", "-c", "touch " + marker.string() + "; sleep " + std::to_string(seconds)});
}

std::map<BastorAuditEvent, int> countEvents(const std::vector<AuditEntry>& entries) {
    std::map<BastorAuditEvent, int> counts;
    for (const auto& entry : entries)
        ++counts[entry.event];
    return counts;
}

std::size_t markersIn(const fs::path& directory) {
    const fs::directory_iterator files(directory);
    return static_cast<std::size_t>(std::distance(begin(files), end(files)));
}

class BastorHelperServiceLive : public ::testing::Test {
  protected:
    void SetUp() override {
        LineClient setup(daemon_.socketPath());
        (void)setup.call(requestLine("1", "setAuditEnabled", kOn));
        (void)setup.call(requestLine("2", "setEnabled", kOn));
    }
    std::vector<AuditEntry> entries() { return entriesOf(daemon_.directory() / "audit.jsonl"); }

    RunningDaemon daemon_;
    TempDir markers_;
};

TEST_F(BastorHelperServiceLive, PastTheQueueExecutesAreBusyAndOnStopWaitingOnesNeverRun) {
    // Seventeen clients with 64 calls each: four run, 1,024 wait, 60 are refused.
    const std::size_t threadsBefore = threadsOfThisProcess();
    constexpr int kClients = 17, kCalls = 64, kRefused = kClients * kCalls - 1028;
    std::vector<std::unique_ptr<LineClient>> clients;
    for (int c = 0; c < kClients; ++c) {
        std::string lines;
        for (int i = 0; i < kCalls; ++i) {
            const std::string id = std::to_string(c * kCalls + i);
            lines += executeLine(id, markedCommand(markers_.path / id, 30));
        }
        clients.push_back(std::make_unique<LineClient>(daemon_.socketPath()));
        ASSERT_TRUE(clients.back()->send(lines));
    }
    int busy = 0, other = 0;
    const auto end = Clock::now() + std::chrono::seconds(60);
    while (busy + other < kRefused && Clock::now() < end) {
        for (auto& client : clients) {
            while (auto line = client->readLine(std::chrono::milliseconds(1))) {
                const bool isBusy = line->ends_with(
                    R"("error":{"code":-32000,"message":"The helper is busy; try again later."}})");
                ++(isBusy ? busy : other);
            }
        }
    }
    EXPECT_EQ(busy, kRefused);
    EXPECT_EQ(other, 0);
    ASSERT_TRUE(eventually([&] { return markersIn(markers_.path) == 4; }));
    // Waiting calls hold no thread: the loop, the pool and the four runs.
    EXPECT_LT(threadsOfThisProcess(), threadsBefore + 16);
    // A refused call leaves no trace: the switch, then one approval per accepted call.
    EXPECT_EQ(entries().size(), 1u + 1028u);

    for (int c = 0; c < kClients / 2; ++c)
        clients[c]->close();
    const auto stopping = Clock::now();
    EXPECT_TRUE(daemon_.stop());
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(10));

    // The four that ran were signalled and audited; no other command started.
    EXPECT_EQ(markersIn(markers_.path), 4u);
    const auto log = entries();
    const auto counts = countEvents(log);
    EXPECT_EQ(counts.at(BastorAuditEvent::approved), 1028);
    EXPECT_EQ(counts.at(BastorAuditEvent::completed), 4);
    EXPECT_EQ(counts.at(BastorAuditEvent::failed), 1024);
    for (const auto& entry : log) {
        if (entry.event != BastorAuditEvent::failed) continue;
        EXPECT_EQ(entry.error, BastorEngine::abandonedMessage);
    }
    EXPECT_TRUE(AuditReader::verify(daemon_.directory()).intact);
}

TEST_F(BastorHelperServiceLive, AnExecuteWhoseClientLeftIsNotStartedWhenItsTurnComes) {
    LineClient client(daemon_.socketPath());
    std::string lines;
    for (int i = 0; i < 6; ++i)
        lines +=
            executeLine(std::to_string(i), markedCommand(markers_.path / std::to_string(i), 1));
    ASSERT_TRUE(client.send(lines));
    // All approved, four running, two waiting.
    ASSERT_TRUE(
        eventually([&] { return entries().size() == 1 + 6 && markersIn(markers_.path) == 4; }));
    client.close();

    ASSERT_TRUE(eventually([&] { return entries().size() == 1 + 6 + 6; }));
    const auto counts = countEvents(entries());
    EXPECT_EQ(counts.at(BastorAuditEvent::completed), 4);
    EXPECT_EQ(counts.at(BastorAuditEvent::failed), 2);
    EXPECT_EQ(markersIn(markers_.path), 4u);
    for (const auto& entry : entries()) {
        if (entry.event == BastorAuditEvent::completed) {
            EXPECT_EQ(entry.exitCode, 0);  // ran to its end, its client gone
        }
        if (entry.event != BastorAuditEvent::failed) continue;
        EXPECT_EQ(entry.error, BastorEngine::abandonedMessage);
        // Its marker names the command that never started.
        EXPECT_FALSE(fs::exists(entry.argv.at(2).substr(6, entry.argv.at(2).find(';') - 6)));
    }
}

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
