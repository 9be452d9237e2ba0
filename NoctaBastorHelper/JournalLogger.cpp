#include "NoctaBastorHelper/JournalLogger.h"

#include <systemd/sd-journal.h>

#include <string>

#include "BastorShared/records/BastorXPCEndpoint.h"

namespace bastor {

static_assert(BastorXPCEndpoint::helperIdentifier == "com.nocta.nocta.bastor",
              "the SUBSYSTEM field below names the helper");

void JournalLogger::notice(std::string_view message) const noexcept {
    try {
        const std::string text(message);
        // Without journald the call fails; logging never fails an append.
        (void)sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=5",
                              "SYSLOG_IDENTIFIER=NoctaBastorHelper",
                              "SUBSYSTEM=com.nocta.nocta.bastor", "CATEGORY=audit", nullptr);
    } catch (...) {
    }
}

}  // namespace bastor
