#include "NoctaBastorHelper/transport/PeerRefusal.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace bastor {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<Clock::rep> lastNotice{Clock::duration::min().count()};

// Claims the notice of the current second; false when one went out less than
// a second ago.
bool claimNotice() {
    const auto now = Clock::now().time_since_epoch().count();
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1));
    auto last = lastNotice.load();
    do {
        if (last != Clock::duration::min().count() && now - last < interval.count()) return false;
    } while (!lastNotice.compare_exchange_weak(last, now));
    return true;
}

}  // namespace

void reportRefusedPeer(uid_t uid, pid_t pid, std::string_view executable,
                       std::string_view reason) noexcept {
    try {
        if (!claimNotice()) return;
        const std::string shown =
            executable.empty() ? "an unknown program" : std::string(executable);
        std::vector<std::string> texts = {
            "MESSAGE=Refused a client, uid " + std::to_string(uid) + ", pid " +
                std::to_string(pid) + ", running " + shown + ": " + std::string(reason),
            "PRIORITY=5",
            "SYSLOG_IDENTIFIER=NoctaBastorHelper",
            "SUBSYSTEM=com.nocta.nocta.bastor",
            "CATEGORY=peer",
            "BASTOR_PEER_UID=" + std::to_string(uid),
            "BASTOR_PEER_PID=" + std::to_string(pid),
            "BASTOR_PEER_EXE=" + std::string(executable),
        };
        std::vector<iovec> parts;
        for (std::string& text : texts)
            parts.push_back({text.data(), text.size()});
        (void)sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
    } catch (...) {
    }
}

}  // namespace bastor
