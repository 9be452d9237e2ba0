#pragma once

#include <sys/types.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "NoctaBastorHelper/engine/JournalLogger.h"

namespace bastor {

// Records each command run as root in the kernel's audit trail: one USER_CMD
// record with the working directory, the command line (hex-encoded where
// auparse needs it), the requesting user's uid when known, and the result.
// Where the kernel has no audit support, or the process may not write to it,
// it says so once in journald and from then on sends nothing. Never fails;
// thread-safe.
class KernelAuditLog {
  public:
    enum class Connection {
        kernel,       // the kernel's audit socket, if it is there
        unavailable,  // as if the kernel had none (for tests and such hosts)
    };

    explicit KernelAuditLog(Connection connection = Connection::kernel);
    ~KernelAuditLog();

    KernelAuditLog(const KernelAuditLog&) = delete;
    KernelAuditLog& operator=(const KernelAuditLog&) = delete;

    // One record for one execute, once its outcome is known: `succeeded` is
    // true only for a command that ran and exited with status 0.
    void commandRan(const std::vector<std::string>& argv, const std::string& cwd,
                    std::optional<uid_t> requester, bool succeeded) noexcept;

    [[nodiscard]] bool available() const;

    // The message part of the record, as sent; exposed for tests.
    [[nodiscard]] static std::string message(const std::vector<std::string>& argv,
                                             const std::string& cwd,
                                             std::optional<uid_t> requester);

  private:
    void giveUp(const std::string& reason) noexcept;  // the caller holds mutex_

    JournalLogger logger_;
    mutable std::mutex mutex_;  // guards the socket: libaudit matches replies on it
    int fd_ = -1;
};

}  // namespace bastor
