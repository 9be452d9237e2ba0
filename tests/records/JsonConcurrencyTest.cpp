#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "BastorShared/records/BastorJSON.h"
#include "tests/records/TestRecords.h"

namespace bastor {
namespace {

// Decoders on several threads each use their own parser; nothing is shared.
TEST(JsonConcurrencyTest, ThreadsDecodeAndEncodeIndependently) {
    const std::string entryJson = BastorJSON::encode(test::fullEntry());
    const std::string requestJson = BastorJSON::encode(test::fullRequest());
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                const bool entry = (i + t) % 2 == 0;
                const std::string again =
                    entry ? BastorJSON::encode(BastorJSON::decode<AuditEntry>(entryJson))
                          : BastorJSON::encode(BastorJSON::decode<BastorRequest>(requestJson));
                if (again != (entry ? entryJson : requestJson)) ++mismatches;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace bastor
