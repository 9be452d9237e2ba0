#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "BastorShared/platform/DateTime.h"
#include "BastorShared/platform/Uuid.h"
#include "BastorShared/records/BastorClientInfo.h"
#include "BastorShared/records/Enumerations.h"

namespace bastor {

// One record of the audit log. seq, prevHash and hash are set by sealing.
struct AuditEntry {
    Uuid id;
    Uuid requestID;
    std::int64_t seq = 0;
    DateTime time{};
    BastorAuditEvent event = BastorAuditEvent::requested;
    std::vector<std::string> argv;
    std::string resolvedPath;
    std::string cwd;
    std::optional<std::string> stdinSHA256;
    std::optional<std::int64_t> stdinBytes;
    std::string reason;
    BastorClientInfo client;
    std::optional<BastorApprovalMethod> approvalMethod;
    std::optional<std::string> approver;
    std::optional<BastorAuthMethod> authMethod;
    std::optional<std::int32_t> exitCode;
    std::optional<std::int64_t> durationMs;
    std::optional<std::string> stdout;
    std::optional<std::string> stderr;
    std::optional<std::string> stdoutSHA256;
    std::optional<std::string> stderrSHA256;
    std::optional<std::int64_t> stdoutBytes;
    std::optional<std::int64_t> stderrBytes;
    std::optional<std::string> error;
    std::string prevHash;
    std::optional<std::string> hash;
};

// The outcome of verifying the chain.
struct BastorVerification {
    bool intact = true;
    std::int64_t count = 0;                 // entries examined, the broken one included
    std::optional<std::int64_t> brokenSeq;  // absent when intact

    friend bool operator==(const BastorVerification&, const BastorVerification&) = default;
};

}  // namespace bastor
