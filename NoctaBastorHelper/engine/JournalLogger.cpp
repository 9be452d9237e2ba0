#include "NoctaBastorHelper/engine/JournalLogger.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include "BastorShared/records/BastorXPCEndpoint.h"

namespace bastor {

static_assert(BastorXPCEndpoint::helperIdentifier == "com.nocta.nocta.bastor",
              "the SUBSYSTEM field below names the helper");

void JournalLogger::notice(std::string_view message, const JournalFields& fields) const noexcept {
    try {
        std::vector<std::string> texts;
        texts.reserve(fields.size() + 5);
        texts.push_back("MESSAGE=" + std::string(message));
        texts.emplace_back("PRIORITY=5");
        texts.emplace_back("SYSLOG_IDENTIFIER=NoctaBastorHelper");
        texts.emplace_back("SUBSYSTEM=com.nocta.nocta.bastor");
        texts.emplace_back("CATEGORY=audit");
        for (const JournalField& field : fields)
            texts.push_back(field.name + "=" + field.value);
        std::vector<iovec> parts;
        parts.reserve(texts.size());
        for (std::string& text : texts)
            parts.push_back({text.data(), text.size()});
        // Without journald the call fails; logging never fails an append.
        (void)sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
    } catch (...) {
    }
}

}  // namespace bastor
