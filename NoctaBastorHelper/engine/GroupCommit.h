#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "BastorShared/platform/UniqueFd.h"
#include "NoctaBastorHelper/engine/JournalLogger.h"

namespace bastor {

// Makes written audit lines durable in shared batches. The writer reports
// each line it wrote, holding the store's lock, and gets a ticket; callers
// then wait for their tickets without that lock. The first waiter that finds
// no sync running syncs the newest file, which covers every line written
// before the call, and wakes everyone it covered: concurrent appends share
// one fdatasync. A line's journald record goes out once the line is durable,
// in ticket order, so a witness never names an entry that a power loss could
// take back. Thread-safe.
class GroupCommit {
  public:
    using Ticket = std::uint64_t;

    struct Record {
        std::string message;
        JournalFields fields;
    };

    explicit GroupCommit(JournalLogger logger) : logger_(std::move(logger)) {}

    // A line was written to `file` (named `path`). Tickets ascend from 1.
    Ticket written(std::shared_ptr<const UniqueFd> file, std::filesystem::path path, Record record);

    // Returns once every line up to `ticket` is on stable storage; throws
    // SystemError when the sync meant to cover it failed.
    void await(Ticket ticket);

  private:
    struct Failure {
        Ticket from, through;
        int error;
        std::string file;
    };
    static constexpr std::size_t keptFailures = 4096;

    void throwIfFailed(Ticket ticket) const;  // with mutex_ held

    const JournalLogger logger_;
    std::mutex mutex_;  // guards everything below
    std::condition_variable done_;
    Ticket written_ = 0;
    Ticket settled_ = 0;  // synced, or failed and recorded in failures_
    bool syncing_ = false;
    std::shared_ptr<const UniqueFd> file_;
    std::filesystem::path path_;
    std::deque<Record> records_;  // of tickets settled_ + 1 ... written_
    std::deque<Failure> failures_;
};

}  // namespace bastor
