#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "BastorShared/records/BastorJSON.h"
#include "tests/daemon/service_support.h"

namespace bastor {
namespace {

using namespace test;

TEST(Load, ManyClientsExecutingWithAuditingAllAnsweredAndChained) {
    constexpr int kClients = 32;
    constexpr int kCalls = 50;
    RunningDaemon daemon;
    {
        LineClient setup(daemon.socketPath());
        (void)setup.call(requestLine("1", "setAuditEnabled", R"({"value":true})"));
        (void)setup.call(requestLine("2", "setEnabled", R"({"value":true})"));
    }
    const auto request = requestFor({"/bin/true"});

    std::vector<std::map<std::string, int>> answers(kClients);
    std::vector<int> failures(kClients, 0);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            LineClient client(daemon.socketPath());
            std::string lines;
            for (int id = 1; id <= kCalls; ++id)
                lines += executeLine(std::to_string(id), request);
            if (!client.send(lines)) return;
            for (int n = 0; n < kCalls; ++n) {
                const auto line = client.readLine();
                if (!line) return;
                const Reply reply = parseReply(*line);
                ++answers[c][reply.id];
                if (!reply.json || BastorJSON::decode<BastorResult>(*reply.json).exitCode != 0)
                    ++failures[c];
            }
        });
    }
    for (auto& client : clients)
        client.join();
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(failures[c], 0) << "client " << c;
        ASSERT_EQ(answers[c].size(), static_cast<std::size_t>(kCalls)) << "client " << c;
        for (const auto& [id, times] : answers[c])
            EXPECT_EQ(times, 1) << c << "/" << id;
    }

    // The switch entry, then approved and completed for every run.
    const std::int64_t expected = 1 + 2 * kClients * kCalls;
    LineClient reader(daemon.socketPath());
    EXPECT_EQ(parseReply(reader.call(requestLine("1", "verifyAudit"))).json,
              R"({"count":)" + std::to_string(expected) + R"(,"intact":true})");
    std::int64_t seq = 0;
    for (std::int64_t offset = 0;; offset += 1000) {
        const Reply page = parseReply(reader.call(requestLine(
            "2", "readAudit", R"({"limit":1000,"offset":)" + std::to_string(offset) + "}")));
        const auto entries = BastorJSON::decode<std::vector<AuditEntry>>(page.json.value());
        if (entries.empty()) break;
        for (const auto& entry : entries)
            ASSERT_EQ(entry.seq, ++seq);
    }
    EXPECT_EQ(seq, expected);
    EXPECT_EQ(linesOf(daemon.directory() / "audit.jsonl").size(),
              static_cast<std::size_t>(expected));
}

}  // namespace
}  // namespace bastor
