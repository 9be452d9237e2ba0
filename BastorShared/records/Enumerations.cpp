#include "BastorShared/records/Enumerations.h"

namespace bastor {

namespace {
template <class Enum, std::size_t N>
std::optional<Enum> lookup(std::string_view text, const std::array<Enum, N>& cases) {
    for (Enum value : cases)
        if (rawValue(value) == text) return value;
    return std::nullopt;
}
}  // namespace

std::string_view rawValue(BastorApprovalMethod value) {
    return value == BastorApprovalMethod::manual ? "manual" : "auto";
}

std::string_view rawValue(BastorAuthMethod value) {
    return value == BastorAuthMethod::biometry ? "biometry" : "password";
}

std::string_view rawValue(BastorAuditEvent value) {
    switch (value) {
        case BastorAuditEvent::requested:
            return "requested";
        case BastorAuditEvent::denied:
            return "denied";
        case BastorAuditEvent::timedOut:
            return "timed_out";
        case BastorAuditEvent::approved:
            return "approved";
        case BastorAuditEvent::completed:
            return "completed";
        case BastorAuditEvent::failed:
            return "failed";
        case BastorAuditEvent::bastorEnabled:
            return "bastor_enabled";
        case BastorAuditEvent::bastorDisabled:
            return "bastor_disabled";
    }
    return {};
}

template <>
std::optional<BastorApprovalMethod> fromRawValue<BastorApprovalMethod>(std::string_view text) {
    return lookup(text, std::array{BastorApprovalMethod::manual, BastorApprovalMethod::automatic});
}

template <>
std::optional<BastorAuthMethod> fromRawValue<BastorAuthMethod>(std::string_view text) {
    return lookup(text, std::array{BastorAuthMethod::biometry, BastorAuthMethod::password});
}

template <>
std::optional<BastorAuditEvent> fromRawValue<BastorAuditEvent>(std::string_view text) {
    return lookup(text, allAuditEvents);
}

}  // namespace bastor
