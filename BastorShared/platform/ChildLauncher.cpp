// Built without sanitizers (see CMakeLists.txt): the child runs on a stack
// the sanitizers know nothing about, in memory shared with the caller.
#include "BastorShared/platform/ChildLauncher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "BastorShared/platform/SystemError.h"

namespace bastor {

namespace {

// The kernel's struct clone_args; <linux/sched.h> clashes with glibc's
// <sched.h>, and glibc 2.36 has no clone3 wrapper.
struct CloneArgs {
    std::uint64_t flags = 0;
    std::uint64_t pidfd = 0;
    std::uint64_t childTid = 0;
    std::uint64_t parentTid = 0;
    std::uint64_t exitSignal = 0;
    std::uint64_t stack = 0;
    std::uint64_t stackSize = 0;
    std::uint64_t tls = 0;
    std::uint64_t setTid = 0;
    std::uint64_t setTidSize = 0;
    std::uint64_t cgroup = 0;
};
constexpr std::uint64_t kCloneVm = 0x100;
constexpr std::uint64_t kClonePidfd = 0x1000;
constexpr std::uint64_t kCloneVfork = 0x4000;
constexpr std::uint64_t kCloneIntoCgroup = 0x200000000ULL;
constexpr unsigned kCloseRangeCloexec = 1U << 2;  // <linux/close_range.h>
constexpr long kSignalCount = 64;                 // the kernel's _NSIG
constexpr long kSignalSetBytes = 8;
constexpr std::size_t kStackBytes = 64 * 1024;

// The kernel's struct sigaction on x86-64 and arm64.
struct KernelSigaction {
    unsigned long handler = 0;  // SIG_DFL
    unsigned long flags = 0;
    unsigned long restorer = 0;
    std::uint64_t mask = 0;
};

#if defined(__x86_64__)
// Results are -errno, never touching errno: the child shares the caller's.
long sys(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0) {
    long result;
    register long r10 asm("r10") = d;
    register long r8 asm("r8") = e;
    asm volatile("syscall"
                 : "=a"(result)
                 : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8)
                 : "rcx", "r11", "memory");
    return result;
}
#else
long sys(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0) {
    const long result = ::syscall(number, a, b, c, d, e);
    return result < 0 ? -errno : result;
}
#endif

template <class T>
long arg(T* pointer) {
    return reinterpret_cast<long>(pointer);
}

struct ChildContext {
    const LaunchSpec* spec;
    int errorFd;    // the pipe a failure is written to, or -1
    int error = 0;  // where a child sharing the caller's memory leaves it
};

// Runs in the child: raw system calls only, no allocation, no locks.
int childMain(void* argument) {
    auto& context = *static_cast<ChildContext*>(argument);
    const LaunchSpec& spec = *context.spec;
    long result = sys(SYS_setpgid, 0, 0);
    for (long number = 1; result == 0 && number <= kSignalCount; ++number) {
        if (number == SIGKILL || number == SIGSTOP) continue;
        KernelSigaction defaults;
        result = sys(SYS_rt_sigaction, number, arg(&defaults), 0, kSignalSetBytes);
    }
    const int sources[3] = {spec.stdinFd, spec.stdoutFd, spec.stderrFd};
    for (long target = 0; result >= 0 && target < 3; ++target)
        result = sys(SYS_dup3, sources[target], target, 0);
    if (result >= 0) result = sys(SYS_chdir, arg(spec.cwd));
    // Close-on-exec rather than closed: the error pipe must outlive a failed exec.
    if (result == 0) result = sys(SYS_close_range, 3, ~0U, kCloseRangeCloexec);
    std::uint64_t noSignals = 0;
    if (result == 0)
        result = sys(SYS_rt_sigprocmask, SIG_SETMASK, arg(&noSignals), 0, kSignalSetBytes);
    if (result == 0) {
        if (spec.execFd >= 0) {
            static const char empty[] = "";
            result = sys(SYS_execveat, spec.execFd, arg(empty), arg(spec.argv), arg(spec.envp),
                         AT_EMPTY_PATH);
        } else {
            result = sys(SYS_execve, arg(spec.path), arg(spec.argv), arg(spec.envp));
        }
    }
    context.error = static_cast<int>(-result);
    if (context.errorFd >= 0) sys(SYS_write, context.errorFd, arg(&context.error), sizeof(int));
    return 127;
}

#if defined(__x86_64__)
// The child's failure is in memory once the caller wakes; no pipe needed.
constexpr bool kChildSharesMemory = true;

// clone3 onto a new stack: the child cannot return through the caller's
// frames, so it calls fn(arg) from here and exits with its result.
extern "C" long bastorCloneOnStack(CloneArgs* args, unsigned long size, int (*fn)(void*),
                                   void* arg);
asm(R"(
    .text
    .p2align 4
    .type bastorCloneOnStack, @function
bastorCloneOnStack:
    endbr64
    movq %rdx, %r8
    movq %rcx, %r9
    movl $435, %eax
    syscall
    testq %rax, %rax
    jz 1f
    ret
1:
    xorl %ebp, %ebp
    movq %r9, %rdi
    call *%r8
    movl %eax, %edi
    movl $231, %eax
    syscall
    hlt
    .size bastorCloneOnStack, .-bastorCloneOnStack
)");

// Kept for the thread's life: a launch returns only once its child has
// exec'd or died, so the thread's next launch may take the same stack.
class ChildStack {
  public:
    ChildStack() = default;
    ~ChildStack() {
        if (base_) ::munmap(base_, kStackBytes);
    }
    ChildStack(const ChildStack&) = delete;
    ChildStack& operator=(const ChildStack&) = delete;

    // Nothing when it cannot be mapped; a later call tries again.
    [[nodiscard]] void* base() {
        if (base_) return base_;
        void* base = ::mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (base == MAP_FAILED) return nullptr;
        // The lowest page stays unmapped-like: an overflow faults instead of
        // writing over a neighbour.
        (void)::mprotect(base, 4096, PROT_NONE);
        return base_ = base;
    }

  private:
    void* base_ = nullptr;
};

long cloneChild(CloneArgs& args, ChildContext& context, const char* path) {
    thread_local ChildStack stack;
    void* const base = stack.base();
    if (!base) throwSystemError("could not launch", path);
    args.flags |= kCloneVm;
    args.stack = reinterpret_cast<std::uint64_t>(base);
    args.stackSize = kStackBytes;
    return bastorCloneOnStack(&args, sizeof args, childMain, &context);
}
#else
// Elsewhere the child gets a copy of the caller's memory, as fork would.
constexpr bool kChildSharesMemory = false;

long cloneChild(CloneArgs& args, ChildContext& context, const char*) {
    const long result = sys(SYS_clone3, arg(&args), sizeof args);
    if (result == 0) sys(SYS_exit_group, childMain(&context));
    return result;
}
#endif

}  // namespace

LaunchedChild launchChild(const LaunchSpec& spec) {
    UniqueFd errorRead, errorWrite;
    if (!kChildSharesMemory) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throwSystemError("could not launch", spec.path);
        errorRead.reset(fds[0]);
        errorWrite.reset(fds[1]);
        // Descriptors 0-2 are overwritten in the child before it could report.
        if (errorWrite.get() <= 2) {
            errorWrite.reset(::fcntl(errorWrite.get(), F_DUPFD_CLOEXEC, 3));
            if (!errorWrite) throwSystemError("could not launch", spec.path);
        }
    }

    ChildContext context{&spec, errorWrite ? errorWrite.get() : -1};
    int pidfd = -1;
    CloneArgs args;
    args.flags = kCloneVfork | kClonePidfd;
    args.pidfd = reinterpret_cast<std::uint64_t>(&pidfd);
    args.exitSignal = SIGCHLD;
    if (spec.cgroupFd >= 0) {
        args.flags |= kCloneIntoCgroup;
        args.cgroup = static_cast<std::uint64_t>(spec.cgroupFd);
    }

    // No handler of ours may run in the child before it resets them all.
    std::uint64_t everySignal = ~0ULL, previous = 0;
    sys(SYS_rt_sigprocmask, SIG_SETMASK, arg(&everySignal), arg(&previous), kSignalSetBytes);
    const long pid = cloneChild(args, context, spec.path);
    sys(SYS_rt_sigprocmask, SIG_SETMASK, arg(&previous), 0, kSignalSetBytes);
    if (pid < 0) throw SystemError("could not launch", spec.path, static_cast<int>(-pid));

    LaunchedChild child{static_cast<pid_t>(pid), UniqueFd(pidfd)};
    int error = context.error;
    if (errorRead) {
        errorWrite.reset();
        ssize_t count;
        while ((count = ::read(errorRead.get(), &error, sizeof error)) < 0 && errno == EINTR) {
        }
        if (count != sizeof error) error = 0;
    }
    if (error != 0) {
        siginfo_t info{};
        while (::waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED) != 0 && errno == EINTR) {
        }
        throw SystemError("could not launch", spec.path, error);
    }
    return child;
}

}  // namespace bastor
