#include <set>

#include "tests/daemon/DaemonTestSupport.h"

namespace bastor::test {

TEST(Load, ManyClientsExecutingWithAuditingAllAnsweredAndChained) {
    // Within the helper's queue: every call is run.
    constexpr int kClients = 16, kCalls = 50;
    RunningDaemon daemon;
    LineClient setup(daemon.socketPath());
    (void)setup.call(requestLine("1", "setAuditEnabled", R"({"value":true})"));
    (void)setup.call(requestLine("2", "setEnabled", R"({"value":true})"));
    std::string lines;
    for (int id = 1; id <= kCalls; ++id)
        lines += executeLine(std::to_string(id), requestFor({"/bin/true"}));

    std::vector<std::set<std::string>> answered(kClients);  // ids that got a successful reply
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            LineClient client(daemon.socketPath());
            client.send(lines);
            for (int n = 0; n < kCalls; ++n) {
                const Reply reply = parseReply(client.readLine().value_or(R"({"id":"closed"})"));
                if (reply.json && BastorJSON::decode<BastorResult>(*reply.json).exitCode == 0)
                    answered[c].insert(reply.id);
            }
        });
    }
    for (auto& client : clients)
        client.join();
    for (int c = 0; c < kClients; ++c)
        EXPECT_EQ(answered[c].size(), std::size_t{kCalls}) << c;

    // The switch, then approved and completed for every run; intact means seq 1..N without gaps.
    daemon.shutDown();
    EXPECT_EQ(AuditReader::verify(daemon.directory()), verdict(1 + 2 * kClients * kCalls));
}

}  // namespace bastor::test
