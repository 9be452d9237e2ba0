#pragma once

#include <string_view>

namespace bastor {

// Notice-level messages to journald under the helper's identifier, category
// "audit". Does nothing where journald is absent; never fails.
class JournalLogger {
  public:
    void notice(std::string_view message) const noexcept;
};

}  // namespace bastor
