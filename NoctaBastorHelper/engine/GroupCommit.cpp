#include "NoctaBastorHelper/engine/GroupCommit.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "BastorShared/platform/FileSync.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/ThreadBatch.h"

namespace bastor {

GroupCommit::GroupCommit(JournalLogger logger)
    : logger_(std::move(logger)), thread_([this] { syncLoop(); }) {}

GroupCommit::~GroupCommit() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_one();
    thread_.join();
}

GroupCommit::Ticket GroupCommit::written(std::shared_ptr<const UniqueFd> file,
                                         std::filesystem::path path, Record record) {
    std::lock_guard lock(mutex_);
    file_ = std::move(file);
    path_ = std::move(path);
    records_.push_back(std::move(record));
    return ++written_;
}

void GroupCommit::await(Ticket ticket) {
    std::unique_lock lock(mutex_);
    while (settledThrough_ < ticket) {
        if (syncing_) {
            settled_.wait(lock);
        } else {
            syncBatch(lock);
        }
    }
    if (auto failure = failureOf(ticket)) std::rethrow_exception(failure);
}

void GroupCommit::whenDurable(Ticket ticket, Settled settled) {
    std::exception_ptr failure;
    {
        std::lock_guard lock(mutex_);
        if (settledThrough_ < ticket) {
            callbacks_.emplace_back(ticket, std::move(settled));
            work_.notify_one();
            return;
        }
        failure = failureOf(ticket);
    }
    settled(failure);
}

void GroupCommit::syncLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        // Callbacks of settled tickets run first, in the order they came,
        // without the lock.
        const auto pending =
            std::stable_partition(callbacks_.begin(), callbacks_.end(),
                                  [&](const auto& c) { return c.first > settledThrough_; });
        if (pending != callbacks_.end()) {
            std::vector<std::pair<Settled, std::exception_ptr>> due;
            for (auto c = pending; c != callbacks_.end(); ++c)
                due.emplace_back(std::move(c->second), failureOf(c->first));
            callbacks_.erase(pending, callbacks_.end());
            lock.unlock();
            {
                // A sync settles many calls; their replies leave together.
                ThreadBatch batch;
                for (auto& [settled, failure] : due)
                    settled(failure);
            }
            lock.lock();
            continue;
        }
        // Only lines someone waits for: a waiter syncs for itself otherwise.
        if (written_ > settledThrough_ && (!callbacks_.empty() || stopping_)) {
            if (syncing_) {
                settled_.wait(lock);
            } else {
                syncBatch(lock);
            }
            continue;
        }
        if (stopping_) return;
        work_.wait(lock);
    }
}

void GroupCommit::syncBatch(std::unique_lock<std::mutex>& lock) {
    syncing_ = true;
    const Ticket target = written_;
    const Ticket from = settledThrough_ + 1;
    const auto file = file_;
    const auto path = path_;
    std::vector<Record> records(
        std::make_move_iterator(records_.begin()),
        std::make_move_iterator(records_.begin() + static_cast<long>(target - settledThrough_)));
    records_.erase(records_.begin(),
                   records_.begin() + static_cast<long>(target - settledThrough_));
    lock.unlock();

    int error = 0;
    try {
        FileSync::syncData(file->get(), path);
    } catch (const SystemError& failure) {
        error = failure.code();
    }
    // Sent even after a failed sync: the lines are in the file, and a
    // witness that outlives them is the alarm such a loss deserves.
    for (const Record& record : records)
        logger_.notice(record.message, record.fields);

    lock.lock();
    if (error != 0) {
        // A run of failing batches is one range, so the list stays short
        // while a device keeps failing.
        if (!failures_.empty() && failures_.back().through + 1 == from &&
            failures_.back().error == error && failures_.back().file == path.string()) {
            failures_.back().through = target;
        } else {
            failures_.push_back({from, target, error, path.string()});
            if (failures_.size() > keptFailures) failures_.pop_front();
        }
    }
    settledThrough_ = target;
    syncing_ = false;
    settled_.notify_all();
    // A waiter may have settled tickets the sync thread holds callbacks for.
    if (!callbacks_.empty()) work_.notify_one();
}

std::exception_ptr GroupCommit::failureOf(Ticket ticket) const {
    for (const Failure& failure : failures_) {
        if (ticket >= failure.from && ticket <= failure.through)
            return std::make_exception_ptr(
                SystemError("could not sync", failure.file, failure.error));
    }
    return nullptr;
}

}  // namespace bastor
