#include "BastorShared/platform/ThreadBatch.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace bastor {

namespace {

struct Deferred {
    const void* key;
    std::function<void()> work;
};

thread_local int depth = 0;
thread_local std::vector<Deferred> deferred;

}  // namespace

ThreadBatch::ThreadBatch() {
    ++depth;
}

ThreadBatch::~ThreadBatch() {
    if (--depth > 0) return;
    // Work run here may defer more; it runs at once, as no batch is open.
    std::vector<Deferred> due;
    due.swap(deferred);
    for (Deferred& item : due)
        item.work();
}

bool ThreadBatch::defer(const void* key, const std::function<void()>& work) {
    if (depth == 0) return false;
    const bool waiting = std::any_of(deferred.begin(), deferred.end(),
                                     [key](const Deferred& item) { return item.key == key; });
    if (!waiting) deferred.push_back({key, work});
    return true;
}

}  // namespace bastor
