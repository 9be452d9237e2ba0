#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/audit/ParallelVerifier.h"
#include "BastorShared/records/BastorJSON.h"
#include "tests/audit/SampleEntries.h"

namespace bastor {

void PrintTo(const BastorVerification& v, std::ostream* os) {
    *os << "{intact " << v.intact << ", count " << v.count << ", brokenSeq "
        << (v.brokenSeq ? std::to_string(*v.brokenSeq) : "absent") << "}";
}

namespace {

using Lines = std::vector<std::string>;
using AuditChain::seal;
using test::sampleEntry;
using test::sealedLines;

const auto intact = [](int count) { return BastorVerification{true, count, std::nullopt}; };
const auto broken = [](int count, std::int64_t seq) {
    return BastorVerification{false, count, seq};
};

// verify()'s result, after checking that the streaming Verifier, fed file by
// file and every line even after a break, agrees with it at every step, and
// that runs checked on several threads, cut anywhere, join to the same.
BastorVerification verifyBoth(const std::vector<Lines>& files) {
    AuditChain::Verifier verifier;
    for (const auto& file : files) {
        verifier.beginFile();
        for (const auto& line : file) {
            const bool goOn = verifier.addLine(line);
            EXPECT_EQ(goOn, verifier.result().intact);
        }
    }
    const BastorVerification whole = AuditChain::verify(files);
    EXPECT_EQ(verifier.result(), whole) << "streaming and whole verification differ";

    std::vector<std::string> texts;
    for (const auto& file : files) {
        texts.emplace_back();
        for (const auto& line : file)
            texts.back() += line + "\n";
    }
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    for (const std::size_t runBytes : {1, 700, 2000, 1 << 20}) {
        for (const unsigned threads : {1, 3})
            EXPECT_EQ(verifyInRuns(views, runBytes, threads), whole)
                << "runs of " << runBytes << " bytes on " << threads << " threads";
    }
    return whole;
}

// Line i's entry, changed and encoded again in its place.
void edit(Lines& lines, std::size_t i, const std::function<void(AuditEntry&)>& change) {
    AuditEntry entry = BastorJSON::decode<AuditEntry>(lines[i]);
    change(entry);
    lines[i] = AuditChain::encodeLine(entry);
}

// The same values with blanks around them.
std::string respaced(const std::string& line) {
    return "{ " + line.substr(1, line.size() - 2) + " }";
}

TEST(AuditVerify, TamperingIsFoundAtTheFirstBrokenEntry) {
    const auto newReason = [](AuditEntry& e) { e.reason = "nothing to see"; };
    const std::tuple<const char*, std::function<void(Lines&)>, BastorVerification> cases[] = {
        {"unchanged", [](Lines&) {}, intact(5)},
        {"line 2's reason edited, hash left alone", [&](Lines& l) { edit(l, 1, newReason); },
         broken(2, 2)},
        {"line 2's reason edited, hash recomputed",
         [&](Lines& l) {
             edit(l, 1, newReason);
             edit(l, 1, [&](AuditEntry& e) { e = seal(e, 2, l[0], {}); });
         },
         broken(3, 3)},
        {"line 2 removed", [](Lines& l) { l.erase(l.begin() + 1); }, broken(2, 3)},
        {"lines 2 and 3 swapped", [](Lines& l) { std::swap(l[1], l[2]); }, broken(2, 3)},
        {"line 2 not an entry", [](Lines& l) { l[1] = R"({"hello":"world"})"; }, broken(2, 2)},
        {"line 2 respaced", [](Lines& l) { l[1] = respaced(l[1]); }, broken(3, 3)},
        {"line 5 respaced", [](Lines& l) { l[4] = respaced(l[4]); }, intact(5)},
        // A carriage return stays part of its line (file split at line feeds only).
        {"line 2 ending in CR", [](Lines& l) { l[1] += '\r'; }, broken(3, 3)},
        {"line 5 ending in CR", [](Lines& l) { l[4] += '\r'; }, intact(5)},
        {"sixth line with a wrong hash",
         [](Lines& l) {
             l.push_back(AuditChain::encodeLine(seal(sampleEntry(6), 6, l[4], {})));
             edit(l, 5, [](AuditEntry& e) { e.hash = std::string(64, 'a'); });
         },
         broken(6, 6)},
        {"line 1 removed", [](Lines& l) { l.erase(l.begin()); }, broken(1, 2)},
        {"line 3 without its hash",
         [](Lines& l) { edit(l, 2, [](AuditEntry& e) { e.hash.reset(); }); }, broken(3, 3)},
        {"line 3 resealed with seq 9, reported by its own seq",
         [](Lines& l) { edit(l, 2, [&](AuditEntry& e) { e = seal(e, 9, l[1], {}); }); },
         broken(3, 9)},
        {"lines 3 and 4 resealed from the largest seq on",
         [](Lines& l) {
             constexpr auto last = std::numeric_limits<std::int64_t>::max();
             edit(l, 2, [&](AuditEntry& e) { e = seal(e, last, l[1], {}); });
             edit(l, 3, [&](AuditEntry& e) { e = seal(e, last, l[2], {}); });
         },
         broken(3, std::numeric_limits<std::int64_t>::max())},
        {"line 4 with upper-case hash digits",
         [](Lines& l) {
             edit(l, 3, [](AuditEntry& e) {
                 std::ranges::transform(*e.hash, e.hash->begin(), ::toupper);
             });
         },
         broken(4, 4)},
        {"line 4 cut short", [](Lines& l) { l[3].pop_back(); }, broken(4, 4)},
        // Same values in another form: the line passes, the next link breaks.
        {"line 2 with lower-case id digits",
         [](Lines& l) {
             const auto at = l[1].find(R"("id":")") + 6;
             std::transform(l[1].begin() + at, l[1].begin() + at + 36, l[1].begin() + at,
                            ::tolower);
         },
         broken(3, 3)},
        {"line 2 with an unknown member", [](Lines& l) { l[1].insert(1, R"("extra":1,)"); },
         broken(3, 3)},
        {"line 5 with an escaped unknown member",
         [](Lines& l) { l[4].insert(1, R"("\u007a":[],)"); }, intact(5)},
    };
    const Lines good = sealedLines(5);
    for (const auto& [name, mutate, expected] : cases) {
        Lines lines = good;
        mutate(lines);
        EXPECT_EQ(verifyBoth({lines}), expected) << name;
        EXPECT_EQ(AuditChain::verify(lines), expected) << name;
    }
}

// Entries 1-3 in a rotated file, 4-5 in the live one.
TEST(AuditVerify, RotationLinksByThePreviousHash) {
    const Lines older = sealedLines(3);
    const auto newer = [&](bool byLine) {  // the store links by the previous entry's hash
        const auto hash = BastorJSON::decode<AuditEntry>(older.back()).hash;
        Lines lines{AuditChain::encodeLine(byLine ? seal(sampleEntry(4), 4, older.back(), {})
                                                  : seal(sampleEntry(4), 4, {}, hash))};
        lines.push_back(AuditChain::encodeLine(seal(sampleEntry(5), 5, lines.back(), {})));
        return lines;
    };
    const Lines good = newer(false);

    EXPECT_EQ(verifyBoth({older, good}), intact(5));
    EXPECT_EQ(verifyBoth({{}, older, {}, {}, good, {}}), intact(5));
    EXPECT_EQ(verifyBoth({older, newer(true)}), broken(4, 4));
    const Lines restarted{AuditChain::encodeLine(seal(sampleEntry(4), 4, {}, {}))};  // from genesis
    EXPECT_EQ(verifyBoth({older, restarted}), broken(4, 4));
    EXPECT_EQ(verifyBoth({{older[0], older[1], older[2], good[0], good[1]}}), broken(4, 4));
    EXPECT_EQ(verifyBoth({good}), broken(1, 4));  // the oldest file removed
    // A line edited at the end of a rotated file is not caught there: the next
    // file links by hash, which re-encoding reproduces.
    EXPECT_EQ(verifyBoth({{older[0], older[1], respaced(older[2])}, good}), intact(5));
    EXPECT_EQ(verifyBoth({}), intact(0));
    EXPECT_EQ(verifyBoth({{}, {}}), intact(0));
}

// `line` with its hash taken again over its own text, whatever form that has.
std::string rehashed(std::string line) {
    const std::string member = R"("hash":")";
    const auto at = line.find(member);
    std::string hashless = line;
    hashless.erase(at, member.size() + 64 + 2);  // and the closing quote and comma
    return line.replace(at + member.size(), 64, AuditChain::sha256(hashless));
}

// The hash covers the entry's canonical text: a line hashed over another
// spelling of it, or over text the decoder refuses, is broken.
TEST(AuditVerify, ALineHashedOverTextTheEncoderWouldNotWriteIsBroken) {
    const std::pair<const char*, std::function<void(std::string&)>> cases[] = {
        {"a repeated key",
         [](std::string& l) { l.insert(l.find(R"(,"duration_ms")"), R"(,"cwd":"x")"); }},
        {"a line feed as \\u000a",
         [](std::string& l) { l.replace(l.find(R"(\n)"), 2, R"(\u000a)"); }},
    };
    for (const auto& [name, change] : cases) {
        Lines lines = sealedLines(3);
        change(lines[2]);
        lines[2] = rehashed(lines[2]);
        EXPECT_EQ(verifyBoth({lines}), broken(3, 3)) << name;
    }
}

}  // namespace
}  // namespace bastor
