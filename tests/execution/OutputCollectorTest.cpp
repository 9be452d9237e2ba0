#include "BastorShared/execution/OutputCollector.h"

#include <gtest/gtest.h>

#include "BastorShared/platform/Sha256.h"

namespace bastor {
namespace {

constexpr std::int64_t kMiB = 1048576;

TEST(OutputCollector, KeepsThePrefixAndHashesEverything) {
    const struct {
        std::string stream;
        std::size_t chunk;
        std::int64_t limit;
        std::string text;
    } cases[] = {
        {std::string(kMiB, 'a'), 65536, kMiB, std::string(kMiB, 'a')},
        {std::string(kMiB, 'a') + "z", 65536, kMiB, std::string(kMiB, 'a')},
        {std::string(kMiB, 'a') + "z", 1000000, kMiB, std::string(kMiB, 'a')},  // crosses it
        {"ab\xE2\x82\xAC", 1, 4, "ab\xEF\xBF\xBD"},  // a euro sign cut by the limit
        {"x\xFFy", 3, kMiB, "x\xEF\xBF\xBDy"},
        {"", 1, kMiB, ""},
    };
    for (const auto& c : cases) {
        OutputCollector collector(c.limit);
        for (std::size_t at = 0; at < c.stream.size(); at += c.chunk)
            collector.append(std::string_view(c.stream).substr(at, c.chunk));
        const auto output = collector.finish();
        EXPECT_EQ(output.text, c.text);
        EXPECT_EQ(output.truncated, static_cast<std::int64_t>(c.stream.size()) > c.limit);
        EXPECT_EQ(output.byteCount, static_cast<std::int64_t>(c.stream.size()));
        EXPECT_EQ(output.sha256, Sha256::hex(c.stream));
    }
}

TEST(OutputCollector, FinishingDoesNotEndTheStream) {
    OutputCollector collector(kMiB);
    collector.append("hello");
    EXPECT_EQ(collector.finish().sha256, collector.finish().sha256);
    collector.append(" world");
    EXPECT_EQ(collector.finish().sha256, Sha256::hex("hello world"));
    EXPECT_EQ(collector.finish().text, "hello world");
}

}  // namespace
}  // namespace bastor
