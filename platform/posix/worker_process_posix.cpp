// The worker is a forked child on a socket pair. Why fork and not a helper
// program: the engine is linked into the plug-in, the command and the tests
// alike, and none of them would have to find and ship a second executable.
// After the fork the child touches only its own state and malloc, which
// glibc makes safe in the child of a threaded process.
#include "platform/worker_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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
#include <cstring>
#include <new>

#include "platform/diagnostics.h"

namespace platform {

namespace {

constexpr rlim_t kWorkerCpuSeconds = 600;

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

// The child after the fork: alone with its socket, default signal actions
// (a crash ends it instead of running the host's handlers), no core file,
// bounded memory and time. Its socket becomes descriptor 3; every other one
// the host had is closed.
void IsolateWorker(int fd, uint64_t memory, pid_t parent) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
    // Above the standard ones first, which a host may have closed.
    const int channel = fcntl(fd, F_DUPFD, 3);
    const int null = open("/dev/null", O_RDWR);
    for (int standard = 0; standard < 3; ++standard) dup2(null, standard);
    if (channel < 0 || dup2(channel, 3) < 0) _exit(1);
#if defined(__linux__)
    close_range(4, ~0U, 0);
    prctl(PR_SET_DUMPABLE, 0);
    // It ends with the process that started it, also when stopped or busy.
    // (The parent may have ended before the call.)
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    // Memory it frees stays with it: every page it gets anew costs a fault,
    // and after the fork every inherited page it writes costs one more.
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#else
    (void)parent;
    for (int other = 4; other < 1024; ++other) close(other);
#endif
    rlimit core{0, 0};
    setrlimit(RLIMIT_CORE, &core);
    rlimit cpu{kWorkerCpuSeconds, kWorkerCpuSeconds};
    setrlimit(RLIMIT_CPU, &cpu);
    // The address space is the inherited one (the host's, mapped but not
    // copied) and the allowance on top.
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
    process_ = kNoFile;   // reaped, or reaped by the host
    Stop();
    return false;
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

bool Worker::Start(const WorkerProgram& program, uint64_t memory) {
    Stop();
    if (program.serve == nullptr) return false;
    LogLandlockOnce();
    int ends[2];
    const pid_t parent = getpid();
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    const pid_t child = fork();
    if (child == 0) {
        IsolateWorker(ends[1], memory, parent);
        WorkerEnd end(3, 3);
        program.serve(end);
        _exit(0);
    }
    close(ends[1]);
    if (child < 0) {
        close(ends[0]);
        return false;
    }
    process_ = child;
    toWorker_ = fromWorker_ = ends[0];
    return true;
}

// Reaps the child too (a host that reaps every child itself leaves nothing
// to reap: ECHILD).
void Worker::Stop() {
    if (toWorker_ != kNoFile) close(Fd(toWorker_));
    toWorker_ = fromWorker_ = kNoFile;
    if (process_ != kNoFile) {
        const auto pid = static_cast<pid_t>(process_);
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    process_ = kNoFile;
}

bool Worker::Send(const void* bytes, size_t size) {
    if (running() && SendAll(Fd(toWorker_), bytes, size)) return true;
    Stop();
    return false;
}

bool Worker::SendRequest(const void* bytes, size_t size, FILE* file) {
    if (file == nullptr) return Send(bytes, size);
    if (running() && SendWithDescriptor(Fd(toWorker_), bytes, size, fileno(file))) return true;
    Stop();
    return false;
}

bool Worker::Receive(void* bytes, size_t size, int timeoutMs) {
    if (running() && ReceiveAll(Fd(fromWorker_), bytes, size, timeoutMs)) return true;
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

NativeFile OpenNativeForReading(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    return fd >= 0 ? fd : kNoFile;
}

int64_t ReadNativeAt(NativeFile file, uint64_t offset, void* buffer, size_t size) {
    ssize_t got = 0;
    do {
        got = ::pread(Fd(file), buffer, size, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got;
}

int64_t WriteNativeAt(NativeFile file, uint64_t offset, const void* buffer, size_t size) {
    ssize_t put = 0;
    do {
        put = ::pwrite(Fd(file), buffer, size, static_cast<off_t>(offset));
    } while (put < 0 && errno == EINTR);
    return put;
}

bool ResizeNativeFile(NativeFile file, uint64_t size) { return ::ftruncate(Fd(file), static_cast<off_t>(size)) == 0; }

bool SizeOfNativeFile(NativeFile file, uint64_t& size) {
    struct stat status {};
    if (fstat(Fd(file), &status) != 0 || status.st_size < 0) return false;
    size = static_cast<uint64_t>(status.st_size);
    return true;
}

void CloseNativeFile(NativeFile file) {
    if (file != kNoFile) ::close(Fd(file));
}

NativeFile NativeFileOf(FILE* stream) { return stream != nullptr ? fileno(stream) : kNoFile; }

void StartWriteback(NativeFile file) {
#if defined(SYNC_FILE_RANGE_WRITE)
    sync_file_range(Fd(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)file;   // macOS: the sync at the end writes everything
#endif
}

}  // namespace platform
