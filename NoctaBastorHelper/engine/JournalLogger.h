#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bastor {

// One structured field of a journald record, such as {"BASTOR_SEQ", "12"}.
// Names are upper-case ASCII, digits and '_'; values are any bytes.
struct JournalField {
    std::string name;
    std::string value;
};
using JournalFields = std::vector<JournalField>;

// Notice-level messages to journald under the helper's identifier, category
// "audit", with optional extra fields. Does nothing where journald is absent;
// never fails. Thread-safe.
class JournalLogger {
  public:
    void notice(std::string_view message, const JournalFields& fields = {}) const noexcept;
};

}  // namespace bastor
