#pragma once

#include <filesystem>

namespace bastor {

// The helper's three persistent switches, the content of "state.json".
struct BastorState {
    bool enabled = false;
    bool autoApproval = false;
    bool auditEnabled = false;

    // Reads a state file. A missing, unreadable or malformed file, or one with
    // any non-boolean switch, gives the all-false state; never fails.
    [[nodiscard]] static BastorState load(const std::filesystem::path& from);

    friend bool operator==(const BastorState&, const BastorState&) = default;
};

}  // namespace bastor
