#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>

// Key lookup for the decoders, and the audit entry's keys, which the strict
// decoder and the canonical-line reader share. Internal to the JSON code.
namespace bastor::BastorJSON::detail {

// Finds a record's keys by length first; no record has more than three keys
// of one length, so a lookup is a switch and a few compares.
template <std::size_t N>
class KeyTable {
  public:
    static constexpr std::size_t kMaxLength = 24;

    constexpr explicit KeyTable(const std::array<std::string_view, N>& keys) : keys_(keys) {
        for (std::size_t i = 0; i < N; ++i) {
            const std::size_t length = keys[i].size();
            if (length > kMaxLength) throw "key too long";
            ++count_[length];
        }
        std::size_t next = 0;
        for (std::size_t length = 0; length <= kMaxLength; ++length) {
            start_[length] = next;
            next += count_[length];
        }
        std::array<std::size_t, kMaxLength + 1> fill = start_;
        for (std::size_t i = 0; i < N; ++i)
            order_[fill[keys[i].size()]++] = static_cast<int>(i);
        for (std::size_t i = 0; i + 1 < N; ++i)
            if (!(keys[i] < keys[i + 1])) throw "keys must be in ascending order";
    }

    [[nodiscard]] int find(std::string_view key) const {
        if (key.size() > kMaxLength) return -1;
        const std::size_t begin = start_[key.size()];
        const std::size_t end = begin + count_[key.size()];
        for (std::size_t j = begin; j < end; ++j) {
            const int i = order_[j];
            if (std::memcmp(keys_[i].data(), key.data(), key.size()) == 0) return i;
        }
        return -1;
    }

    [[nodiscard]] std::string_view name(int i) const { return keys_[i]; }
    [[nodiscard]] static constexpr std::size_t size() { return N; }

  private:
    std::array<std::string_view, N> keys_{};
    std::array<std::size_t, kMaxLength + 1> start_{};
    std::array<std::size_t, kMaxLength + 1> count_{};
    std::array<int, N> order_{};
};

constexpr std::uint32_t maskOf(std::initializer_list<int> indices) {
    std::uint32_t mask = 0;
    for (int i : indices)
        mask |= 1u << i;
    return mask;
}

enum AuditKey {
    kApprovalMethod,
    kApprover,
    kArgv,
    kAuthMethod,
    kClient,
    kCwd,
    kDurationMs,
    kError,
    kEvent,
    kExitCode,
    kHash,
    kId,
    kPrevHash,
    kReason,
    kRequestId,
    kResolvedPath,
    kSeq,
    kStderr,
    kStderrBytes,
    kStderrSha256,
    kStdinBytes,
    kStdinSha256,
    kStdout,
    kStdoutBytes,
    kStdoutSha256,
    kTime,
};
inline constexpr KeyTable<26> kAuditKeys({
    "approval_method", "approver",      "argv",        "auth_method",   "client", "cwd",
    "duration_ms",     "error",         "event",       "exit_code",     "hash",   "id",
    "prev_hash",       "reason",        "request_id",  "resolved_path", "seq",    "stderr",
    "stderr_bytes",    "stderr_sha256", "stdin_bytes", "stdin_sha256",  "stdout", "stdout_bytes",
    "stdout_sha256",   "time",
});
static_assert(kAuditKeys.size() == kTime + 1);
inline constexpr std::uint32_t kAuditRequired =
    maskOf({kArgv, kClient, kCwd, kEvent, kId, kPrevHash, kReason, kRequestId, kResolvedPath, kSeq,
            kTime});

}  // namespace bastor::BastorJSON::detail
