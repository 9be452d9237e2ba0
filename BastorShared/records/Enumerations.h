#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace bastor {

// How the user approved a request. (`auto` is a C++ keyword, hence `automatic`;
// its raw value is "auto".)
enum class BastorApprovalMethod { manual, automatic };

// How the approving user proved presence.
enum class BastorAuthMethod { biometry, password };

// The kind of an audit entry.
enum class BastorAuditEvent {
    requested,
    denied,
    timedOut,
    approved,
    completed,
    failed,
    bastorEnabled,
    bastorDisabled,
};

inline constexpr std::array<BastorAuditEvent, 8> allAuditEvents = {
    BastorAuditEvent::requested,     BastorAuditEvent::denied,         BastorAuditEvent::timedOut,
    BastorAuditEvent::approved,      BastorAuditEvent::completed,      BastorAuditEvent::failed,
    BastorAuditEvent::bastorEnabled, BastorAuditEvent::bastorDisabled,
};

[[nodiscard]] std::string_view rawValue(BastorApprovalMethod value);
[[nodiscard]] std::string_view rawValue(BastorAuthMethod value);
[[nodiscard]] std::string_view rawValue(BastorAuditEvent value);

// The case whose string matches exactly (case-sensitive), or nothing.
template <class Enum>
[[nodiscard]] std::optional<Enum> fromRawValue(std::string_view text);

template <>
std::optional<BastorApprovalMethod> fromRawValue<BastorApprovalMethod>(std::string_view text);
template <>
std::optional<BastorAuthMethod> fromRawValue<BastorAuthMethod>(std::string_view text);
template <>
std::optional<BastorAuditEvent> fromRawValue<BastorAuditEvent>(std::string_view text);

}  // namespace bastor
