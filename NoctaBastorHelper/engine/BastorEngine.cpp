#include "NoctaBastorHelper/engine/BastorEngine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <system_error>
#include <utility>

#include "BastorShared/audit/AuditEntries.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/platform/Uuid.h"
#include "BastorShared/records/BastorJSON.h"
#include "NoctaBastorHelper/engine/AuditReader.h"
#include "NoctaBastorHelper/engine/EngineFiles.h"

namespace bastor {

namespace {

// Failures are left for the first save or append to report.
std::filesystem::path prepareDirectory(std::filesystem::path directory) {
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    (void)::chmod(directory.c_str(), 0700);
    return directory;
}

// Unlinks the temporary file unless it was renamed into place.
class TemporaryFile {
  public:
    explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!kept_) (void)::unlink(path_.c_str());
    }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    void keep() { kept_ = true; }

  private:
    std::filesystem::path path_;
    bool kept_ = false;
};

}  // namespace

BastorEngine::BastorEngine(std::filesystem::path directory, KernelAuditLog::Connection kernelAudit,
                           const std::string& cgroupRoot)
    : directory_(prepareDirectory(std::move(directory))),
      stateURL_(directory_ / "state.json"),
      kernelAudit_(kernelAudit),
      executor_(cgroupRoot),
      currentState_(BastorState::load(stateURL_)),
      audit_(directory_) {
    const RunCgroups& cgroups = executor_.cgroups();
    const JournalLogger logger;
    if (!cgroups.usable())
        logger.notice(
            "Commands run without a cgroup of their own, held only by their process "
            "group: " +
            cgroups.problem());
    if (const int leftovers = cgroups.leftoversRemoved(); leftovers > 0)
        logger.notice("Killed and removed " + std::to_string(leftovers) +
                          " run cgroup(s) left by an earlier start",
                      {{"BASTOR_LEFTOVER_CGROUPS", std::to_string(leftovers)}});
}

// The limiter, the last member, goes first: waiting executions end as
// abandoned and running ones finish while the audit store still exists.
BastorEngine::~BastorEngine() = default;

BastorState BastorEngine::currentState() const {
    std::lock_guard lock(mutex_);
    return currentState_;
}

BastorState BastorEngine::setEnabled(bool value, const JournalFields& journal) {
    std::optional<AuditStore::Written> written;
    BastorState state;
    {
        std::lock_guard lock(mutex_);
        const bool wasAuditing = currentState_.auditEnabled;
        currentState_.enabled = value;
        saveState();
        // Recorded whenever auditing was on, even when the value did not change.
        if (wasAuditing) written = audit_.write(AuditEntries::makeSwitchEntry(value), journal);
        state = currentState_;
    }
    if (written) audit_.awaitDurable(written->ticket);
    return state;
}

BastorState BastorEngine::setAutoApproval(bool value) {
    std::lock_guard lock(mutex_);
    currentState_.autoApproval = value;
    saveState();
    return currentState_;
}

BastorState BastorEngine::setAuditEnabled(bool value) {
    std::lock_guard lock(mutex_);
    currentState_.auditEnabled = value;
    saveState();
    return currentState_;
}

void BastorEngine::recordEvent(const AuditEntry& entry, const JournalFields& journal,
                               GroupCommit::Settled done) {
    std::optional<AuditStore::Written> written;
    {
        std::lock_guard lock(mutex_);
        if (currentState_.auditEnabled) written = audit_.write(entry, journal);
    }
    // Waiting without the mutex, and without a thread, lets every append in
    // flight share one sync.
    if (written) return audit_.whenDurable(written->ticket, std::move(done));
    done(nullptr);
}

void BastorEngine::recordEvent(const AuditEntry& entry, const JournalFields& journal) {
    std::promise<std::exception_ptr> settled;
    auto future = settled.get_future();
    recordEvent(entry, journal,
                [&settled](std::exception_ptr failure) { settled.set_value(std::move(failure)); });
    if (auto failure = future.get()) std::rethrow_exception(failure);
}

std::vector<AuditEntry> BastorEngine::readAudit(std::int64_t offset, std::int64_t limit,
                                                std::size_t maxSentBytes) const {
    std::lock_guard lock(mutex_);
    return AuditReader::readPage(directory_, offset, limit, auditIndex_, maxSentBytes);
}

BastorVerification BastorEngine::verifyAudit() const {
    std::lock_guard lock(mutex_);
    return AuditReader::verify(directory_);
}

void BastorEngine::saveState() {
    const std::string bytes = BastorJSON::encode(currentState_);
    const std::string where = stateURL_.string();

    // Same directory, so the rename is atomic; the leading dot keeps it out
    // of the audit file listing.
    TemporaryFile temporary(directory_ / (".state.json." + Uuid::random().text()));
    {
        UniqueFd fd(::open(temporary.path().c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd) throwSystemError("could not write", where);
        // The umask may have narrowed the mode further.
        if (::fchmod(fd.get(), 0600) != 0) throwSystemError("could not write", where);
        if (const int error = EngineFiles::writeAll(fd.get(), bytes); error != 0)
            throw SystemError("could not write", where, error);
        if (::fsync(fd.get()) != 0) throwSystemError("could not write", where);
    }
    if (::rename(temporary.path().c_str(), stateURL_.c_str()) != 0)
        throwSystemError("could not write", where);
    temporary.keep();

    UniqueFd directory(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory || ::fsync(directory.get()) != 0) throwSystemError("could not write", where);
    if (::chmod(stateURL_.c_str(), 0600) != 0)
        throwSystemError("could not set permissions of", where);
}

}  // namespace bastor
