#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <thread>

#include "BastorShared/client/BastorClient.h"
#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/BastorJSON.h"
#include "tests/support/ApprovedRequest.h"
#include "tests/support/RunningDaemon.h"
#include "tests/support/TempDir.h"

namespace bastor {
namespace {

using namespace std::chrono_literals;
using test::RunningDaemon;
using test::TempDir;
using Answer = std::pair<std::optional<std::string>, std::optional<std::string>>;

// A reply handler and the answer it will get. The handler shares the promise,
// so it may still be returning from set_value() when the test moves on.
struct Pending {
    std::shared_ptr<std::promise<Answer>> promise = std::make_shared<std::promise<Answer>>();
    std::future<Answer> answer = promise->get_future();

    BastorReply reply() const {
        return [promise = promise](auto json, auto error) { promise->set_value({json, error}); };
    }
    Answer wait() {  // the limit only guards against a hang
        EXPECT_EQ(answer.wait_for(30s), std::future_status::ready) << "no answer";
        return answer.wait_for(0s) == std::future_status::ready ? answer.get() : Answer{};
    }
};

TEST(BastorConnectionLive, RepliesOvertakeEarlierCallsAndReachTheirOwnCaller) {
    RunningDaemon helper;
    BastorClient(helper.socketPath()).setEnabled(true);
    BastorConnection connection(helper.socketPath());
    const auto go = helper.directory() / "go";
    Pending executed, stated;
    connection.execute(
        BastorJSON::encode(test::approvedRequest(
            {"sh", "-c", "until [ -e \"$0\" ]; do sleep 0.05; done; echo ran", go.string()})),
        executed.reply());
    connection.getState(stated.reply());

    const Answer state = stated.wait();
    EXPECT_EQ(executed.answer.wait_for(0s), std::future_status::timeout);
    ASSERT_TRUE(state.first) << state.second.value_or("");
    EXPECT_TRUE(BastorJSON::decode<BastorState>(*state.first).enabled);
    std::ofstream(go) << "go";
    const Answer result = executed.wait();
    ASSERT_TRUE(result.first) << result.second.value_or("");
    EXPECT_EQ(BastorJSON::decode<BastorResult>(*result.first).stdout, "ran\n");
}

TEST(BastorConnectionLive, TypedCallsCheckParamsAndCarryTheHelpersOwnErrors) {
    RunningDaemon helper;
    BastorClient client(helper.socketPath());
    try {
        client.execute(test::approvedRequest({"true"}));
        ADD_FAILURE() << "executed while off";
    } catch (const BastorRemoteError& error) {
        EXPECT_STREQ(error.what(), BastorError::off().what());
        EXPECT_EQ(error.code(), BastorWire::operationFailed);
    }
    EXPECT_THROW(client.call("getState", "{oops"), BastorRpc::ProtocolError);
    // A line break inside the params must not split the line on the wire.
    EXPECT_TRUE(BastorJSON::decode<BastorState>(client.call("setEnabled", "{\n\"value\": true\n}"))
                    .enabled);
    EXPECT_NE(client.callRaw("noSuchMethod", "{}").find("\"code\":-32601"), std::string::npos);
}

UniqueFd listenAt(const std::filesystem::path& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    path.native().copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd.get(), 8), 0);
    return fd;
}

// What arrives up to and including the next "\n", or until the peer closes.
std::string readLine(int fd) {
    std::string line;
    for (char c; line.find('\n') == std::string::npos && ::read(fd, &c, 1) == 1;)
        line += c;
    return line;
}

// A stand-in helper that reads one call, writes `reply`, and closes at once
// or, if `lingers`, once the client has gone.
class FakeHelper {
  public:
    FakeHelper(std::string reply, bool lingers)
        : thread_([this, reply = std::move(reply), lingers] {
              const UniqueFd client(::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC));
              (void)readLine(client.get());
              for (std::size_t at = 0; at < reply.size(); at += 9) {  // in pieces
                  const auto piece = std::string_view(reply).substr(at, 9);
                  EXPECT_EQ(::write(client.get(), piece.data(), piece.size()), std::ssize(piece));
                  std::this_thread::sleep_for(5ms);
              }
              if (lingers) (void)readLine(client.get());
          }) {}
    std::string socket() const { return dir_.path / "fake.sock"; }

  private:
    TempDir dir_;
    UniqueFd listening_ = listenAt(dir_.path / "fake.sock");
    std::jthread thread_;
};

TEST(BastorConnection, AHelperThatIsGoneOrGoesFailsCallsInsteadOfLeavingThemWaiting) {
    TempDir dir;
    listenAt(dir.path / "stale.sock").reset();  // the file stays, nobody listens
    for (const auto& path : {dir.path / "missing.sock", dir.path / "stale.sock"}) {
        try {
            BastorConnection connection(path);
            ADD_FAILURE() << "connected to " << path;
        } catch (const BastorError& error) {
            EXPECT_EQ(error.kind(), BastorError::Kind::helperNotReady) << path;
        }
    }

    FakeHelper fake("", false);  // closes mid-call
    BastorConnection connection(fake.socket());
    // A second answer to any call would hit a satisfied promise and abort.
    std::vector<Pending> calls(4);
    for (auto& call : calls)
        connection.getState(call.reply());
    for (auto& call : calls)
        EXPECT_EQ(call.wait(),
                  (Answer{std::nullopt, "Bastor's helper closed the connection before replying."}));

    // Closing the connection itself fails what is still pending.
    FakeHelper silent("", true);
    Pending state;
    BastorConnection(silent.socket()).getState(state.reply());
    EXPECT_EQ(state.wait().second,
              "The connection to Bastor's helper was closed before the reply arrived.");
}

TEST(BastorConnection, RepliesAreReadStrictlyAndNeverLeaveACallWaiting) {
    // The reply line, and the answer, whose error need only contain the text given.
    const std::pair<std::string, Answer> cases[] = {
        {R"({"id":1,"result":{"json":"{\"enabled\":true}"},"jsonrpc":"2.0"})",
         {R"({"enabled":true})", {}}},
        {"{\"jsonrpc\":", {{}, "malformed reply"}},
        {R"({"jsonrpc":"2.0","id":7,"result":{}})", {{}, "no pending call (id 7)"}},
        {R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})",
         {{}, "could not read a call: Parse error"}},
    };
    for (const auto& [reply, expected] : cases) {
        FakeHelper fake(reply + "\n", true);
        Pending state;
        BastorConnection connection(fake.socket());
        connection.getState(state.reply());
        const auto [json, error] = state.wait();
        EXPECT_EQ(json, expected.first) << reply;
        EXPECT_TRUE(error ? expected.second && error->find(*expected.second) != std::string::npos
                          : !expected.second)
            << reply << " gave " << error.value_or("no error");
    }
}

// A page the helper would not build asks for fewer entries, as a page too
// long to read does; any other refusal stays the helper's own error.
TEST(BastorClient, AReadRefusedForItsLengthAsksForFewerEntries) {
    const auto refusal = [](std::string_view message) {
        std::string reply = R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":)";
        BastorJSON::appendString(reply, message);
        return reply + "}}\n";
    };
    FakeHelper tooLarge(refusal(BastorWire::pageTooLarge), true);
    EXPECT_THROW((void)BastorClient(tooLarge.socket()).readAudit(0, 10), BastorReplyTooLarge);
    FakeHelper failed(refusal("could not read"), true);
    try {
        (void)BastorClient(failed.socket()).readAudit(0, 10);
        ADD_FAILURE() << "read a page from a refusal";
    } catch (const BastorRemoteError& error) {
        EXPECT_STREQ(error.what(), "could not read");
    }
}

}  // namespace
}  // namespace bastor
