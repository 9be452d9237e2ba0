#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "BastorShared/platform/Sha256.h"

namespace bastor {

// Captures one output stream of a child with bounded memory: keeps the first
// `limit` bytes for the client, but hashes and counts every byte so the audit
// log can describe the whole stream. Safe to use from two threads.
class OutputCollector {
  public:
    struct Output {
        std::string text;            // the kept bytes as UTF-8, ill-formed parts replaced
        bool truncated = false;      // the stream was strictly longer than the limit
        std::string sha256;          // of the whole stream, 64 lower-case hex digits
        std::int64_t byteCount = 0;  // of the whole stream
    };

    explicit OutputCollector(std::int64_t limit);
    OutputCollector(const OutputCollector&) = delete;
    OutputCollector& operator=(const OutputCollector&) = delete;

    // Feeds the next chunk of the stream, in stream order. Never fails.
    void append(std::string_view chunk);

    // The summary so far; may be called any time and more than once.
    [[nodiscard]] Output finish() const;

    [[nodiscard]] std::int64_t limit() const noexcept { return limit_; }

  private:
    const std::int64_t limit_;
    mutable std::mutex lock_;
    std::string prefix_;
    Sha256 hasher_;
    std::int64_t byteCount_ = 0;
};

}  // namespace bastor
