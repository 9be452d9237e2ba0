#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "BastorShared/platform/UniqueFd.h"
#include "NoctaBastorHelper/engine/JournalLogger.h"

namespace bastor {

// Makes written audit lines durable in shared batches. The writer reports
// each line it wrote, holding the store's lock, and gets a ticket; callers
// then wait for their tickets without that lock, or leave a callback for a
// sync thread. One fdatasync of the newest file covers every line written
// before it, so concurrent appends share it. A waiter that finds no sync
// running syncs itself: waking another thread costs a scheduling delay, a
// long one on a busy machine. A line's journald record goes out once the
// line is durable, in ticket order, so a witness never names an entry that a
// power loss could take back. Thread-safe.
class GroupCommit {
  public:
    using Ticket = std::uint64_t;
    // Called once the line is durable (with nullptr) or its sync failed
    // (with the SystemError).
    using Settled = std::function<void(std::exception_ptr)>;

    struct Record {
        std::string message;
        JournalFields fields;
    };

    explicit GroupCommit(JournalLogger logger);
    // Settles every line written, calling every callback, then stops.
    ~GroupCommit();
    GroupCommit(const GroupCommit&) = delete;
    GroupCommit& operator=(const GroupCommit&) = delete;

    // A line was written to `file` (named `path`). Tickets ascend from 1.
    Ticket written(std::shared_ptr<const UniqueFd> file, std::filesystem::path path, Record record);

    // Returns once every line up to `ticket` is on stable storage; throws
    // SystemError when the sync meant to cover it failed.
    void await(Ticket ticket);

    // Calls `settled` once `ticket` is settled: from the sync thread, or on
    // this thread before returning when it already is. `settled` must not
    // throw.
    void whenDurable(Ticket ticket, Settled settled);

  private:
    struct Failure {
        Ticket from, through;
        int error;
        std::string file;
    };
    static constexpr std::size_t keptFailures = 4096;

    void syncLoop();
    // One fdatasync covering every line written by now; the lock is held on
    // entry and on return, not during the sync.
    void syncBatch(std::unique_lock<std::mutex>& lock);
    [[nodiscard]] std::exception_ptr failureOf(Ticket ticket) const;  // with mutex_ held

    const JournalLogger logger_;
    std::mutex mutex_;                 // guards everything below
    std::condition_variable settled_;  // a batch settled
    std::condition_variable work_;     // for the sync thread
    Ticket written_ = 0;
    Ticket settledThrough_ = 0;  // synced, or failed and recorded in failures_
    bool syncing_ = false;
    bool stopping_ = false;
    std::shared_ptr<const UniqueFd> file_;
    std::filesystem::path path_;
    std::deque<Record> records_;  // of tickets settledThrough_ + 1 ... written_
    std::deque<Failure> failures_;
    std::deque<std::pair<Ticket, Settled>> callbacks_;  // in the order they came
    std::thread thread_;                                // last: starts once all above exist
};

}  // namespace bastor
