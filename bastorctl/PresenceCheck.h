#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "BastorShared/records/Enumerations.h"
#include "bastorctl/TerminalPrompt.h"

namespace bastor {

// How proving presence ended. `method` is set only for `proven`, and only
// when the conversation shows how: "password" once a secret was typed,
// "biometry" when only messages were shown (a fingerprint reader, say).
struct Presence {
    enum class Outcome { proven, refused, timedOut };
    Outcome outcome = Outcome::refused;
    std::optional<BastorAuthMethod> method;
};

// Has the person at `terminal` authenticate as `user` through PAM service
// `service`, and checks the account (an expired or locked one is refused).
// The conversation happens on the terminal only: prompts as PAM gives them,
// secrets unechoed, messages shown. At most three tries; Ctrl-C, end of
// input or a hang-up refuses; `deadline` passing times out. Runs with the
// process's own credentials. Never throws for the person's answers; not
// thread-safe (PAM and the signal handlers are process-wide).
[[nodiscard]] Presence provePresence(TerminalPrompt& terminal, const std::string& user,
                                     std::chrono::steady_clock::time_point deadline,
                                     const std::string& service = "bastorctl");

}  // namespace bastor
