#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BastorShared/audit/AuditChain.h"
#include "tests/audit/SampleEntries.h"

namespace bastor {
namespace {

// Sealing keeps a per-thread buffer and genesisHash is built on first use;
// neither may leak between threads that seal and verify at the same time.
TEST(AuditChainConcurrency, ThreadsSealAndVerifyIndependently) {
    constexpr int kThreads = 4;
    constexpr int kEntries = 40;
    std::vector<std::optional<BastorVerification>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &results] {
            std::vector<std::string> lines;
            for (int n = 1; n <= kEntries; ++n) {
                AuditEntry entry = testing::sampleEntry(n + t * 1000);
                entry.stdout->append(static_cast<std::size_t>(t * 100 + n), 'x');
                std::optional<std::string_view> previous;
                if (!lines.empty()) previous = lines.back();
                lines.push_back(
                    AuditChain::encodeLine(AuditChain::seal(entry, n, previous, std::nullopt)));
            }
            results[t] = AuditChain::verify(lines);
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (const auto& result : results) {
        ASSERT_TRUE(result);
        EXPECT_TRUE(result->intact);
        EXPECT_EQ(result->count, kEntries);
    }
}

}  // namespace
}  // namespace bastor
