#include "BastorShared/execution/BastorExecutor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>

#include "BastorShared/execution/CommandResolver.h"
#include "BastorShared/execution/OutputCollector.h"
#include "BastorShared/execution/ProcessTimeout.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorError.h"

namespace bastor {

namespace {

using Clock = std::chrono::steady_clock;

// Reads per wake-up before the other pipe gets its turn.
constexpr int kReadsPerWakeup = 16;
constexpr int kOutputPipeSize = 1 << 20;

[[noreturn]] void launchFailed(std::string_view path, int error) {
    throw SystemError("could not launch", path, error);
}

// The file actions map our descriptors onto 0-2 in order; a source that is
// itself 0-2 could be overwritten before it is used.
UniqueFd aboveStandardStreams(int fd, std::string_view path) {
    UniqueFd owned(fd);
    if (fd > 2) return owned;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) launchFailed(path, errno);
    return UniqueFd(moved);
}

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

Pipe makePipe(std::string_view path) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) launchFailed(path, errno);
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    Pipe pipe;
    pipe.read = aboveStandardStreams(readEnd.release(), path);
    pipe.write = aboveStandardStreams(writeEnd.release(), path);
    return pipe;
}

void setNonBlocking(const UniqueFd& fd) {
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
}

// Owns one posix_spawn attribute or file-action object.
template <class T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
  public:
    SpawnObject() { Init(&object_); }
    ~SpawnObject() { Destroy(&object_); }
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;
    T* get() { return &object_; }

  private:
    T object_;
};
using SpawnActions = SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
                                 ::posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// Writing to a pipe whose reader is gone raises SIGPIPE on the writing
// thread, which would end a process that does not ignore it. Blocked here,
// the signal stays pending on this thread and is taken back before the mask
// is restored, so the write just fails with EPIPE.
class SigpipeBlock {
  public:
    SigpipeBlock() {
        ::sigemptyset(&pipe_);
        ::sigaddset(&pipe_, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
        alreadyPending_ = isPending();
    }
    ~SigpipeBlock() {
        if (!alreadyPending_ && isPending()) {
            const timespec immediately{0, 0};
            ::sigtimedwait(&pipe_, nullptr, &immediately);
        }
        ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  private:
    static bool isPending() {
        sigset_t pending;
        ::sigemptyset(&pending);
        ::sigpending(&pending);
        return ::sigismember(&pending, SIGPIPE) == 1;
    }
    sigset_t pipe_;
    sigset_t previous_;
    bool alreadyPending_ = false;
};

// Kills and reaps a launched child if the run is left by an exception, so
// nothing is left running behind a thrown error.
class ChildReaper {
  public:
    ChildReaper(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
    ~ChildReaper() {
        if (dismissed_) return;
        // The child too: it may have left its group, and waitid would wait for it.
        ::killpg(pid_, SIGKILL);
        ::syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0);
        siginfo_t info{};
        while (::waitid(P_PIDFD, static_cast<id_t>(pidfd_), &info, WEXITED) != 0 &&
               errno == EINTR) {
        }
    }
    ChildReaper(const ChildReaper&) = delete;
    ChildReaper& operator=(const ChildReaper&) = delete;
    void dismiss() { dismissed_ = true; }

  private:
    pid_t pid_;
    int pidfd_;
    bool dismissed_ = false;
};

// One output stream: its non-blocking read end and its collector.
struct Stream {
    UniqueFd fd;
    OutputCollector collector{BastorExecutor::outputLimit};

    // Drains what the pipe holds now; end of file or a read error closes it.
    void drain(char* buffer) {
        for (int reads = 0; reads < kReadsPerWakeup && fd.valid(); ++reads) {
            const ssize_t n = ::read(fd.get(), buffer, BastorExecutor::readChunkSize);
            if (n > 0) {
                collector.append(std::string_view(buffer, static_cast<std::size_t>(n)));
                // A short read means the pipe is empty; spare the EAGAIN.
                if (static_cast<std::size_t>(n) < BastorExecutor::readChunkSize) return;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                return;
            } else {
                fd.reset();
            }
        }
    }
};

// Standard input still to be written; errors end writing silently.
struct Input {
    UniqueFd fd;
    std::string_view remaining;

    void write() {
        while (fd.valid() && !remaining.empty()) {
            const ssize_t n = ::write(fd.get(), remaining.data(), remaining.size());
            if (n > 0) {
                remaining.remove_prefix(static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                return;
            } else {
                fd.reset();
            }
        }
        fd.reset();
    }
};

// glibc's sigfillset leaves out the signals it reserves (32, 33); posix_spawn
// then marks them ignored in the child, and exec keeps that. Nothing can send
// them to the child before exec, so their default is safe to ask for.
sigset_t everySignal() {
    sigset_t set;
    ::sigfillset(&set);
    constexpr int bitsPerWord = 8 * sizeof(set.__val[0]);
    for (int number = 32; number < SIGRTMIN; ++number)
        set.__val[(number - 1) / bitsPerWord] |= 1UL << ((number - 1) % bitsPerWord);
    return set;
}

int pollMilliseconds(Clock::duration wait) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 60'000));
}

std::int32_t terminationStatus(int pidfd) {
    siginfo_t info{};
    while (::waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED) != 0) {
        if (errno != EINTR) return -1;
    }
    // Exit status for an exit, the signal number for a signal: si_status
    // carries whichever applies.
    return info.si_status;
}

}  // namespace

const std::vector<std::string>& BastorExecutor::environment() {
    static const std::vector<std::string> variables{"PATH=" + CommandResolver::pathVariable(),
                                                    "HOME=/var/root", "LANG=en_US.UTF-8",
                                                    "USER=root"};
    return variables;
}

BastorExecution BastorExecutor::run(const BastorRequest& request) {
    request.validate();
    const std::string resolved = CommandResolver::resolve(request.argv.front());
    if (resolved != request.resolvedPath)
        throw BastorError::execution(
            "The resolved executable changed after approval; the command was not run");
    CommandResolver::validateWorkingDirectory(request.cwd);
    // A C string ends at NUL: the child would get a shorter argument than
    // the one the user approved.
    for (const auto& argument : request.argv)
        if (argument.find('\0') != std::string::npos)
            throw BastorError::invalidInput(
                "Arguments must not contain NUL characters; the command was not run");
    return runSynchronously(request);
}

BastorExecution BastorExecutor::runSynchronously(const BastorRequest& request) {
    const auto start = Clock::now();
    const std::string& path = request.resolvedPath;

    Stream out, err;
    UniqueFd outWrite, errWrite, childStdin;
    {
        Pipe pipe = makePipe(path);
        out.fd = std::move(pipe.read);
        outWrite = std::move(pipe.write);
        pipe = makePipe(path);
        err.fd = std::move(pipe.read);
        errWrite = std::move(pipe.write);
    }
    // Larger pipes mean fewer wake-ups for chatty children; refusal is harmless.
    ::fcntl(outWrite.get(), F_SETPIPE_SZ, kOutputPipeSize);
    ::fcntl(errWrite.get(), F_SETPIPE_SZ, kOutputPipeSize);

    Input input;
    std::optional<SigpipeBlock> sigpipeBlock;
    if (request.stdin) {
        Pipe pipe = makePipe(path);
        childStdin = std::move(pipe.read);
        input.fd = std::move(pipe.write);
        input.remaining = *request.stdin;
        sigpipeBlock.emplace();
    } else {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) launchFailed(path, errno);
        childStdin = aboveStandardStreams(fd, path);
    }

    std::vector<char*> argv;
    argv.reserve(request.argv.size() + 1);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (std::size_t i = 1; i < request.argv.size(); ++i)
        argv.push_back(const_cast<char*>(request.argv[i].c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& variable : environment())
        envp.push_back(const_cast<char*>(variable.c_str()));
    envp.push_back(nullptr);

    SpawnActions actions;
    SpawnAttributes attributes;
    const sigset_t defaults = everySignal();
    sigset_t noSignal;
    ::sigemptyset(&noSignal);
    int rc = 0;
    for (const auto& [fd, target] :
         {std::pair{childStdin.get(), 0}, {outWrite.get(), 1}, {errWrite.get(), 2}})
        if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(actions.get(), fd, target);
    if (rc == 0) rc = ::posix_spawn_file_actions_addchdir_np(actions.get(), request.cwd.c_str());
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
    if (rc == 0)
        rc = ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETPGROUP |
                                                              POSIX_SPAWN_SETSIGDEF |
                                                              POSIX_SPAWN_SETSIGMASK);
    if (rc == 0) rc = ::posix_spawnattr_setpgroup(attributes.get(), 0);
    if (rc == 0) rc = ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    if (rc == 0) rc = ::posix_spawnattr_setsigmask(attributes.get(), &noSignal);
    pid_t pid = -1;
    if (rc == 0)
        rc = ::posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(),
                           envp.data());
    if (rc != 0) launchFailed(path, rc);

    // End of file reaches us only once no copy of the child's ends is left here.
    outWrite.reset();
    errWrite.reset();
    childStdin.reset();

    // Called directly: the glibc 2.36 header lacks C linkage for C++.
    const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd) {
        const int error = errno;
        ::killpg(pid, SIGKILL);
        ::kill(pid, SIGKILL);  // unreaped, so the pid is still this child's
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        throw SystemError("could not watch the launched", path, error);
    }
    ChildReaper reaper(pid, pidfd.get());

    const auto deadline = Clock::now() + std::chrono::seconds(request.timeoutSeconds);
    const auto killAt = deadline + ProcessTimeout::gracePeriod;
    std::optional<ProcessTimeout> timeout;
    timeout.emplace(pidfd.get(), pid, true);
    timeout->start(static_cast<double>(request.timeoutSeconds));

    setNonBlocking(out.fd);
    setNonBlocking(err.fd);
    setNonBlocking(input.fd);
    if (input.remaining.empty()) input.fd.reset();

    const auto buffer = std::make_unique<char[]>(readChunkSize);
    bool exited = false;
    bool groupTerminated = false;
    for (;;) {
        int wait = -1;
        if (exited) {
            if (!out.fd && !err.fd) break;
            // Descendants still hold an output pipe: they get the deadline too.
            const auto now = Clock::now();
            if (now >= killAt) {
                ::killpg(pid, SIGKILL);
                break;
            }
            if (now >= deadline && !groupTerminated) {
                ::killpg(pid, SIGTERM);
                groupTerminated = true;
            }
            wait = pollMilliseconds((groupTerminated ? killAt : deadline) - now);
        }

        pollfd fds[4];
        nfds_t count = 0;
        const auto watch = [&](int fd, short events) -> pollfd* {
            if (fd < 0) return nullptr;
            fds[count] = pollfd{fd, events, 0};
            return &fds[count++];
        };
        const pollfd* const child = exited ? nullptr : watch(pidfd.get(), POLLIN);
        const pollfd* const outReady = watch(out.fd.get(), POLLIN);
        const pollfd* const errReady = watch(err.fd.get(), POLLIN);
        const pollfd* const inReady = watch(input.fd.get(), POLLOUT);

        if (::poll(fds, count, wait) < 0) {
            // Only EINTR or a transient ENOMEM can get here; neither is final.
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (outReady && outReady->revents != 0) out.drain(buffer.get());
        if (errReady && errReady->revents != 0) err.drain(buffer.get());
        if (inReady && inReady->revents != 0) input.write();
        if (child && child->revents != 0) {
            exited = true;
            timeout->cancel();
        }
    }
    // Joined before reaping, so no step can signal a recycled pid.
    timeout.reset();
    input.fd.reset();
    out.fd.reset();
    err.fd.reset();

    const auto outSummary = out.collector.finish();
    const auto errSummary = err.collector.finish();
    const auto end = Clock::now();
    const double ms = std::chrono::duration<double, std::milli>(end - start).count();
    const auto durationMs = static_cast<std::int64_t>(std::llround(std::max(ms, 0.0)));
    const std::int32_t exitCode = terminationStatus(pidfd.get());
    reaper.dismiss();

    BastorExecution execution;
    execution.result.exitCode = exitCode;
    execution.result.stdout = outSummary.text;
    execution.result.stderr = errSummary.text;
    execution.result.stdoutTruncated = outSummary.truncated;
    execution.result.stderrTruncated = errSummary.truncated;
    execution.result.durationMs = durationMs;
    execution.stdoutSHA256 = outSummary.sha256;
    execution.stderrSHA256 = errSummary.sha256;
    execution.stdoutBytes = outSummary.byteCount;
    execution.stderrBytes = errSummary.byteCount;
    return execution;
}

}  // namespace bastor
