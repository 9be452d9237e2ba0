#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BastorShared/audit/AuditWitness.h"

// Reads the witness records of audit entries from journald, through
// libsystemd's sd_journal: the local journal, or a directory of journal files
// such as a collector's. Throws JournalWitness::Unreadable when the journal
// cannot be read (rights, a broken directory, several machines to choose
// from). Thread-safe: every call opens the journal on its own.
namespace bastor::JournalWitness {

struct Unreadable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Source {
    std::optional<std::filesystem::path> directory;  // none: this machine's journal
    std::optional<std::string> machine;              // a machine id, to pick one of several
};

[[nodiscard]] std::vector<AuditWitness::Record> read(const Source& source);

}  // namespace bastor::JournalWitness
