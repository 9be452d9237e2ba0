#include "NoctaBastorHelper/engine/GroupCommit.h"

#include <utility>
#include <vector>

#include "BastorShared/platform/FileSync.h"
#include "BastorShared/platform/SystemError.h"

namespace bastor {

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
    while (settled_ < ticket) {
        if (syncing_) {
            done_.wait(lock);
            continue;
        }
        // This thread syncs for everyone whose line is written by now.
        syncing_ = true;
        const Ticket target = written_;
        const auto file = file_;
        const auto path = path_;
        std::vector<Record> records(
            std::make_move_iterator(records_.begin()),
            std::make_move_iterator(records_.begin() + static_cast<long>(target - settled_)));
        records_.erase(records_.begin(), records_.begin() + static_cast<long>(target - settled_));
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
            if (!failures_.empty() && failures_.back().through == settled_ &&
                failures_.back().error == error && failures_.back().file == path.string()) {
                failures_.back().through = target;
            } else {
                failures_.push_back({settled_ + 1, target, error, path.string()});
                if (failures_.size() > keptFailures) failures_.pop_front();
            }
        }
        settled_ = target;
        syncing_ = false;
        done_.notify_all();
    }
    throwIfFailed(ticket);
}

void GroupCommit::throwIfFailed(Ticket ticket) const {
    for (const Failure& failure : failures_) {
        if (ticket >= failure.from && ticket <= failure.through)
            throw SystemError("could not sync", failure.file, failure.error);
    }
}

}  // namespace bastor
