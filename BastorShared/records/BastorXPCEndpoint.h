#pragma once

#include <string_view>

// Identifiers that tie the client and the helper together. The names keep
// their historical form; on Linux the service name also names the socket.
namespace bastor::BastorXPCEndpoint {

inline constexpr std::string_view helperIdentifier = "com.nocta.nocta.bastor";
inline constexpr std::string_view machServiceName = "com.nocta.nocta.bastor.xpc";
inline constexpr std::string_view launchDaemonPlist = "com.nocta.nocta.bastor.plist";
inline constexpr std::string_view appRequirement =
    "identifier \"com.nocta.nocta\" and anchor apple generic and certificate "
    "leaf[subject.OU] = \"Q7XW3M5K2T\"";
inline constexpr std::string_view helperRequirement =
    "identifier \"com.nocta.nocta.bastor\" and anchor apple generic and certificate "
    "leaf[subject.OU] = \"Q7XW3M5K2T\"";

// Where the daemon listens: "/run/" + machServiceName.
inline constexpr std::string_view socketPath = "/run/com.nocta.nocta.bastor.xpc";

// The helper's data directory.
inline constexpr std::string_view helperDirectory = "/Library/Application Support/Nocta/Bastor";

}  // namespace bastor::BastorXPCEndpoint
