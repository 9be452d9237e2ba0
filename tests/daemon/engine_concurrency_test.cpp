#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "NoctaBastorHelper/BastorEngine.h"
#include "tests/daemon/engine_support.h"

namespace bastor {
namespace {

TEST(EngineConcurrency, ConcurrentWritersLeaveOneGaplessVerifiableChain) {
    test::TempDir temp;
    BastorEngine engine(temp.path());
    engine.setAuditEnabled(true);
    engine.setEnabled(true);  // entry 1

    constexpr int writers = 6;
    constexpr int eventsEach = 20;
    constexpr int runsEach = 3;
    constexpr int switchFlips = 20;
    std::atomic<bool> writing{true};
    std::atomic<int> brokenWhileWriting{0};
    std::atomic<int> failures{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&] {
            for (int i = 0; i < eventsEach; ++i) {
                engine.recordEvent(test::clientEvent());
                if (i % (eventsEach / runsEach + 1) == 0) {
                    const BastorResult result = engine.execute(test::requestFor({"true"}));
                    if (result.exitCode != 0 || !result.auditID) ++failures;
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < switchFlips; ++i)
            engine.setEnabled(true);
    });
    std::thread reader([&] {
        // Reads hold the engine, so they never see a half-written chain.
        while (writing) {
            if (!engine.verifyAudit().intact) ++brokenWhileWriting;
            (void)engine.readAudit(0, 1000);
        }
    });
    for (auto& thread : threads)
        thread.join();
    writing = false;
    reader.join();

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(brokenWhileWriting, 0);
    const int expected = 1 + writers * (eventsEach + 2 * runsEach) + switchFlips;
    EXPECT_EQ(engine.verifyAudit(), test::intactLog(expected));
    const auto entries = test::entriesOf(temp.path() / "audit.jsonl");
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(expected));
    for (int i = 0; i < expected; ++i)
        EXPECT_EQ(entries[i].seq, i + 1);
}

}  // namespace
}  // namespace bastor
