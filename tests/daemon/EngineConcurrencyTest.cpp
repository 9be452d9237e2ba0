#include <atomic>

#include "tests/daemon/DaemonTestSupport.h"

namespace bastor::test {

TEST(EngineConcurrency, ConcurrentWritersLeaveOneGaplessVerifiableChain) {
    TempDir temp;
    BastorEngine engine(temp.path);
    engine.setAuditEnabled(true);
    engine.setEnabled(true);  // entry 1
    constexpr int kWriters = 6, kEvents = 20, kRuns = 3, kSwitches = 20;
    std::atomic<int> failures{0}, brokenWhileWriting{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&] {
            for (int i = 0; i < kEvents; ++i) {
                engine.recordEvent(AuditEntry{});
                if (i % (kEvents / kRuns + 1) != 0) continue;
                const BastorResult result = engine.execute(requestFor({"true"}));
                if (result.exitCode != 0 || !result.auditID) ++failures;
            }
        });
    }
    std::atomic<bool> writing{true};
    std::thread reader([&] {  // reads hold the engine, so never see a half-written chain
        while (writing) {
            if (!engine.verifyAudit().intact) ++brokenWhileWriting;
            (void)engine.readAudit(0, 1000);
        }
    });
    for (int i = 0; i < kSwitches; ++i)
        engine.setEnabled(true);
    for (auto& writer : writers)
        writer.join();
    writing = false;
    reader.join();

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(brokenWhileWriting, 0);
    // Intact means seq 1..N without gaps.
    EXPECT_EQ(engine.verifyAudit(), verdict(1 + kWriters * (kEvents + 2 * kRuns) + kSwitches));
}

}  // namespace bastor::test
