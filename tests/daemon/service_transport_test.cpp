#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "BastorShared/records/BastorJSON.h"
#include "BastorShared/records/BastorXPCProtocol.h"
#include "tests/daemon/service_support.h"

namespace bastor {
namespace {

namespace fs = std::filesystem;
using namespace test;

std::string stateReply(std::string_view id, bool audit, bool autoApproval, bool enabled) {
    auto flag = [](bool value) { return value ? "true" : "false"; };
    return R"({"jsonrpc":"2.0","id":)" + std::string(id) +
           R"(,"result":{"json":"{\"audit_enabled\":)" + flag(audit) + R"(,\"auto_approval\":)" +
           flag(autoApproval) + R"(,\"enabled\":)" + flag(enabled) + R"(}"}})";
}

std::string boolParams(bool value) {
    return value ? R"({"value":true})" : R"({"value":false})";
}

class Transport : public ::testing::Test {
  protected:
    void enable(LineClient& client, bool audit) {
        (void)client.call(requestLine("100", "setAuditEnabled", boolParams(audit)));
        (void)client.call(requestLine("101", "setEnabled", boolParams(true)));
    }

    RunningDaemon daemon_;
    LineClient client_{daemon_.socketPath()};
};

TEST_F(Transport, EveryMethodRepliesInItsWireForm) {
    EXPECT_EQ(client_.call(requestLine("1", "getState")), stateReply("1", false, false, false));
    EXPECT_EQ(client_.call(requestLine("2", "setAuditEnabled", boolParams(true))),
              stateReply("2", true, false, false));
    EXPECT_EQ(client_.call(requestLine("3", "setEnabled", boolParams(true))),
              stateReply("3", true, false, true));
    EXPECT_EQ(client_.call(requestLine("4", "setAutoApproval", boolParams(true))),
              stateReply("4", true, true, true));
    EXPECT_EQ(client_.call(requestLine(
                  R"("ev")", "recordEvent",
                  "{\"eventJSON\":" + jsonString(BastorJSON::encode(clientEvent())) + "}")),
              R"({"jsonrpc":"2.0","id":"ev","result":{}})");

    const Reply executed = parseReply(client_.call(executeLine("5", requestFor({"echo", "hi"}))));
    ASSERT_TRUE(executed.json) << executed.message;
    const auto result = BastorJSON::decode<BastorResult>(*executed.json);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.stdout, "hi\n");

    const Reply page =
        parseReply(client_.call(requestLine("6", "readAudit", R"({"offset":1,"limit":2})")));
    ASSERT_TRUE(page.json) << page.message;
    const auto entries = BastorJSON::decode<std::vector<AuditEntry>>(*page.json);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].event, BastorAuditEvent::requested);
    EXPECT_EQ(entries[1].event, BastorAuditEvent::approved);
    EXPECT_EQ(entries[1].seq, 3);
    EXPECT_EQ(result.auditID, entries[1].id);

    EXPECT_EQ(client_.call(requestLine("7", "verifyAudit")),
              R"({"jsonrpc":"2.0","id":7,"result":{"json":"{\"count\":4,\"intact\":true}"}})");
}

TEST_F(Transport, OperationFailuresCarryTheirDescription) {
    EXPECT_EQ(client_.call(executeLine("1", requestFor({"true"}))),
              R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"Bastor is off. )"
              "Ask the user to turn it on in Nocta \u25B8 Settings \u25B8 Bastor.\"}}");
    enable(client_, true);
    for (const auto* line :
         {R"({"jsonrpc":"2.0","id":2,"method":"execute","params":{"requestJSON":"not json"}})",
          R"({"jsonrpc":"2.0","id":3,"method":"recordEvent","params":{"eventJSON":"{}"}})"}) {
        const Reply reply = parseReply(client_.call(std::string(line) + "\n"));
        EXPECT_EQ(reply.code, BastorWire::operationFailed) << line;
        EXPECT_FALSE(reply.message.empty()) << line;
    }
    // Nothing but the switch entry was written by the refused calls.
    EXPECT_EQ(parseReply(client_.call(requestLine("4", "verifyAudit"))).json,
              R"({"count":1,"intact":true})");

    fs::remove_all(daemon_.directory());
    const Reply unsaved =
        parseReply(client_.call(requestLine("5", "setAutoApproval", boolParams(true))));
    EXPECT_EQ(unsaved.code, BastorWire::operationFailed);
    EXPECT_EQ(client_.call(requestLine("6", "getState")), stateReply("6", true, true, true));
}

TEST_F(Transport, ProtocolFaultsAreAnsweredAndTheConnectionGoesOn) {
    struct Case {
        std::string line;
        std::string id;
        int code;
    };
    const Case cases[] = {
        {"not json", "null", BastorWire::parseError},
        {R"({"jsonrpc":"2.0","id":1,"method":"getState")", "null", BastorWire::parseError},
        {"{\"jsonrpc\":\"2.0\",\"id\":\"\xff\",\"method\":\"getState\"}", "null",
         BastorWire::parseError},
        {R"([{"jsonrpc":"2.0","id":1,"method":"getState"}])", "null", BastorWire::invalidRequest},
        {"42", "null", BastorWire::invalidRequest},
        {R"({"jsonrpc":"2.0","method":"getState"})", "null", BastorWire::invalidRequest},
        {R"({"jsonrpc":"2.0","id":null,"method":"getState"})", "null", BastorWire::invalidRequest},
        {R"({"jsonrpc":"2.0","id":1.5,"method":"getState"})", "null", BastorWire::invalidRequest},
        {R"({"jsonrpc":"1.0","id":7,"method":"getState"})", "7", BastorWire::invalidRequest},
        {R"({"id":8,"method":"getState"})", "8", BastorWire::invalidRequest},
        {R"({"jsonrpc":"2.0","id":9,"method":5})", "9", BastorWire::invalidRequest},
        {R"({"jsonrpc":"2.0","id":10,"method":"getstate"})", "10", BastorWire::methodNotFound},
        {R"({"jsonrpc":"2.0","id":11,"method":"setEnabled"})", "11", BastorWire::invalidParams},
        {R"({"jsonrpc":"2.0","id":12,"method":"setEnabled","params":{"value":1}})", "12",
         BastorWire::invalidParams},
        {R"({"jsonrpc":"2.0","id":13,"method":"setEnabled","params":[true]})", "13",
         BastorWire::invalidParams},
        {R"({"jsonrpc":"2.0","id":"x","method":"readAudit","params":{"offset":0,"limit":1.0}})",
         R"("x")", BastorWire::invalidParams},
        {R"({"jsonrpc":"2.0","id":15,"method":"readAudit","params":{"offset":9223372036854775808,"limit":1}})",
         "15", BastorWire::invalidParams},
        {R"({"jsonrpc":"2.0","id":16,"method":"execute","params":{"requestJSON":{}}})", "16",
         BastorWire::invalidParams},
        {R"({"jsonrpc":"2.0","id":17,"method":"recordEvent","params":{}})", "17",
         BastorWire::invalidParams},
    };
    for (const auto& [line, id, code] : cases) {
        const Reply reply = parseReply(client_.call(line + "\n"));
        EXPECT_EQ(reply.id, id) << line;
        EXPECT_EQ(reply.code, code) << line;
    }
    // Blank lines are no requests; the next reply answers the next request.
    ASSERT_TRUE(client_.send("\n \r\n"));
    EXPECT_EQ(client_.call(requestLine("18", "getState")), stateReply("18", false, false, false));
}

TEST_F(Transport, IdsAreEchoedAsSent) {
    for (const std::string id :
         {"0", "-9223372036854775808", "18446744073709551615", R"("")", R"("a\"b\\c")"}) {
        EXPECT_EQ(parseReply(client_.call(requestLine(id, "getState"))).id, id);
    }
}

TEST_F(Transport, LineOfTheLimitIsServedAndALongerOneClosesTheConnection) {
    std::string line = R"({"jsonrpc":"2.0","id":1,"method":"getState")";
    line.append(BastorWire::maxLineBytes - line.size() - 1, ' ');
    line += "}\n";
    EXPECT_EQ(client_.call(line), stateReply("1", false, false, false));

    (void)client_.send(std::string(BastorWire::maxLineBytes + 1, ' '));
    EXPECT_EQ(client_.readLine(), std::nullopt);
}

TEST_F(Transport, QuickCallIsAnsweredWhileAnExecuteRuns) {
    enable(client_, false);
    ASSERT_TRUE(client_.send(executeLine("1", requestFor({"sleep", "2"}))));
    ASSERT_TRUE(client_.send(requestLine("2", "getState")));
    EXPECT_EQ(client_.readLine(), stateReply("2", false, false, true));
    const Reply executed = parseReply(client_.readLine().value());
    EXPECT_EQ(executed.id, "1");
    EXPECT_TRUE(executed.json) << executed.message;
}

TEST_F(Transport, CallRunsToItsEndAfterItsClientLeft) {
    enable(client_, true);
    const fs::path marker = daemon_.root() / "started";
    ASSERT_TRUE(client_.send(
        executeLine("1", requestFor({"sh", "-c", "touch \"$0\"; sleep 1", marker.string()}))));
    ASSERT_TRUE(waitForFile(marker));
    client_.close();
    daemon_.shutDown();  // waits for the call

    const auto entries = entriesOf(daemon_.directory() / "audit.jsonl");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].event, BastorAuditEvent::completed);
    EXPECT_EQ(entries[2].exitCode, 0);
}

TEST_F(Transport, RepliesStillComeAfterTheClientStopsSendingOrTheDaemonStops) {
    enable(client_, false);
    const fs::path marker = daemon_.root() / "started";
    ASSERT_TRUE(client_.send(executeLine(
        "1", requestFor({"sh", "-c", "touch \"$0\"; sleep 1; echo done", marker.string()}))));
    ASSERT_TRUE(client_.send(requestLine("2", "getState")));
    client_.finishSending();
    EXPECT_EQ(parseReply(client_.readLine().value()).id, "2");
    ASSERT_TRUE(waitForFile(marker));
    std::thread stopping([this] { daemon_.shutDown(); });

    const Reply executed = parseReply(client_.readLine().value());
    stopping.join();
    ASSERT_TRUE(executed.json) << executed.message;
    EXPECT_EQ(BastorJSON::decode<BastorResult>(*executed.json).stdout, "done\n");
    EXPECT_EQ(client_.readLine(), std::nullopt);
}

TEST_F(Transport, ClientPastTheCallLimitIsSlowedNotRefused) {
    enable(client_, false);
    const auto sleeper = requestFor({"sleep", "0.2"});
    const int total = static_cast<int>(BastorWire::maxCallsInFlight) + 7;
    const int quick = static_cast<int>(BastorWire::maxCallsInFlight) + 1;
    std::string lines;
    for (int id = 1; id <= total; ++id)
        lines += id == quick ? requestLine(std::to_string(id), "getState")
                             : executeLine(std::to_string(id), sleeper);
    ASSERT_TRUE(client_.send(lines));

    std::map<std::string, int> answered;
    std::string first;
    for (int count = 0; count < total; ++count) {
        const Reply reply = parseReply(client_.readLine().value());
        EXPECT_TRUE(reply.json) << reply.message;
        if (first.empty()) first = reply.id;
        ++answered[reply.id];
    }
    EXPECT_EQ(answered.size(), static_cast<std::size_t>(total));
    for (const auto& [id, times] : answered)
        EXPECT_EQ(times, 1) << id;
    // Reading paused at the limit, so the quick call came in behind a reply.
    EXPECT_NE(first, std::to_string(quick));
}

TEST_F(Transport, ClientsShareOneEngine) {
    LineClient other(daemon_.socketPath());
    (void)client_.call(requestLine("1", "setEnabled", boolParams(true)));
    EXPECT_EQ(other.call(requestLine("2", "getState")), stateReply("2", false, false, true));
}

}  // namespace
}  // namespace bastor
