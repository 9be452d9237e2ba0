#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "BastorShared/platform/Uuid.h"
#include "BastorShared/records/BastorClientInfo.h"
#include "BastorShared/records/Enumerations.h"

namespace bastor {

// A command the user approved, with how and by whom.
struct BastorRequest {
    Uuid id;
    std::vector<std::string> argv;
    std::string resolvedPath;
    std::string cwd;
    std::optional<std::string> stdin;
    std::int64_t timeoutSeconds = 0;
    std::string reason;
    BastorClientInfo client;
    BastorApprovalMethod approvalMethod = BastorApprovalMethod::manual;
    std::optional<std::string> approver;
    std::optional<BastorAuthMethod> authMethod;

    static constexpr std::size_t maxArguments = 256;
    static constexpr std::size_t maxReasonCharacters = 2000;
    static constexpr std::size_t maxStdinBytes = 1048576;
    static constexpr std::int64_t minTimeoutSeconds = 1;
    static constexpr std::int64_t maxTimeoutSeconds = 3600;
    static constexpr std::int64_t defaultTimeoutSeconds = 300;

    // Checks the limits in a fixed order and throws BastorError::invalidInput
    // with the message of the first that fails. Never changes the record.
    void validate() const;

    // A fresh request for the client side: new id, empty resolvedPath, cwd "/"
    // and a 300-second timeout unless given, manual approval; validated.
    [[nodiscard]] static BastorRequest validated(std::vector<std::string> argv,
                                                 std::optional<std::string> cwd,
                                                 std::optional<std::string> stdin,
                                                 std::optional<std::int64_t> timeoutSeconds,
                                                 std::string reason, BastorClientInfo client);
};

}  // namespace bastor
