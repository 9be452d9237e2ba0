#include "NoctaBastorHelper/engine/KernelAuditLog.h"

#include <libaudit.h>
#include <linux/capability.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "BastorShared/platform/Capabilities.h"

namespace bastor {
namespace {

// A record holds at most MAX_AUDIT_MESSAGE_LENGTH bytes and hex doubles a
// value: these caps keep both fields, encoded, well inside it.
constexpr std::size_t maxCommandBytes = 2048;
constexpr std::size_t maxCwdBytes = 1024;

std::string encoded(const char* name, std::string value, std::size_t limit) {
    if (value.size() > limit) value.resize(limit);
    const std::unique_ptr<char, decltype(&std::free)> text(
        audit_encode_nv_string(name, value.c_str(), static_cast<unsigned>(value.size())),
        &std::free);
    return text ? text.get() : std::string(name) + "=?";
}

}  // namespace

KernelAuditLog::KernelAuditLog(Connection connection) {
    if (connection == Connection::unavailable) return;
    fd_ = audit_open();
    if (fd_ < 0) {
        giveUp(std::string("the kernel's audit socket cannot be opened: ") + std::strerror(errno));
    } else if (!hasEffectiveCapability(CAP_AUDIT_WRITE)) {
        giveUp("the helper lacks CAP_AUDIT_WRITE");
    }
}

KernelAuditLog::~KernelAuditLog() {
    if (fd_ >= 0) audit_close(fd_);
}

bool KernelAuditLog::available() const {
    std::lock_guard lock(mutex_);
    return fd_ >= 0;
}

std::string KernelAuditLog::message(const std::vector<std::string>& argv, const std::string& cwd,
                                    std::optional<uid_t> requester) {
    std::string commandLine;
    for (const std::string& argument : argv) {
        if (!commandLine.empty()) commandLine += ' ';
        commandLine += argument;
    }
    std::string text =
        encoded("cwd", cwd, maxCwdBytes) + " " + encoded("cmd", commandLine, maxCommandBytes);
    // "id" is the field auparse reads as the uid acted for; the record's own
    // uid and auid are the helper's.
    if (requester) text += " id=" + std::to_string(*requester);
    return text;
}

void KernelAuditLog::commandRan(const std::vector<std::string>& argv, const std::string& cwd,
                                std::optional<uid_t> requester, bool succeeded) noexcept {
    try {
        const std::string text = message(argv, cwd, requester);
        std::lock_guard lock(mutex_);
        if (fd_ < 0) return;
        // No host name or address: libaudit would otherwise look them up.
        const int sent = audit_log_user_message(fd_, AUDIT_USER_CMD, text.c_str(), nullptr, "?",
                                                "?", succeeded ? 1 : 0);
        if (sent > 0) return;
        // libaudit answers 0 for a kernel that refuses the connection (as in
        // a container) and -errno otherwise. Refusals last for the life of
        // the process; anything else is this one record's loss.
        const int error = sent == 0 ? ECONNREFUSED : -sent;
        if (error == EPERM || error == ECONNREFUSED || error == EPROTONOSUPPORT)
            giveUp(std::string("the kernel refused a record: ") + std::strerror(error));
    } catch (...) {
    }
}

void KernelAuditLog::giveUp(const std::string& reason) noexcept {
    if (fd_ >= 0) audit_close(fd_);
    fd_ = -1;
    logger_.notice("Commands run are not recorded in the kernel's audit trail (" + reason +
                   "); the helper's own audit log and journald still record them.");
}

}  // namespace bastor
