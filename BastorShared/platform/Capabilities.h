#pragma once

namespace bastor {

// Whether the calling thread holds `capability` (a CAP_* number from
// <linux/capability.h>) in its effective set. False when it cannot be told.
// Never fails; thread-safe.
[[nodiscard]] bool hasEffectiveCapability(unsigned capability) noexcept;

}  // namespace bastor
