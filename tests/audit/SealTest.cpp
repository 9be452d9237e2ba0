#include <gtest/gtest.h>

#include <thread>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/records/BastorJSON.h"
#include "tests/audit/SampleEntries.h"

namespace bastor {
namespace {

using AuditChain::seal;
using AuditChain::sha256;
using test::sampleEntry;
using Previous = std::optional<std::string_view>;

TEST(AuditSeal, DigestsAndTheLinkRule) {
    EXPECT_NE(sha256(std::string_view("a\0b", 3)), sha256("a"));  // NUL bytes are hashed too
    const std::string line = R"({"seq":7,"hash":"abc"})";
    const std::string hash = std::string(63, 'e') + "f";
    // previous line, previous hash, the link
    const std::tuple<Previous, Previous, std::string> cases[] = {
        {line, std::nullopt, sha256(line)},
        {std::nullopt, hash, hash},  // copied, not hashed again
        {std::nullopt, std::nullopt, std::string(64, '0')},
        {line, hash, sha256(line)},  // the line wins
    };
    for (const auto& [previousLine, previousHash, link] : cases) {
        const AuditEntry sealed = seal(sampleEntry(1), 8, previousLine, previousHash);
        EXPECT_EQ(sealed.prevHash, link);
        EXPECT_EQ(sealed.seq, 8);
    }
}

TEST(AuditSeal, HashCoversTheLineWithoutItsHashMember) {
    AuditEntry stale = sampleEntry(3);
    stale.hash = std::string(64, 'b');  // must not reach the hashed form
    const AuditEntry sealed = seal(stale, 1, std::nullopt, std::nullopt);
    AuditEntry unsealed = sealed;
    unsealed.hash.reset();
    EXPECT_EQ(*sealed.hash, sha256(BastorJSON::encode(unsealed)));

    const std::string line = AuditChain::encodeLine(sealed);
    EXPECT_NE(line.find("\"hash\":\"" + *sealed.hash + "\""), std::string::npos);
    EXPECT_EQ(line.find('\n'), std::string::npos) << "captured output holds line feeds";
    // A decoded line seals to the same hash again: the round trip is exact.
    EXPECT_EQ(seal(BastorJSON::decode<AuditEntry>(line), 1, {}, {}).hash, sealed.hash);
}

// sealLine splices the hash into text it encoded once: values that look like
// JSON members must not mislead it.
TEST(AuditSeal, SealLineEqualsSealThenEncodeLine) {
    AuditEntry bare;  // every optional absent, empty texts
    bare.prevHash = "x";
    AuditEntry tricky = sampleEntry(4);
    tricky.argv = {R"(,"id":")", R"("hash":"0")"};
    tricky.approver = R"(x","id":"y)";
    tricky.error = "\\\"id\\\":";
    tricky.client.name = "id";
    for (const AuditEntry& entry : {bare, tricky}) {
        for (const Previous line : {Previous(), Previous("prev")}) {
            const AuditChain::SealedLine sealedLine = AuditChain::sealLine(entry, 42, line, "h");
            const AuditEntry sealed = seal(entry, 42, line, "h");
            EXPECT_EQ(sealedLine.line, AuditChain::encodeLine(sealed));
            EXPECT_EQ(BastorJSON::encode(sealedLine.entry), BastorJSON::encode(sealed));
        }
    }
}

TEST(AuditDecodeLines, SplitsAtLineFeedsOnly) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {}},
        {"\n\n\n", {}},
        {"a\nb\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},
        {"\na\n\n\nb\n\n", {"a", "b"}},
        {"a\r\n\r\n", {"a\r", "\r"}},
        {" {x} \n\xEF\xBB\xBFy\n", {" {x} ", "\xEF\xBB\xBFy"}},
        {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    };
    for (const auto& [data, lines] : cases)
        EXPECT_EQ(AuditChain::decodeLines(data), lines) << ::testing::PrintToString(data);
}

// Sealing keeps a per-thread buffer and genesisHash is built on first use;
// neither may leak between threads that seal and verify at the same time.
TEST(AuditChainConcurrency, ThreadsSealAndVerifyIndependently) {
    std::vector<BastorVerification> results(4);
    {
        std::vector<std::jthread> threads;
        for (auto& result : results)
            threads.emplace_back([&result] { result = AuditChain::verify(test::sealedLines(40)); });
    }
    for (const auto& result : results)
        EXPECT_EQ(result, (BastorVerification{true, 40, std::nullopt}));
}

}  // namespace
}  // namespace bastor
