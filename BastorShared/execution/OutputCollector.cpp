#include "BastorShared/execution/OutputCollector.h"

#include <algorithm>

#include "BastorShared/platform/Utf8.h"

namespace bastor {

OutputCollector::OutputCollector(std::int64_t limit) : limit_(std::max<std::int64_t>(limit, 0)) {}

void OutputCollector::append(std::string_view chunk) {
    const std::lock_guard guard(lock_);
    hasher_.update(chunk);
    byteCount_ += static_cast<std::int64_t>(chunk.size());
    const auto keep = limit_ - static_cast<std::int64_t>(prefix_.size());
    if (keep >= 1)
        prefix_.append(
            chunk.substr(0, std::min<std::size_t>(static_cast<std::size_t>(keep), chunk.size())));
}

OutputCollector::Output OutputCollector::finish() const {
    const std::lock_guard guard(lock_);
    return Output{repairUtf8(prefix_), byteCount_ > limit_, hasher_.hexDigest(), byteCount_};
}

}  // namespace bastor
