#include "BastorShared/audit/ParallelVerifier.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "BastorShared/platform/Processors.h"

namespace bastor {

void RunBuffer::resize(std::size_t n) {
    if (n > capacity_) {
        const std::size_t capacity = std::max(n, capacity_ * 2);
        auto grown = std::make_unique_for_overwrite<char[]>(capacity);
        if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
        data_ = std::move(grown);
        capacity_ = capacity;
    }
    size_ = n;
}

ParallelVerifier::ParallelVerifier(unsigned threads, std::size_t maxQueued)
    : maxQueued_(maxQueued > 0 ? maxQueued : 2 * (threads > 0 ? threads : usableProcessors())) {
    const unsigned count = threads > 0 ? threads : usableProcessors();
    try {
        for (unsigned i = 0; i < count; ++i)
            workers_.emplace_back([this] { work(); });
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        workAvailable_.notify_all();
        for (auto& worker : workers_)
            worker.join();
        throw;
    }
}

ParallelVerifier::~ParallelVerifier() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    workAvailable_.notify_all();
    for (auto& worker : workers_)
        worker.join();
}

void ParallelVerifier::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        workAvailable_.wait(lock, [&] { return stop_ || claimed_ < tasks_.size(); });
        if (stop_) return;
        // A deque keeps references to its elements while others come and go.
        Task& task = tasks_[claimed_++];
        const bool skip = skip_;
        lock.unlock();
        std::optional<AuditChain::VerifiedRun> result;
        if (!skip) result = AuditChain::verifyRun(task.bytes.view());
        lock.lock();
        task.result = std::move(result);
        task.done = true;
        workDone_.notify_all();
    }
}

void ParallelVerifier::joinFinished() {
    while (!tasks_.empty() && tasks_.front().done) {
        Task& task = tasks_.front();
        if (!broken_) {
            if (task.startsFile) verifier_.beginFile();
            // A task without a result was skipped after the break.
            if (task.result && !verifier_.addRun(*task.result)) {
                broken_ = true;
                skip_ = true;
            }
        }
        spare_.push_back(std::move(task.bytes));
        tasks_.pop_front();
        --claimed_;
    }
}

void ParallelVerifier::beginFile() {
    nextStartsFile_ = true;
}

bool ParallelVerifier::addRun(RunBuffer run) {
    std::unique_lock lock(mutex_);
    joinFinished();
    while (!broken_ && tasks_.size() >= maxQueued_) {
        workDone_.wait(lock);
        joinFinished();
    }
    if (broken_) {
        spare_.push_back(std::move(run));
        return false;
    }
    tasks_.push_back(Task{.startsFile = std::exchange(nextStartsFile_, false),
                          .bytes = std::move(run),
                          .result = std::nullopt,
                          .done = false});
    lock.unlock();
    workAvailable_.notify_one();
    return true;
}

RunBuffer ParallelVerifier::buffer() {
    std::lock_guard lock(mutex_);
    if (spare_.empty()) return {};
    RunBuffer buffer = std::move(spare_.back());
    spare_.pop_back();
    buffer.resize(0);
    return buffer;
}

BastorVerification ParallelVerifier::finish() {
    std::unique_lock lock(mutex_);
    joinFinished();
    while (!tasks_.empty()) {
        workDone_.wait(lock);
        joinFinished();
    }
    return verifier_.result();
}

BastorVerification verifyInRuns(const std::vector<std::string_view>& files, std::size_t runBytes,
                                unsigned threads) {
    ParallelVerifier verifier(threads);
    for (std::string_view file : files) {
        verifier.beginFile();
        while (!file.empty()) {
            // Up to the first 0x0A at or after runBytes, or the file's end.
            const std::size_t newline = file.find('\n', std::max<std::size_t>(runBytes, 1) - 1);
            const std::size_t length =
                newline == std::string_view::npos ? file.size() : newline + 1;
            RunBuffer run = verifier.buffer();
            run.resize(length);
            std::memcpy(run.data(), file.data(), length);
            file.remove_prefix(length);
            if (!verifier.addRun(std::move(run))) return verifier.finish();
        }
    }
    return verifier.finish();
}

}  // namespace bastor
