#pragma once

// How many processors this process may run on (its CPU affinity), at least
// one. Never fails; thread-safe.
namespace bastor {

[[nodiscard]] unsigned usableProcessors();

}  // namespace bastor
