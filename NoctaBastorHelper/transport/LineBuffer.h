#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace bastor {

// Bytes read from a socket and not yet consumed. It always keeps `padding`
// spare bytes allocated past its content, so a parser that reads ahead (as
// simdjson does) can work on a line in place instead of on a copy. Grows by
// doubling up to what the caller asks for and no further. Not thread-safe.
class LineBuffer {
  public:
    static constexpr std::size_t padding = 64;

    [[nodiscard]] std::string_view view() const { return {data_.get(), size_}; }
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] std::size_t capacity() const { return capacity_; }

    // Room for at least `want` more bytes; returns where they go.
    char* reserveTail(std::size_t want) {
        if (capacity_ - size_ < want + padding)
            grow(std::max(size_ + want + padding, std::min(capacity_ * 2, limit_)));
        return data_.get() + size_;
    }
    void commit(std::size_t count) { size_ += count; }

    // Drops the first `count` bytes; a large buffer left nearly empty is
    // given back, so one huge line does not cost its room for a client's life.
    void consume(std::size_t count) {
        if (count < size_) std::memmove(data_.get(), data_.get() + count, size_ - count);
        size_ -= count;
        if (capacity_ > kKeptCapacity && size_ < kKeptCapacity / 2) grow(kKeptCapacity);
    }

    // Doubling stops here (a request for more still gets it).
    void setGrowthLimit(std::size_t limit) { limit_ = limit; }

  private:
    static constexpr std::size_t kKeptCapacity = 1u << 20;

    void grow(std::size_t capacity) {
        capacity = std::max(capacity, size_ + padding);
        auto data = std::make_unique_for_overwrite<char[]>(capacity);
        if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
        data_ = std::move(data);
        capacity_ = capacity;
    }

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t limit_ = static_cast<std::size_t>(-1);
};

}  // namespace bastor
