#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/records/BastorJSON.h"
#include "tests/audit/SampleEntries.h"

namespace bastor {
namespace {

using AuditChain::genesisHash;
using AuditChain::seal;
using AuditChain::sha256;
using testing::sampleEntry;

TEST(AuditDigest, IsLowerCaseHexOfSha256) {
    EXPECT_EQ(genesisHash(), std::string(64, '0'));
    EXPECT_EQ(AuditChain::sha256Text(""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256(std::string_view("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Embedded NUL bytes are hashed, not treated as a terminator.
    EXPECT_NE(sha256(std::string_view("a\0b", 3)), sha256("a"));
}

TEST(AuditSeal, LinkRuleFollowsWhatTheCallerKnows) {
    const std::string previousLine = R"({"seq":7,"hash":"abc"})";
    const std::string previousHash = std::string(63, 'e') + "f";
    struct Case {
        const char* name;
        std::optional<std::string_view> line;
        std::optional<std::string_view> hash;
        std::string expectedPrevHash;
    };
    const std::vector<Case> cases = {
        {"line only", previousLine, std::nullopt, sha256(previousLine)},
        {"hash only, copied unhashed", std::nullopt, previousHash, previousHash},
        {"neither", std::nullopt, std::nullopt, genesisHash()},
        {"line wins over hash", previousLine, previousHash, sha256(previousLine)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const AuditEntry sealed = seal(sampleEntry(1), 8, c.line, c.hash);
        EXPECT_EQ(sealed.prevHash, c.expectedPrevHash);
        EXPECT_EQ(sealed.seq, 8);
    }
}

TEST(AuditSeal, OverwritesStaleChainFieldsAndLeavesArgumentAlone) {
    AuditEntry stale = sampleEntry(2);
    stale.seq = 99;
    stale.prevHash = std::string(64, 'a');
    stale.hash = std::string(64, 'b');
    const AuditEntry before = stale;

    const AuditEntry sealed = seal(stale, 3, std::nullopt, std::nullopt);
    AuditEntry clean = sampleEntry(2);
    clean.id = stale.id;
    clean.requestID = stale.requestID;
    const AuditEntry fresh = seal(clean, 3, std::nullopt, std::nullopt);

    EXPECT_EQ(sealed.seq, 3);
    EXPECT_EQ(sealed.prevHash, genesisHash());
    ASSERT_TRUE(sealed.hash);
    EXPECT_EQ(sealed.hash, fresh.hash) << "a hash passed in must not reach the hashed form";
    EXPECT_EQ(BastorJSON::encode(stale), BastorJSON::encode(before));
}

TEST(AuditSeal, HashCoversTheLineWithoutItsHashMember) {
    const AuditEntry sealed = seal(sampleEntry(3), 1, std::nullopt, std::nullopt);
    const std::string line = AuditChain::encodeLine(sealed);

    AuditEntry unsealed = sealed;
    unsealed.hash.reset();
    const std::string hashedForm = BastorJSON::encode(unsealed);
    EXPECT_EQ(hashedForm.find("\"hash\""), std::string::npos);
    EXPECT_EQ(*sealed.hash, sha256(hashedForm));

    EXPECT_NE(line.find("\"hash\":\"" + *sealed.hash + "\""), std::string::npos);
    EXPECT_NE(sha256(line), *sealed.hash) << "the next line links to the whole line, not the hash";
    EXPECT_EQ(line.back(), '}');
    EXPECT_EQ(line.find('\n'), std::string::npos) << "captured output holds line feeds";

    // A decoded line seals to the same hash again: the round trip is exact.
    const AuditEntry reread = BastorJSON::decode<AuditEntry>(line);
    EXPECT_EQ(seal(reread, 1, std::nullopt, std::nullopt).hash, sealed.hash);
}

TEST(AuditSeal, SealLineEqualsSealThenEncodeLine) {
    AuditEntry bare;  // every optional absent, empty texts
    bare.prevHash = "x";
    AuditEntry tricky = sampleEntry(4);
    tricky.argv = {R"(,"id":")", R"("hash":"0")"};
    tricky.approver = R"(x","id":"y)";
    tricky.error = "\\\"id\\\":";
    tricky.client.name = "id";
    for (const AuditEntry& entry : {bare, sampleEntry(5), tricky}) {
        for (const std::optional<std::string_view> line :
             {std::optional<std::string_view>(), std::optional<std::string_view>("prev")}) {
            const AuditChain::SealedLine sealedLine = AuditChain::sealLine(entry, 42, line, "h");
            const AuditEntry sealed = seal(entry, 42, line, "h");
            EXPECT_EQ(sealedLine.line, AuditChain::encodeLine(sealed));
            EXPECT_EQ(BastorJSON::encode(sealedLine.entry), BastorJSON::encode(sealed));
        }
    }
}

TEST(AuditDecodeLines, SplitsAtLineFeedsOnly) {
    using Lines = std::vector<std::string>;
    struct Case {
        std::string data;
        Lines expected;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"\n\n\n", {}},
        {"a\nb\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},
        {"\na\n\n\nb\n\n", {"a", "b"}},
        {"a\r\n\r\n", {"a\r", "\r"}},
        {" {x} \n\xEF\xBB\xBFy\n", {" {x} ", "\xEF\xBB\xBFy"}},
        {std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.data));
        EXPECT_EQ(AuditChain::decodeLines(c.data), c.expected);
    }
}

}  // namespace
}  // namespace bastor
