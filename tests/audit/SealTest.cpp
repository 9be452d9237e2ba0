#include <gtest/gtest.h>

#include <thread>

#include "BastorShared/audit/AuditChain.h"
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
