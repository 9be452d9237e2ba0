#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/records/BastorJSON.h"
#include "tests/audit/SampleEntries.h"

namespace bastor {

void PrintTo(const BastorVerification& v, std::ostream* os) {
    *os << "{intact " << v.intact << ", count " << v.count << ", brokenSeq "
        << (v.brokenSeq ? std::to_string(*v.brokenSeq) : "absent") << "}";
}

namespace {

using Files = std::vector<std::vector<std::string>>;
using Lines = std::vector<std::string>;
using AuditChain::seal;
using AuditChain::sha256;
using testing::sampleEntry;
using testing::sealedLines;

BastorVerification intact(std::int64_t count) {
    return {true, count, std::nullopt};
}
BastorVerification broken(std::int64_t count, std::int64_t seq) {
    return {false, count, seq};
}

// Feeds the files through the streaming verifier, one beginFile per file as
// a reader of the log directory would, empty files included, and every line
// even after a break, which must then be ignored.
BastorVerification verifyStreaming(const Files& files) {
    AuditChain::Verifier verifier;
    for (const auto& file : files) {
        verifier.beginFile();
        for (const auto& line : file) {
            const bool goOn = verifier.addLine(line);
            EXPECT_EQ(goOn, verifier.result().intact);
        }
    }
    return verifier.result();
}

// Both forms must agree; the result is checked by the caller.
BastorVerification verifyBoth(const Files& files) {
    const BastorVerification whole = AuditChain::verify(files);
    EXPECT_EQ(verifyStreaming(files), whole) << "streaming and whole verification differ";
    return whole;
}

AuditEntry decoded(const std::string& line) {
    return BastorJSON::decode<AuditEntry>(line);
}

// Adds blanks around the object without changing any value.
std::string respaced(const std::string& line) {
    return "{ " + line.substr(1, line.size() - 2) + " }";
}

TEST(AuditVerify, TamperingIsFoundAtTheFirstBrokenEntry) {
    struct Case {
        const char* name;
        std::function<void(Lines&)> mutate;
        BastorVerification expected;
    };
    const std::vector<Case> cases = {
        {"unchanged", [](Lines&) {}, intact(5)},
        {"reason edited, hash left alone",
         [](Lines& l) {
             AuditEntry e = decoded(l[1]);
             e.reason = "nothing to see";
             l[1] = AuditChain::encodeLine(e);
         },
         broken(2, 2)},
        {"reason edited, hash recomputed",
         [](Lines& l) {
             AuditEntry e = decoded(l[1]);
             e.reason = "nothing to see";
             l[1] = AuditChain::encodeLine(seal(e, 2, l[0], std::nullopt));
         },
         broken(3, 3)},
        {"line 2 removed", [](Lines& l) { l.erase(l.begin() + 1); }, broken(2, 3)},
        {"lines 2 and 3 swapped", [](Lines& l) { std::swap(l[1], l[2]); }, broken(2, 3)},
        {"line 2 not an entry", [](Lines& l) { l[1] = R"({"hello":"world"})"; }, broken(2, 2)},
        {"line 2 respaced", [](Lines& l) { l[1] = respaced(l[1]); }, broken(3, 3)},
        {"line 5 respaced", [](Lines& l) { l[4] = respaced(l[4]); }, intact(5)},
        {"sixth line with a wrong hash",
         [](Lines& l) {
             AuditEntry e = seal(sampleEntry(6), 6, l[4], std::nullopt);
             e.hash = sha256("not the hashed form");
             l.push_back(AuditChain::encodeLine(e));
         },
         broken(6, 6)},
        {"line 1 removed", [](Lines& l) { l.erase(l.begin()); }, broken(1, 2)},
        {"line 3 without hash member",
         [](Lines& l) {
             AuditEntry e = decoded(l[2]);
             e.hash.reset();
             l[2] = AuditChain::encodeLine(e);
         },
         broken(3, 3)},
        {"line 3 resealed with seq 9, reported by its own seq",
         [](Lines& l) {
             l[2] = AuditChain::encodeLine(seal(decoded(l[2]), 9, l[1], std::nullopt));
         },
         broken(3, 9)},
        {"line 3 linked to the hash instead of the line",
         [](Lines& l) {
             l[2] =
                 AuditChain::encodeLine(seal(decoded(l[2]), 3, std::nullopt, decoded(l[1]).hash));
         },
         broken(3, 3)},
        {"line 4 with upper-case hash digits",
         [](Lines& l) {
             AuditEntry e = decoded(l[3]);
             for (char& c : *e.hash)
                 c = static_cast<char>(std::toupper(c));
             l[3] = AuditChain::encodeLine(e);
         },
         broken(4, 4)},
        {"line 4 cut short", [](Lines& l) { l[3].pop_back(); }, broken(4, 4)},
    };

    const Lines good = sealedLines(5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lines lines = good;
        c.mutate(lines);
        EXPECT_EQ(verifyBoth({lines}), c.expected);
        EXPECT_EQ(AuditChain::verify(lines), c.expected);
    }
}

TEST(AuditVerify, NoLinesIsAnIntactEmptyChain) {
    EXPECT_EQ(verifyBoth({}), intact(0));
    EXPECT_EQ(verifyBoth({{}, {}}), intact(0));
    EXPECT_EQ(AuditChain::verify(Lines{}), intact(0));
}

// Entries 1-3 in a rotated file, 4-5 in the live file, written as the store
// writes them: the first line after rotation links by the previous hash.
struct RotatedLog {
    Lines older;
    Lines newer;
};

RotatedLog rotatedLog(bool linkFirstByLineDigest) {
    RotatedLog log;
    log.older = sealedLines(3);
    const AuditEntry last = decoded(log.older.back());
    const AuditEntry fourth = linkFirstByLineDigest
                                  ? seal(sampleEntry(4), 4, log.older.back(), std::nullopt)
                                  : seal(sampleEntry(4), 4, std::nullopt, last.hash);
    log.newer.push_back(AuditChain::encodeLine(fourth));
    log.newer.push_back(
        AuditChain::encodeLine(seal(sampleEntry(5), 5, log.newer.back(), std::nullopt)));
    return log;
}

TEST(AuditVerify, RotationLinksByThePreviousHash) {
    const RotatedLog good = rotatedLog(false);
    const RotatedLog byLine = rotatedLog(true);
    Lines joined = good.older;
    joined.insert(joined.end(), good.newer.begin(), good.newer.end());

    EXPECT_EQ(verifyBoth({good.older, good.newer}), intact(5));
    EXPECT_EQ(verifyBoth({{}, good.older, {}, {}, good.newer, {}}), intact(5));
    EXPECT_EQ(verifyBoth({byLine.older, byLine.newer}), broken(4, 4));
    EXPECT_EQ(AuditChain::verify(joined), broken(4, 4));
    // Oldest file removed: the log now starts at seq 4.
    EXPECT_EQ(verifyBoth({good.newer}), broken(1, 4));
    // A line edited at the end of a rotated file is not caught there: the next
    // file links by hash, which re-encoding reproduces.
    EXPECT_EQ(verifyBoth({{good.older[0], good.older[1], respaced(good.older[2])}, good.newer}),
              intact(5));
}

TEST(AuditVerify, CarriageReturnBreaksTheNextLink) {
    const Lines good = sealedLines(3);
    const std::string file = good[0] + "\n" + good[1] + "\r\n" + good[2] + "\n";
    const Lines lines = AuditChain::decodeLines(file);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], good[1] + "\r");
    EXPECT_EQ(verifyBoth({lines}), broken(3, 3));

    const std::string lastWithCr = good[0] + "\n" + good[1] + "\n" + good[2] + "\r\n";
    EXPECT_EQ(verifyBoth({AuditChain::decodeLines(lastWithCr)}), intact(3));
}

TEST(AuditVerify, StreamingAgreesAtEveryFileSplit) {
    const Lines lines = sealedLines(6);
    for (std::size_t split = 0; split <= lines.size(); ++split) {
        SCOPED_TRACE(split);
        Lines first(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(split));
        Lines second(lines.begin() + static_cast<std::ptrdiff_t>(split), lines.end());
        const BastorVerification result = verifyBoth({first, second});
        // Only a split at either end keeps line-digest links everywhere.
        if (split == 0 || split == lines.size()) {
            EXPECT_EQ(result, intact(6));
        } else {
            EXPECT_EQ(result, broken(static_cast<std::int64_t>(split) + 1,
                                     static_cast<std::int64_t>(split) + 1));
        }
    }
}

}  // namespace
}  // namespace bastor
