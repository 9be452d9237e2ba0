#include "BastorShared/audit/AuditWitness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "BastorShared/records/BastorJSON.h"
#include "tests/audit/SampleEntries.h"
#include "tests/support/TempDir.h"

namespace bastor::test {
namespace {

namespace fs = std::filesystem;

class AuditWitnessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string text;
        for (const auto& line : lines_) {
            text += line + "\n";
            const auto entry = BastorJSON::decode<AuditEntry>(line);
            witness_.push_back({entry.seq, *entry.hash, AuditChain::sha256(line)});
        }
        std::ofstream(file_, std::ios::binary) << text;
    }

    TempDir temp_;
    fs::path file_ = temp_.path / "audit.jsonl";
    std::vector<std::string> lines_ = sealedLines(5);
    std::vector<AuditWitness::Record> witness_;  // of every line, in order
};

TEST_F(AuditWitnessTest, EachWitnessMustAgreeAndNoneMayLieBeyondTheEnd) {
    const auto with = [&](std::initializer_list<int> seqs) {
        std::vector<AuditWitness::Record> records;
        for (int seq : seqs)
            records.push_back(witness_.at(seq - 1));
        return records;
    };
    auto otherHash = witness_[1];
    otherHash.entryHash[0] = otherHash.entryHash[0] == 'a' ? 'b' : 'a';
    auto otherLine = witness_[3];  // same entry, different bytes (a re-encoded line)
    otherLine.lineDigest = AuditChain::sha256(lines_[3] + " ");
    auto beyond = witness_[4];
    beyond.seq = 7;

    struct Case {
        const char* name;
        std::vector<AuditWitness::Record> records;
        bool intact;
        std::int64_t witnessed;
        std::optional<std::int64_t> from, rewritten, truncated;
    };
    const Case cases[] = {
        {"no witness at all", {}, true, 0, {}, {}, {}},
        {"every entry", witness_, true, 5, 1, {}, {}},
        {"older records rotated away, in any order", with({5, 3, 4}), true, 3, 3, {}, {}},
        {"one entry witnessed twice", with({2, 2, 3}), true, 2, 2, {}, {}},
        {"a different hash", {witness_[0], otherHash}, false, 1, 1, 2, {}},
        {"a different line", {otherLine}, false, 0, {}, 4, {}},
        {"a witness past the end", {witness_[0], beyond}, false, 1, 1, {}, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto report = AuditWitness::check({file_}, c.records);
        EXPECT_TRUE(report.chain.intact);
        EXPECT_EQ(report.lastSeq, 5);
        EXPECT_EQ(report.intact(), c.intact);
        EXPECT_EQ(report.witnessed, c.witnessed);
        EXPECT_EQ(report.from, c.from);
        EXPECT_EQ(report.rewrittenSeq, c.rewritten);
        EXPECT_EQ(report.truncatedAfter, c.truncated);
    }
}

TEST_F(AuditWitnessTest, ABrokenChainIsReportedAsItIs) {
    // The witness is not consulted.
    std::ofstream(file_, std::ios::binary) << lines_[0] + "\n" + lines_[2] + "\n";
    const auto report = AuditWitness::check({file_}, witness_);
    EXPECT_FALSE(report.chain.intact);
    EXPECT_EQ(report.chain.brokenSeq, 3);
    EXPECT_FALSE(report.intact());
}

}  // namespace
}  // namespace bastor::test
