// The worker is a program of its own beside the plug-in (matwcx_v73), started
// with posix_spawn on one end of a socket pair, which it finds as descriptor 3
// and which is all it inherits. posix_spawn, not fork: the host is threaded,
// and a forked copy of it could hold another thread's locks. Its bounds are
// set by the worker itself as it starts (WorkerEndOfThisProgram).
#include "os/worker_process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/landlock.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "os/diagnostics.h"

namespace platform {

static_assert(kKillSignal == SIGKILL);

namespace {

constexpr rlim_t kWorkerCpuSeconds = 600;
// How long a worker whose channel ended is waited for to be reaped (its end
// known): at most kEndLooks looks, kEndLookNs apart.
constexpr int kEndLooks = 200;
constexpr long kEndLookNs = 5 * 1000 * 1000;

int Fd(NativeFile file) { return static_cast<int>(file); }

// MSG_NOSIGNAL: a closed peer is an error code, never SIGPIPE.
bool SendAll(int fd, const void* p, size_t n) {
    const auto* bytes = static_cast<const uint8_t*>(p);
    while (n > 0) {
        const ssize_t sent = send(fd, bytes, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

// Exactly n bytes; false on the end of the stream, an error, or (timeoutMs
// >= 0) that long without a byte.
bool ReceiveAll(int fd, void* p, size_t n, int timeoutMs) {
    auto* bytes = static_cast<uint8_t*>(p);
    while (n > 0) {
        if (timeoutMs >= 0) {
            pollfd wait{fd, POLLIN, 0};
            const int ready = poll(&wait, 1, timeoutMs);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
        }
        const ssize_t got = recv(fd, bytes, n, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// Sends n bytes, the first of them with a descriptor.
bool SendWithDescriptor(int fd, const void* p, size_t n, int passed) {
    iovec io{const_cast<void*>(p), n};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &passed, sizeof passed);
    ssize_t sent = 0;
    do {
        sent = sendmsg(fd, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent > 0 && SendAll(fd, static_cast<const uint8_t*>(p) + sent, n - static_cast<size_t>(sent));
}

// The worker program as it starts: alone with its channel (descriptor 3),
// standard streams leading nowhere, default signal actions (a crash ends it
// instead of running handlers), no core file, bounded memory and time, and
// it ends with the process that started it, also when stopped or busy.
void IsolateWorker(uint64_t memory, pid_t parent) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int standard = 0; standard < 3; ++standard) dup2(null, standard);
    if (fcntl(3, F_GETFD) < 0) _exit(1);
#if defined(__linux__)
    close_range(4, ~0U, 0);
    prctl(PR_SET_DUMPABLE, 0);
    // (The parent may have ended before the call.)
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    // Memory it frees stays with it: every page it gets anew costs a fault.
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#else
    (void)parent;
    for (int other = 4; other < 1024; ++other) close(other);
#endif
    rlimit core{0, 0};
    setrlimit(RLIMIT_CORE, &core);
    rlimit cpu{kWorkerCpuSeconds, kWorkerCpuSeconds};
    setrlimit(RLIMIT_CPU, &cpu);
    // The address space it starts with and the allowance on top.
#if defined(__linux__)
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        unsigned long pages = 0;
        if (std::fscanf(statm, "%lu", &pages) == 1) {
            const uint64_t limit = uint64_t{pages} * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) + memory;
            if (limit <= RLIM_INFINITY) {
                rlimit bound{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
                setrlimit(RLIMIT_AS, &bound);
            }
        }
        std::fclose(statm);
    }
#else
    (void)memory;
#endif
}

// A decimal number that is the whole of `text`.
bool ParseNumber(const char* text, uint64_t& value) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    value = parsed;
    return errno == 0 && *end == '\0';
}

// The folder of the module (plug-in, or program) that holds this code, with
// `program` in it; empty when it cannot be told.
std::string ProgramBesideThisModule(const char* program) {
    Dl_info module{};
    if (program == nullptr || dladdr(reinterpret_cast<void*>(&ProgramBesideThisModule), &module) == 0 ||
        module.dli_fname == nullptr) {
        return {};
    }
    std::string path = module.dli_fname;
#if defined(__linux__)
    // A program is named as it was started, perhaps found on the PATH.
    if (path.find('/') == std::string::npos) {
        char self[4096];
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof self) return {};
        path.assign(self, static_cast<size_t>(length));
    }
#endif
    const size_t folderEnd = path.rfind('/');
    if (folderEnd == std::string::npos) return {};
    return path.substr(0, folderEnd + 1) + program;
}

#if defined(__linux__)
// The Landlock ABI version of the running kernel; 0 without Landlock.
int LandlockAbi() {
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi > 0 ? static_cast<int>(abi) : 0;
}
#endif

// Workers read files also without Landlock, less fenced: said once.
void LogLandlockOnce() {
#if defined(__linux__)
    static const bool logged = [] {
        if (LandlockAbi() == 0) {
            PrintLine("This kernel offers no Landlock: version 7.3 workers may still open other files\n");
        }
        return true;
    }();
    (void)logged;
#endif
}

}  // namespace

bool Worker::Alive() {
    if (!running()) return false;
    int status = 0;
    const pid_t ended = waitpid(static_cast<pid_t>(process_), &status, WNOHANG);
    if (ended == 0) return true;
    if (ended < 0 && errno != ECHILD) return true;   // cannot tell: the next exchange will
    if (ended > 0 && WIFSIGNALED(status)) endSignal_ = WTERMSIG(status);
    process_ = kNoFile;   // reaped, or reaped by the host
    Stop();
    return false;
}

namespace {

// The state letter of a process and the processor time it has used (in
// clock ticks), as /proc tells them; false where it does not.
bool ProcessActivity(pid_t pid, char& state, uint64_t& ticks) {
#if defined(__linux__)
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[1024];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return false;
    text[got] = '\0';
    // "pid (name) S ppid ...": the name may hold anything, up to the last ')'.
    const char* rest = std::strrchr(text, ')');
    unsigned long long user = 0, system = 0;
    if (rest == nullptr ||
        std::sscanf(rest + 1, " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &state, &user, &system) != 3) {
        return false;
    }
    ticks = user + system;
    return true;
#else
    (void)pid, (void)state, (void)ticks;
    return false;
#endif
}

}  // namespace

void Worker::SignalForTest(int signal) {
    if (!running() || kill(static_cast<pid_t>(process_), signal) != 0) return;
    if (signal != SIGKILL && signal != SIGSTOP) return;
    // The signal lands a moment later: waited for (the worker is not
    // reaped), so that the next request meets a dead or stopped worker
    // however fast or slow the machine is.
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(process_), &info, WEXITED | WSTOPPED | WNOWAIT) != 0 && errno == EINTR) {
    }
}

bool Worker::Stalled(int ms, int limitMs) {
    char state = 0;
    uint64_t ticks = 0;
    if (!running() || !ProcessActivity(static_cast<pid_t>(process_), state, ticks)) {
        quietMs_ += ms;
    } else if (state == 'R') {
        // Running or waiting for a processor: only the processor time it
        // used counts (a worker in a loop), not the wait (a loaded machine).
        if (quietTicks_ != UINT64_MAX && ticks > quietTicks_) {
            const uint64_t used = (ticks - quietTicks_) * 1000 / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
            quietMs_ += static_cast<int>(std::min<uint64_t>(used, static_cast<uint64_t>(limitMs)));
        }
    } else if (state != 'D') {
        quietMs_ += ms;   // stopped, traced, asleep or ended; a disk's wait does not count
    }
    quietTicks_ = ticks;
    if (quietMs_ < limitMs) return false;
    endSignal_ = kStalled;
    return true;
}

bool StartTicker(void (*tick)(void*), void* context, int intervalMs) {
    struct Ticker {
        void (*tick)(void*);
        void* context;
        int intervalMs;
    };
    auto* ticker = new (std::nothrow) Ticker{tick, context, intervalMs};
    if (ticker == nullptr) return false;
    pthread_t thread;
    const auto run = [](void* p) -> void* {
        const auto* t = static_cast<const Ticker*>(p);
        const timespec interval{t->intervalMs / 1000, (t->intervalMs % 1000) * 1000000L};
        for (;;) {
            nanosleep(&interval, nullptr);
            t->tick(t->context);
        }
        return nullptr;
    };
    // Signals go to the worker's main thread, not this one.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const bool started = pthread_create(&thread, nullptr, run, ticker) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!started) {
        delete ticker;
        return false;
    }
    pthread_detach(thread);
    return true;
}

void GiveUpOpeningFiles() {
#if defined(__linux__)
    const int abi = LandlockAbi();
    if (abi == 0) return;   // said once by the starting process
    // Every file right the kernel knows, and no rule granting any: no path
    // can be opened, made or removed. Descriptors open already keep theirs.
    landlock_ruleset_attr attributes{};
    // The rights by their values: later kernels know more than older headers.
    attributes.handled_access_fs = (uint64_t{1} << 13) - 1;   // ABI 1: executing to making links
    if (abi >= 2) attributes.handled_access_fs |= uint64_t{1} << 13;   // moving and linking across folders
    if (abi >= 3) attributes.handled_access_fs |= uint64_t{1} << 14;   // truncating
    if (abi >= 5) attributes.handled_access_fs |= uint64_t{1} << 15;   // device ioctls
    const long ruleset = syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0);
    if (ruleset < 0) return;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0) {
        syscall(SYS_landlock_restrict_self, static_cast<int>(ruleset), 0);
    }
    close(static_cast<int>(ruleset));
#endif
}

bool Worker::Start(const char* program, uint64_t memory) {
    Stop();
    endSignal_ = 0;
    channelEnded_ = false;
    Heard();
    const std::string path = ProgramBesideThisModule(program);
    if (path.empty() || access(path.c_str(), X_OK) != 0) return false;
    LogLandlockOnce();
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    // The worker's end above the descriptors it is given (a host may have
    // closed its standard ones), so that it is moved to 3, never onto itself.
    const int workerEnd = fcntl(ends[1], F_DUPFD_CLOEXEC, 10);
    close(ends[1]);
    const std::string memoryText = std::to_string(memory), parentText = std::to_string(getpid());
    char* const arguments[] = {const_cast<char*>(path.c_str()), const_cast<char*>(memoryText.c_str()),
                               const_cast<char*>(parentText.c_str()), nullptr};
    // Nothing of the host's environment (libhdf5 takes plug-in folders from
    // it) but a test's plan of failing calls.
    const char* faults = getenv(kWorkerFaultsVariable);
    std::string faultsEntry = faults != nullptr ? std::string(kWorkerFaultsVariable) + "=" + faults : std::string();
    char* const environment[] = {faults != nullptr ? faultsEntry.data() : nullptr, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    pid_t child = -1;
    bool ok = workerEnd >= 0 && posix_spawn_file_actions_init(&actions) == 0;
    const bool actionsMade = ok;
    ok = ok && posix_spawn_file_actions_adddup2(&actions, workerEnd, 3) == 0 &&
         posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
         posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
         posix_spawn_file_actions_adddup2(&actions, 1, 2) == 0;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors the host left inheritable are closed before the program
    // runs (elsewhere the worker closes them as it starts).
    ok = ok && posix_spawn_file_actions_addclosefrom_np(&actions, 4) == 0;
#endif
    const bool attributesMade = ok && posix_spawnattr_init(&attributes) == 0;
    ok = attributesMade && posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
         posix_spawnattr_setsigdefault(&attributes, &all) == 0 &&
         posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
         posix_spawn(&child, path.c_str(), &actions, &attributes, arguments, environment) == 0;
    if (attributesMade) posix_spawnattr_destroy(&attributes);
    if (actionsMade) posix_spawn_file_actions_destroy(&actions);
    if (workerEnd >= 0) close(workerEnd);
    if (!ok) {
        close(ends[0]);
        return false;
    }
    process_ = child;
    toWorker_ = fromWorker_ = ends[0];
    return true;
}

WorkerEnd WorkerEndOfThisProgram(int argc, char** argv) {
    uint64_t memory = 0, parent = 0;
    if (argc != 3 || !ParseNumber(argv[1], memory) || !ParseNumber(argv[2], parent)) _exit(1);
    IsolateWorker(memory, static_cast<pid_t>(parent));
    return WorkerEnd(3, 3);
}

// Reaps the child too (a host that reaps every child itself leaves nothing
// to reap: ECHILD).
void Worker::Stop() {
    if (toWorker_ != kNoFile) close(Fd(toWorker_));
    toWorker_ = fromWorker_ = kNoFile;
    if (process_ != kNoFile) {
        const auto pid = static_cast<pid_t>(process_);
        // A worker that ended by itself (killed from outside, a crash) says
        // how. Its channel closes as it ends, a moment before it can be
        // reaped: after the end of the channel it is given that moment.
        int status = 0;
        pid_t reaped = endSignal_ == 0 ? waitpid(pid, &status, WNOHANG) : 0;
        for (int look = 0; reaped == 0 && channelEnded_ && endSignal_ == 0 && look < kEndLooks; ++look) {
            const timespec pause{0, kEndLookNs};
            nanosleep(&pause, nullptr);
            reaped = waitpid(pid, &status, WNOHANG);
        }
        if (reaped == pid) {
            if (WIFSIGNALED(status)) endSignal_ = WTERMSIG(status);
        } else {
            kill(pid, SIGKILL);
            while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
            }
            // One whose channel had ended was going already: a loaded
            // machine can take longer than the looks to let it end. It was
            // lost, not stopped by us, whichever signal finished it.
            if (reaped == pid && channelEnded_ && endSignal_ == 0 && WIFSIGNALED(status)) endSignal_ = WTERMSIG(status);
        }
    }
    process_ = kNoFile;
}

bool Worker::Send(const void* p, size_t size) {
    // A worker that takes nothing while it stalls (stopped by a signal, in a
    // loop) is given up as one that sends nothing is: a blocking send would
    // wait for it for ever.
    constexpr int kSliceMs = 100, kQuietLimitMs = 10 * 1000;
    const auto* bytes = static_cast<const uint8_t*>(p);
    while (running() && size > 0) {
        const ssize_t sent = send(Fd(toWorker_), bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            Heard();
            bytes += sent;
            size -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
        pollfd wait{Fd(toWorker_), POLLOUT, 0};
        const int ready = poll(&wait, 1, kSliceMs);
        if (ready < 0 && errno != EINTR) break;
        if (ready == 0 && Stalled(kSliceMs, kQuietLimitMs)) break;
    }
    if (size == 0) return true;
    Stop();
    return false;
}

bool Worker::SendRequest(const void* bytes, size_t size, FILE* file) {
    if (file == nullptr) return Send(bytes, size);
    if (running() && SendWithDescriptor(Fd(toWorker_), bytes, size, fileno(file))) return true;
    Stop();
    return false;
}

bool Worker::Receive(void* p, size_t size, int timeoutMs) {
    auto* bytes = static_cast<uint8_t*>(p);
    // Waits of at most this long, each silent one counted by the watch.
    constexpr int kSliceMs = 100;
    const int slice = timeoutMs < 0 ? -1 : std::min(timeoutMs, kSliceMs);
    while (running() && size > 0) {
        const int ready = Wait(slice);
        if (ready < 0 || (ready == 0 && Stalled(slice, timeoutMs))) break;
        if (ready == 0) continue;
        const ssize_t got = recv(Fd(fromWorker_), bytes, size, 0);
        if (got < 0 && errno == EINTR) continue;
        // The end of the stream, or a reset: a worker that ended with a
        // request unread leaves a reset.
        channelEnded_ = got == 0 || errno == ECONNRESET;
        if (got <= 0) break;
        Heard();
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    if (size == 0) return true;
    Stop();
    return false;
}

int Worker::Wait(int timeoutMs) {
    if (!running()) return -1;
    pollfd wait{Fd(fromWorker_), POLLIN, 0};
    int ready = 0;
    do {
        ready = poll(&wait, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) Stop();
    return ready < 0 ? -1 : ready > 0 ? 1 : 0;
}

bool WorkerEnd::Send(const void* bytes, size_t size) { return SendAll(Fd(out_), bytes, size); }

bool WorkerEnd::Receive(void* bytes, size_t size) { return ReceiveAll(Fd(in_), bytes, size, -1); }

bool WorkerEnd::ReceiveRequest(void* p, size_t size, NativeFile& passed) {
    passed = kNoFile;
    auto* bytes = static_cast<uint8_t*>(p);
    for (size_t got = 0; got < size;) {
        iovec io{bytes + got, size - got};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(Fd(in_), &message, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            CloseNativeFile(passed);
            passed = kNoFile;
            return false;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS || c->cmsg_len != CMSG_LEN(sizeof(int))) {
                continue;
            }
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
            CloseNativeFile(passed);
            passed = fd;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

void CloseNativeFile(NativeFile file) {
    if (file != kNoFile) ::close(Fd(file));
}

NativeFile NativeFileOf(FILE* stream) { return stream != nullptr ? fileno(stream) : kNoFile; }

}  // namespace platform
