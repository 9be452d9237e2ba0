#include "BastorShared/execution/BastorExecutor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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
#include "BastorShared/execution/TrustedExecutable.h"
#include "BastorShared/platform/ChildLauncher.h"
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

// Only for our ends of pipe2()'s pipes, whose status flags are otherwise none.
void setNonBlocking(const UniqueFd& fd) {
    if (fd) ::fcntl(fd.get(), F_SETFL, O_NONBLOCK);
}

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

std::int32_t terminationStatus(int pidfd) {
    siginfo_t info{};
    while (::waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED) != 0) {
        if (errno != EINTR) return -1;
    }
    // Exit status for an exit, the signal number for a signal: si_status
    // carries whichever applies.
    return info.si_status;
}

// Kills and reaps a launched child if the run is left by an exception, so
// nothing is left running behind a thrown error.
class ChildReaper {
  public:
    explicit ChildReaper(const LaunchedChild& child) : child_(child) {}
    ~ChildReaper() {
        if (dismissed_) return;
        // The child too: it may have left its group, and waitid would wait for it.
        ::killpg(child_.pid, SIGKILL);
        ::syscall(SYS_pidfd_send_signal, child_.pidfd.get(), SIGKILL, nullptr, 0);
        (void)terminationStatus(child_.pidfd.get());
    }
    ChildReaper(const ChildReaper&) = delete;
    ChildReaper& operator=(const ChildReaper&) = delete;
    void dismiss() { dismissed_ = true; }

  private:
    const LaunchedChild& child_;
    bool dismissed_ = false;
};

// Both ends of the three standard streams: ours to read and write, and the
// child's, which must be closed here as soon as the child has them.
struct RunPipes {
    Stream out;
    Stream err;
    Input input;
    UniqueFd outWrite;
    UniqueFd errWrite;
    UniqueFd childStdin;

    void closeChildEnds() {
        // End of file reaches us only once no copy of the child's ends is left here.
        outWrite.reset();
        errWrite.reset();
        childStdin.reset();
    }

    explicit RunPipes(const BastorRequest& request) {
        const std::string& path = request.resolvedPath;
        Pipe pipe = makePipe(path);
        out.fd = std::move(pipe.read);
        outWrite = std::move(pipe.write);
        pipe = makePipe(path);
        err.fd = std::move(pipe.read);
        errWrite = std::move(pipe.write);
        // Larger pipes mean fewer wake-ups for chatty children; refusal is harmless.
        ::fcntl(outWrite.get(), F_SETPIPE_SZ, kOutputPipeSize);
        ::fcntl(errWrite.get(), F_SETPIPE_SZ, kOutputPipeSize);
        if (request.stdin) {
            pipe = makePipe(path);
            childStdin = std::move(pipe.read);
            input.fd = std::move(pipe.write);
            input.remaining = *request.stdin;
        } else {
            const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) launchFailed(path, errno);
            childStdin = aboveStandardStreams(fd, path);
        }
    }
};

// Feeds standard input and drains both outputs until the run is over: the
// child has exited and both outputs are closed, or the timeout has killed.
void pump(RunPipes& pipes, const UniqueFd& pidfd, ProcessTimeout& timeout) {
    Stream& out = pipes.out;
    Stream& err = pipes.err;
    Input& input = pipes.input;
    setNonBlocking(out.fd);
    setNonBlocking(err.fd);
    setNonBlocking(input.fd);
    if (input.remaining.empty()) input.fd.reset();

    const auto buffer = std::make_unique<char[]>(BastorExecutor::readChunkSize);
    bool exited = false;
    for (;;) {
        if (exited && !out.fd && !err.fd) return;
        if (timeout.killed()) {
            // What was written before the kill is still worth having.
            out.drain(buffer.get());
            err.drain(buffer.get());
            return;
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

        if (::poll(fds, count, timeout.pollTimeout()) < 0) {
            // Only EINTR or a transient ENOMEM can get here; neither is final.
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (outReady && outReady->revents != 0) out.drain(buffer.get());
        if (errReady && errReady->revents != 0) err.drain(buffer.get());
        if (inReady && inReady->revents != 0) input.write();
        if (child && child->revents != 0) exited = true;
        timeout.act();
    }
}

// The child's argv and envp as the exec call takes them.
struct CommandLine {
    std::vector<char*> argv;
    std::vector<char*> envp;

    explicit CommandLine(const BastorRequest& request) {
        argv.reserve(request.argv.size() + 1);
        // The child's own argv[0] is the path it runs, as a launcher sets it.
        argv.push_back(const_cast<char*>(request.resolvedPath.c_str()));
        for (std::size_t i = 1; i < request.argv.size(); ++i)
            argv.push_back(const_cast<char*>(request.argv[i].c_str()));
        argv.push_back(nullptr);
        for (const auto& variable : BastorExecutor::environment())
            envp.push_back(const_cast<char*>(variable.c_str()));
        envp.push_back(nullptr);
    }
};

}  // namespace

BastorExecutor::BastorExecutor(const std::string& cgroupRoot) : cgroups_(cgroupRoot) {}

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
    // From here on the file is held open: what runs is what was checked.
    const TrustedExecutable executable = TrustedExecutable::open(resolved);
    CommandResolver::validateWorkingDirectory(request.cwd);
    // A C string ends at NUL: the child would get a shorter argument than
    // the one the user approved.
    for (const auto& argument : request.argv)
        if (argument.find('\0') != std::string::npos)
            throw BastorError::invalidInput(
                "Arguments must not contain NUL characters; the command was not run");
    return runSynchronously(request, executable);
}

BastorExecution BastorExecutor::runSynchronously(const BastorRequest& request,
                                                 const TrustedExecutable& executable) {
    const auto start = Clock::now();
    RunPipes pipes(request);
    std::optional<SigpipeBlock> sigpipeBlock;
    if (request.stdin) sigpipeBlock.emplace();
    const CommandLine commandLine(request);

    std::optional<RunCgroup> cgroup;
    if (cgroups_.usable()) cgroup.emplace(cgroups_.createRun());
    LaunchSpec spec;
    spec.path = request.resolvedPath.c_str();
    spec.execFd = executable.isScript() ? -1 : executable.fd();
    spec.argv = commandLine.argv.data();
    spec.envp = commandLine.envp.data();
    spec.cwd = request.cwd.c_str();
    spec.stdinFd = pipes.childStdin.get();
    spec.stdoutFd = pipes.outWrite.get();
    spec.stderrFd = pipes.errWrite.get();
    spec.cgroupFd = cgroup ? cgroup->fd() : -1;
    const LaunchedChild child = launchChild(spec);
    ChildReaper reaper(child);
    pipes.closeChildEnds();

    // The child is reaped only at the end, so its pid and group id cannot
    // pass to a stranger while they are signalled.
    ProcessTimeout timeout([&](int number) {
        if (cgroup) return cgroup->signalAll(number);
        ::killpg(child.pid, number);
        // A child that moved itself into another group is out of killpg's reach.
        if (::getpgid(child.pid) != child.pid)
            ::syscall(SYS_pidfd_send_signal, child.pidfd.get(), number, nullptr, 0);
    });
    timeout.start(static_cast<double>(request.timeoutSeconds));
    pump(pipes, child.pidfd, timeout);
    timeout.cancel();
    pipes.input.fd.reset();
    pipes.out.fd.reset();
    pipes.err.fd.reset();

    const auto outSummary = pipes.out.collector.finish();
    const auto errSummary = pipes.err.collector.finish();
    const auto end = Clock::now();
    std::optional<RunUsage> usage;
    if (cgroup) {
        try {
            usage = cgroup->finish(child.pid);
        } catch (const SystemError&) {
            // A process stuck in the kernel; the next start removes the cgroup.
        }
    }
    const double ms = std::chrono::duration<double, std::milli>(end - start).count();
    const auto durationMs = static_cast<std::int64_t>(std::llround(std::max(ms, 0.0)));
    const std::int32_t exitCode = terminationStatus(child.pidfd.get());
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
    execution.usage = usage;
    return execution;
}

}  // namespace bastor
