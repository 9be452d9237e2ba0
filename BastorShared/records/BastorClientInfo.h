#pragma once

#include <string>

namespace bastor {

// Who sent a request.
struct BastorClientInfo {
    std::string name;
    std::string version;

    // name, or name + " " + version when version is not empty.
    [[nodiscard]] std::string displayName() const {
        return version.empty() ? name : name + " " + version;
    }

    friend bool operator==(const BastorClientInfo&, const BastorClientInfo&) = default;
};

}  // namespace bastor
