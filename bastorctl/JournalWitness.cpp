#include "bastorctl/JournalWitness.h"

#include <systemd/sd-id128.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>

namespace bastor::JournalWitness {

namespace {

constexpr std::string_view refusal =
    "reading the journal needs root or membership in the group systemd-journal";

struct JournalCloser {
    void operator()(sd_journal* journal) const { sd_journal_close(journal); }
};
using Journal = std::unique_ptr<sd_journal, JournalCloser>;

// sd_journal passes over files it may not read without a word, which would
// make a refused journal look like one without witnesses.
bool anyUnreadable(const std::filesystem::path& directory) {
    std::error_code error;
    if (!std::filesystem::exists(directory, error)) return false;
    if (::access(directory.c_str(), R_OK | X_OK) != 0) return true;
    std::filesystem::recursive_directory_iterator entry(directory, error), end;
    for (; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        const bool journalFile = name.ends_with(".journal") || name.ends_with(".journal~");
        if (entry->is_directory(error) ? ::access(entry->path().c_str(), R_OK | X_OK) != 0
                                       : journalFile && ::access(entry->path().c_str(), R_OK) != 0)
            return true;
    }
    return error.value() == EACCES;
}

std::string failure(std::string_view what, int result) {
    return std::string(what) + ": " + std::strerror(-result);
}

// The value when `text` is "NAME=value".
std::optional<std::string_view> valueOf(std::string_view text, std::string_view name) {
    if (text.size() <= name.size() || !text.starts_with(name) || text[name.size()] != '=')
        return std::nullopt;
    return text.substr(name.size() + 1);
}

// Several machines in one directory: their records must not be mixed.
std::optional<std::string> onlyMachine(sd_journal* journal,
                                       const std::filesystem::path& directory) {
    if (const int result = sd_journal_query_unique(journal, "_MACHINE_ID"); result < 0)
        throw Unreadable(failure("could not read the journal in " + directory.string(), result));
    std::vector<std::string> machines;
    const void* data = nullptr;
    std::size_t size = 0;
    SD_JOURNAL_FOREACH_UNIQUE(journal, data, size) {
        std::string_view text(static_cast<const char*>(data), size);
        text.remove_prefix(std::min(text.size(), std::strlen("_MACHINE_ID=")));
        machines.emplace_back(text);
    }
    if (machines.size() <= 1) return std::nullopt;
    std::string list;
    for (const auto& machine : machines)
        list += "\n  " + machine;
    throw Unreadable("the journal in " + directory.string() +
                     " holds several machines; choose one with --machine:" + list);
}

}  // namespace

std::vector<AuditWitness::Record> read(const Source& source) {
    const bool refused =
        source.directory ? anyUnreadable(*source.directory)
                         : anyUnreadable("/var/log/journal") || anyUnreadable("/run/log/journal");
    if (refused) throw Unreadable(std::string(refusal));

    sd_journal* opened = nullptr;
    const int result = source.directory
                           ? sd_journal_open_directory(&opened, source.directory->c_str(), 0)
                           : sd_journal_open(&opened, SD_JOURNAL_LOCAL_ONLY);
    if (result == -EACCES || result == -EPERM) throw Unreadable(std::string(refusal));
    if (result < 0)
        throw Unreadable(failure("could not open the journal" +
                                     (source.directory ? " in " + source.directory->string() : ""),
                                 result));
    const Journal journal(opened);

    std::optional<std::string> machine = source.machine;
    if (!machine && source.directory) {
        (void)onlyMachine(journal.get(), *source.directory);
    } else if (!machine) {
        sd_id128_t id;
        char text[SD_ID128_STRING_MAX];
        if (sd_id128_get_machine(&id) >= 0) machine = sd_id128_to_string(id, text);
    }
    if (machine) {
        const std::string match = "_MACHINE_ID=" + *machine;
        (void)sd_journal_add_match(journal.get(), match.data(), match.size());
    }
    // _UID is set by journald, not by the sender: a user who writes records
    // under the helper's name does not pass for it.
    for (const std::string_view match : {"SYSLOG_IDENTIFIER=NoctaBastorHelper", "_UID=0"})
        (void)sd_journal_add_match(journal.get(), match.data(), match.size());

    // One pass over each entry's fields: looking each one up by name would
    // walk the entry's items once per field.
    (void)sd_journal_set_data_threshold(journal.get(), 128);
    std::vector<AuditWitness::Record> records;
    int step;
    while ((step = sd_journal_next(journal.get())) > 0) {
        AuditWitness::Record record;
        bool haveSeq = false;
        const void* data = nullptr;
        std::size_t size = 0;
        SD_JOURNAL_FOREACH_DATA(journal.get(), data, size) {
            const std::string_view text(static_cast<const char*>(data), size);
            if (!text.starts_with("BASTOR_")) continue;
            if (const auto seq = valueOf(text, "BASTOR_SEQ")) {
                const auto [end, error] =
                    std::from_chars(seq->data(), seq->data() + seq->size(), record.seq);
                haveSeq = error == std::errc() && end == seq->data() + seq->size();
            } else if (const auto hash = valueOf(text, "BASTOR_ENTRY_HASH")) {
                record.entryHash = *hash;
            } else if (const auto digest = valueOf(text, "BASTOR_LINE_SHA256")) {
                record.lineDigest = *digest;
            }
        }
        // Records without a seq are notes, not an entry's witness.
        if (haveSeq) records.push_back(std::move(record));
    }
    if (step < 0) throw Unreadable(failure("could not read the journal", step));
    return records;
}

}  // namespace bastor::JournalWitness
