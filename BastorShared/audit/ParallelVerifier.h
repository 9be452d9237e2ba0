#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "BastorShared/audit/AuditChain.h"

// Verification of a chain on several threads. The caller hands over each
// file's bytes in runs of whole lines, in chain order; worker threads check
// the runs (AuditChain::verifyRun) and the caller's thread joins them in order
// (Verifier::addRun), so results are exactly those of the sequential
// verifier. At most maxQueued runs are held at once, however long the chain.
// A ParallelVerifier is driven from one thread; it throws only what thread
// creation and allocation throw.
namespace bastor {

// Bytes of one run. Grows without zero-filling: every byte is read into.
class RunBuffer {
  public:
    [[nodiscard]] char* data() { return data_.get(); }
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] std::string_view view() const { return {data_.get(), size_}; }
    // Keeps the first min(size, n) bytes; the others are unset.
    void resize(std::size_t n);

  private:
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

class ParallelVerifier {
  public:
    // threads 0 means one per core this process may run on.
    explicit ParallelVerifier(unsigned threads = 0, std::size_t maxQueued = 0);
    ~ParallelVerifier();
    ParallelVerifier(const ParallelVerifier&) = delete;
    ParallelVerifier& operator=(const ParallelVerifier&) = delete;

    // Marks the start of a file; its runs follow.
    void beginFile();
    // Queues a run of whole lines of the current file (split at 0x0A, a last
    // piece without one included), waiting while maxQueued runs are held.
    // Returns false once the chain is known to be broken; later runs are
    // then dropped unexamined.
    bool addRun(RunBuffer run);
    // An empty buffer, reusing the memory of a run already checked.
    [[nodiscard]] RunBuffer buffer();
    // Waits for every queued run; the verification of all of them.
    [[nodiscard]] BastorVerification finish();

    [[nodiscard]] unsigned threads() const { return static_cast<unsigned>(workers_.size()); }

  private:
    struct Task {
        bool startsFile = false;
        RunBuffer bytes;
        std::optional<AuditChain::VerifiedRun> result;  // set by a worker
        bool done = false;
    };

    void work();
    // Joins the finished runs at the front of the queue; the caller holds mutex_.
    void joinFinished();

    const std::size_t maxQueued_;
    AuditChain::Verifier verifier_;  // the joining thread's alone
    bool nextStartsFile_ = false;
    bool broken_ = false;

    std::mutex mutex_;  // guards everything below
    std::condition_variable workAvailable_;
    std::condition_variable workDone_;
    std::deque<Task> tasks_;  // oldest first; the first `claimed_` are taken
    std::size_t claimed_ = 0;
    bool skip_ = false;  // the chain broke: workers drop what is left
    bool stop_ = false;
    std::vector<RunBuffer> spare_;

    std::vector<std::thread> workers_;  // last: started once the rest exists
};

// verify(files) with each file cut into runs of about runBytes, checked on
// `threads` threads. For tests and the fuzzer.
[[nodiscard]] BastorVerification verifyInRuns(const std::vector<std::string_view>& files,
                                              std::size_t runBytes, unsigned threads);

}  // namespace bastor
