// Version 7.3 files are read by a worker process, never in the process that
// reads the archive: libhdf5 can crash, hang or allocate without end on a
// damaged file, and the engine runs inside a file manager. Each open file
// gets a worker of its own (forked when it is opened, ended when it is
// closed); the functions of readers.h send it requests over a socket pair
// and check every answer against what they asked for before they use it.
// A worker that dies, stops answering or answers nonsense is one failed
// read; the next request starts a new worker for the same, unchanged file.
//
// Why fork and not a helper program: the engine is linked into the plug-in,
// the command and the tests alike, and none of them would have to find and
// ship a second executable. After the fork the child touches only its own
// state (this process never initialises libhdf5) and malloc, which glibc
// makes safe in the child of a threaded process.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "matlib/convert.h"
#include "matlib/mat_format.h"
#include "matlib/mat_write_file.h"
#include "matlib/readers.h"
#include "matlib/v73_hdf5.h"

namespace matlib {

namespace {

using namespace format;

// A worker that sends nothing for this long is taken for hung.
std::atomic<int> answerTimeoutMs{60 * 1000};
// What a worker may use besides what it inherits from the fork: enough for
// any variable the parent could hold, not for a runaway allocation.
constexpr uint64_t kWorkerMemory = uint64_t{4} << 30;
constexpr rlim_t kWorkerCpuSeconds = 600;
// New workers for one file after the first, so that one damaged variable
// does not end the reading of the others, nor a file start workers without end.
constexpr int kMaxRestarts = 3;
// Answers arrive in pieces of at most this size: a length that lies costs
// no more than what was really sent.
constexpr size_t kReceiveStep = size_t{16} << 20;
// Headers asked for at once while listing, and the most one may take.
constexpr uint64_t kHeaderBatch = 256;
constexpr uint64_t kMaxHeaderBytes = 24 + kMaxDimensions * 8 + kMaxClassNameLength;

enum Operation : uint32_t { kHeader = 1, kDecode = 2, kElements = 3, kContents = 5, kSubsystem = 6, kWrite = 7 };

struct Request {
    uint32_t operation = 0;
    uint32_t part = 0;
    uint64_t index = 0;
    uint64_t first = 0;
    uint64_t count = 0;
};

struct AnswerHead {
    uint32_t ok = 0;
    uint32_t unused = 0;
    uint64_t length = 0;
};

constexpr uint32_t kComplex = 1, kGlobal = 2, kLogical = 4, kSparse = 8;

// ---- the bytes of an answer -------------------------------------------------------

void Put(std::vector<uint8_t>& out, const void* p, size_t n) {
    const auto* bytes = static_cast<const uint8_t*>(p);
    out.insert(out.end(), bytes, bytes + n);
}
void Put32(std::vector<uint8_t>& out, uint32_t v) { Put(out, &v, sizeof v); }
void Put64(std::vector<uint8_t>& out, uint64_t v) { Put(out, &v, sizeof v); }

// Reads an answer's fields in order; any read past its end fails, and so
// does every read after it.
class Fields {
public:
    explicit Fields(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool Take(void* p, size_t n) {
        if (failed_ || n > bytes_.size() - at_) return failed_ = true, false;
        if (n > 0) std::memcpy(p, bytes_.data() + at_, n);
        at_ += n;
        return true;
    }
    uint32_t Get32() {
        uint32_t v = 0;
        Take(&v, sizeof v);
        return v;
    }
    uint64_t Get64() {
        uint64_t v = 0;
        Take(&v, sizeof v);
        return v;
    }
    size_t left() const { return bytes_.size() - at_; }
    bool ok() const { return !failed_; }

private:
    const std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
    bool failed_ = false;
};

// ---- the socket ------------------------------------------------------------------------

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

bool SendAnswer(int fd, bool ok, const std::vector<uint8_t>& payload) {
    AnswerHead head;
    head.ok = ok ? 1 : 0;
    head.length = ok ? payload.size() : 0;
    return SendAll(fd, &head, sizeof head) && (!ok || SendAll(fd, payload.data(), payload.size()));
}

// ---- the worker ------------------------------------------------------------------------

void PutHeader(std::vector<uint8_t>& out, const mxArray& array) {
    Put32(out, static_cast<uint32_t>(array.classId));
    Put32(out, (array.complex ? kComplex : 0) | (array.global ? kGlobal : 0) | (array.logical ? kLogical : 0) |
                   (array.sparse ? kSparse : 0));
    Put64(out, array.nzmax);
    Put32(out, static_cast<uint32_t>(array.dims.size()));
    Put32(out, static_cast<uint32_t>(array.className.size()));
    for (mwSize d : array.dims) Put64(out, d);
    Put(out, array.className.data(), array.className.size());
}

void PutDecoded(std::vector<uint8_t>& out, const DecodedData& data) {
    Put64(out, data.real.size());
    Put64(out, data.imag.size());
    Put64(out, data.ir.size());
    Put64(out, data.jc.size());
    Put(out, data.real.data(), data.real.size());
    Put(out, data.imag.data(), data.imag.size());
    for (size_t i : data.ir) Put64(out, i);
    for (size_t j : data.jc) Put64(out, j);
}

// Receives one request; a descriptor sent with it (SCM_RIGHTS) goes to
// `passed`, -1 when none came.
bool ReceiveRequest(int fd, Request& request, int& passed) {
    passed = -1;
    auto* bytes = reinterpret_cast<uint8_t*>(&request);
    for (size_t got = 0; got < sizeof request;) {
        iovec io{bytes + got, sizeof request - got};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS || c->cmsg_len != CMSG_LEN(sizeof(int))) {
                continue;
            }
            if (passed >= 0) close(passed);
            std::memcpy(&passed, CMSG_DATA(c), sizeof passed);
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

// What the worker keeps between requests: its socket, the file, and the
// header of the variable asked about last (a viewer reads one variable
// piece by piece).
struct Worker {
    int channel = -1;
    hdf5::File* file = nullptr;
    mxArray header;
    uint64_t headerIndex = UINT64_MAX;

    bool Load(uint64_t index) {
        if (headerIndex == index) return true;
        headerIndex = UINT64_MAX;
        header = mxArray();
        if (hdf5::ReadHeader(*file, index, header) != HeaderStatus::Ok) return false;
        headerIndex = index;
        return true;
    }

    // The new file comes as the descriptor `passed`; the user block to put
    // before its HDF5 data and the indexes of its variables follow the
    // request. libhdf5 opens the file by a name: the descriptor's own, so
    // that a file without a name (not yet in its folder) can be written.
    bool WriteFile(const Request& request, int passed) {
        uint8_t userBlock[kV73UserBlockSize];
        std::vector<uint64_t> indexes(static_cast<size_t>(std::min<uint64_t>(request.count, kMaxVariables)));
        // A request that does not say what follows it leaves the stream
        // out of step: the worker ends.
        if (request.count > kMaxVariables || !ReceiveAll(channel, userBlock, sizeof userBlock, -1) ||
            !ReceiveAll(channel, indexes.data(), indexes.size() * sizeof(uint64_t), -1)) {
            _exit(0);
        }
        if (passed < 0) return false;
        const std::string name = "/proc/self/fd/" + std::to_string(passed);
        return hdf5::WriteFile(*file, indexes, name, hdf5::DescriptorDriver()) &&
               pwrite(passed, userBlock, sizeof userBlock, 0) == static_cast<ssize_t>(sizeof userBlock);
    }

    // One request's answer.
    bool Answer(const Request& request, int passed, std::vector<uint8_t>& out) {
        if (request.operation == kWrite) return WriteFile(request, passed);
        if (request.operation == kHeader) {
            // Up to `count` headers from `index` on, up to the first that fails,
            // each after its length: a listing costs one exchange per batch.
            for (uint64_t k = 0; k < request.count && Load(request.index + k); ++k) {
                const size_t at = out.size();
                Put32(out, 0);
                PutHeader(out, header);
                const auto length = static_cast<uint32_t>(out.size() - at - 4);
                std::memcpy(out.data() + at, &length, sizeof length);
            }
            return !out.empty();
        }
        if (!Load(request.index)) return false;
        switch (request.operation) {
            case kDecode: {
                DecodedData data;
                if (!hdf5::Decode(*file, header, data)) return false;
                PutDecoded(out, data);
                return true;
            }
            case kElements:
                return hdf5::ReadElements(*file, header, static_cast<int>(request.part), request.first,
                                          static_cast<size_t>(request.count), out) > 0;
            case kContents: return hdf5::ContentsImage(*file, header, request.count, out);
            case kSubsystem: return hdf5::SubsystemImage(*file, out);
            default: return false;
        }
    }
};

// The child after the fork: alone with its socket, default signal actions
// (a crash ends it instead of running the host's handlers), no core file,
// bounded memory and time.
// Its socket becomes descriptor 3; every other one the host had is closed.
void IsolateWorker(int fd, uint64_t fileSize) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
    // Above the standard ones first, which a host may have closed.
    const int channel = fcntl(fd, F_DUPFD, 3);
    const int null = open("/dev/null", O_RDWR);
    for (int standard = 0; standard < 3; ++standard) dup2(null, standard);
    if (channel < 0 || dup2(channel, 3) < 0) _exit(1);
    close_range(4, ~0U, 0);
    prctl(PR_SET_DUMPABLE, 0);
    rlimit core{0, 0};
    setrlimit(RLIMIT_CORE, &core);
    rlimit cpu{kWorkerCpuSeconds, kWorkerCpuSeconds};
    setrlimit(RLIMIT_CPU, &cpu);
    // The address space is the inherited one (the host's, mapped but not
    // copied) and the allowance on top.
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        unsigned long pages = 0;
        if (std::fscanf(statm, "%lu", &pages) == 1) {
            const uint64_t allowance = kWorkerMemory + std::min<uint64_t>(fileSize, uint64_t{1} << 40) * 2;
            const uint64_t limit = uint64_t{pages} * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) + allowance;
            if (limit <= RLIM_INFINITY) {
                rlimit memory{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
                setrlimit(RLIMIT_AS, &memory);
            }
        }
        std::fclose(statm);
    }
}

[[noreturn]] void RunWorker(int fd, const std::string& path, uint64_t fileSize) {
    IsolateWorker(fd, fileSize);
    // Memory it frees stays with it: every page it gets anew costs a fault,
    // and after the fork every inherited page it writes costs one more.
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    fd = 3;
    std::vector<uint8_t> out;
    bool opened = false;
    hdf5::FilePtr file;
    try {
        file = hdf5::Open(path);
        if (file) {
            // Names too long to list are sent empty; the reader refuses them.
            for (const std::string& name : hdf5::Names(*file)) {
                const bool fits = !name.empty() && name.size() <= kMaxNameLength;
                Put32(out, fits ? static_cast<uint32_t>(name.size()) : 0);
                if (fits) Put(out, name.data(), name.size());
            }
            opened = true;
        }
    } catch (const std::bad_alloc&) {
        opened = false;
    }
    if (!SendAnswer(fd, opened, out) || !opened) _exit(0);
    Worker worker;
    worker.channel = fd;
    worker.file = file.get();
    Request request;
    int passed = -1;
    // The parent closing its end (or dying) ends the worker.
    while (ReceiveRequest(fd, request, passed)) {
        out.clear();
        bool ok = false;
        try {
            ok = worker.Answer(request, passed, out);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        if (passed >= 0) close(passed);
        if (!SendAnswer(fd, ok, out)) break;
    }
    _exit(0);
}

}  // namespace

// ---- the reader's side ----------------------------------------------------------------------

struct V73File {
    std::string path;
    uint64_t size = 0;
    std::vector<std::string> names;
    std::mutex lock;   // one request at a time; each file has its own worker
    pid_t pid = -1;
    int fd = -1;
    int restarts = 0;
    // The headers of the last batch: variables [batchFirst, batchFirst +
    // batch.size()). After a batch fails, headers are asked for one by one,
    // so that a variable that ends its worker costs only its own header.
    uint64_t batchFirst = 0;
    std::vector<std::vector<uint8_t>> batch;
    uint64_t batchSize = kHeaderBatch;

    ~V73File() { Stop(); }

    // Ends the worker and reaps it (a host that reaps every child itself
    // leaves nothing to reap: ECHILD).
    void Stop() {
        if (fd >= 0) close(fd);
        fd = -1;
        if (pid > 0) {
            kill(pid, SIGKILL);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        pid = -1;
    }

    // Starts a worker on the file; its variables' names, as it found them.
    bool Start(std::vector<std::string>& found);

    // Sends a request and receives the answer's payload, at most maxLength
    // bytes. False when the worker could not answer (the worker is then
    // ended) or answered that it failed.
    bool Ask(const Request& request, uint64_t maxLength, std::vector<uint8_t>& payload);
    bool Receive(uint64_t maxLength, std::vector<uint8_t>& payload);
    // The headers of variables [first, first + count) or a prefix of them, into batch.
    bool FetchHeaders(uint64_t first, uint64_t count);
    // A worker to ask: the running one, or a new one.
    bool Ready();
    // Has the worker write the variables at these indexes into `out`.
    bool Write(const std::vector<uint64_t>& indexes, const uint8_t userBlock[kV73UserBlockSize], StagedFile* out);
};

namespace {

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

// How often the new file's size is looked at while the worker writes it.
constexpr int kWritePollMs = 50;

uint64_t SizeOf(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && status.st_size > 0 ? static_cast<uint64_t>(status.st_size) : 0;
}

}  // namespace

// The worker writes the file itself, through the descriptor it is sent:
// nothing of it passes through this process. Its progress is the file's
// size as it grows; a Cancel ends the worker (the staged file is then
// discarded), as does a worker that neither answers nor writes for the
// answer timeout.
bool V73File::Write(const std::vector<uint64_t>& indexes, const uint8_t userBlock[kV73UserBlockSize],
                    StagedFile* out) {
    const int target = out->stream != nullptr ? fileno(out->stream) : -1;
    if (target < 0 || indexes.size() > kMaxVariables || !Ready()) return false;
    Request request;
    request.operation = kWrite;
    request.count = indexes.size();
    if (!SendWithDescriptor(fd, &request, sizeof request, target) || !SendAll(fd, userBlock, kV73UserBlockSize) ||
        !SendAll(fd, indexes.data(), indexes.size() * sizeof(uint64_t))) {
        Stop();
        return false;
    }
    int quietMs = 0;
    for (;;) {
        pollfd wait{fd, POLLIN, 0};
        const int ready = poll(&wait, 1, kWritePollMs);
        if (ready < 0 && errno != EINTR) break;
        const uint64_t size = SizeOf(target);
        quietMs = size > out->written ? 0 : quietMs + kWritePollMs;
        if (size > out->written && !StagedWrittenTo(out, size)) {
            // Cancelled: the worker ended for it costs none of the file's restarts.
            Stop();
            --restarts;
            return false;
        }
        if (ready > 0) {
            std::vector<uint8_t> payload;
            return Receive(0, payload) && StagedWrittenTo(out, SizeOf(target)) &&
                   out->written > kV73UserBlockSize;
        }
        if (quietMs >= answerTimeoutMs.load()) break;
    }
    Stop();
    return false;
}

bool V73File::FetchHeaders(uint64_t first, uint64_t count) {
    batch.clear();
    Request request;
    request.operation = kHeader;
    request.index = first;
    request.count = count;
    std::vector<uint8_t> payload;
    if (!Ask(request, count * (4 + kMaxHeaderBytes), payload)) return false;
    Fields fields(payload);
    while (fields.left() > 0) {
        const uint32_t length = fields.Get32();
        std::vector<uint8_t> header(length <= kMaxHeaderBytes ? length : 0);
        if (length > kMaxHeaderBytes || batch.size() >= count || !fields.Take(header.data(), length)) {
            batch.clear();
            return false;
        }
        batch.push_back(std::move(header));
    }
    batchFirst = first;
    return !batch.empty();
}

bool V73File::Receive(uint64_t maxLength, std::vector<uint8_t>& payload) {
    AnswerHead head;
    if (!ReceiveAll(fd, &head, sizeof head, answerTimeoutMs.load()) || head.ok > 1 || head.length > maxLength ||
        (head.ok == 0 && head.length != 0)) {
        Stop();
        return false;
    }
    payload.clear();
    // Room for the whole answer at once (its length is within what was asked
    // for), so that a large one is not copied as it grows; without it, it grows.
    try {
        payload.reserve(static_cast<size_t>(std::min<uint64_t>(head.length, SIZE_MAX / 2)));
    } catch (const std::exception&) {
    }
    while (payload.size() < head.length) {
        const size_t at = payload.size();
        const size_t step = static_cast<size_t>(std::min<uint64_t>(head.length - at, kReceiveStep));
        payload.resize(at + step);
        if (!ReceiveAll(fd, payload.data() + at, step, answerTimeoutMs.load())) {
            Stop();
            return false;
        }
    }
    return head.ok == 1;
}

bool V73File::Start(std::vector<std::string>& found) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    const pid_t child = fork();
    if (child == 0) RunWorker(ends[1], path, size);
    close(ends[1]);
    if (child < 0) {
        close(ends[0]);
        return false;
    }
    pid = child;
    fd = ends[0];
    std::vector<uint8_t> payload;
    if (!Receive(uint64_t{kMaxVariables} * (4 + kMaxNameLength), payload)) {
        Stop();
        return false;
    }
    Fields fields(payload);
    found.clear();
    while (fields.left() > 0) {
        const uint32_t length = fields.Get32();
        std::string name(length <= kMaxNameLength ? length : 0, '\0');
        if (length > kMaxNameLength || !fields.Take(name.data(), length) || found.size() >= kMaxVariables) {
            Stop();
            return false;
        }
        found.push_back(std::move(name));
    }
    return fields.ok();
}

bool V73File::Ready() {
    if (fd >= 0) return true;
    // The last worker died: a new one, on the same variables.
    std::vector<std::string> found;
    if (restarts >= kMaxRestarts) return false;
    ++restarts;
    if (!Start(found) || found != names) {
        Stop();
        return false;
    }
    return true;
}

bool V73File::Ask(const Request& request, uint64_t maxLength, std::vector<uint8_t>& payload) {
    if (!Ready()) return false;
    if (!SendAll(fd, &request, sizeof request)) {
        Stop();
        return false;
    }
    return Receive(maxLength, payload);
}

namespace {

V73File* FileOf(const mxArray& array) {
    return array.version == 73 && array.source != nullptr ? array.source->hdf5.get() : nullptr;
}

// Asks the worker of the array's file about the array, unless the file has
// changed since the worker (now stopped) read it: a new worker would read
// other data under the same index.
bool AskAbout(const mxArray& array, Request request, uint64_t maxLength, std::vector<uint8_t>& payload) {
    V73File* file = FileOf(array);
    if (file == nullptr) return false;
    std::lock_guard<std::mutex> lock(file->lock);
    if (file->fd < 0 && !SourceUnchanged(*array.source)) return false;
    request.index = array.elementOffset;
    return file->Ask(request, maxLength, payload);
}

// The bytes of count elements of this class, or false when they overflow.
bool ElementBytes(const mxArray& array, uint64_t count, uint64_t& bytes) {
    return !__builtin_mul_overflow(count, ClassElementSize(array.classId), &bytes);
}

// Whether the worker's header is one this reader can hold: a class it
// knows, two to kMaxDimensions dimensions whose product fits, a short class name.
bool TakeHeader(const std::vector<uint8_t>& payload, mxArray& array) {
    Fields fields(payload);
    const uint32_t classId = fields.Get32();
    const uint32_t flags = fields.Get32();
    const uint64_t nzmax = fields.Get64();
    const uint32_t dimCount = fields.Get32();
    const uint32_t classNameLength = fields.Get32();
    if (!fields.ok() || classId > mxOBJECT_CLASS || (flags & ~(kComplex | kGlobal | kLogical | kSparse)) != 0 ||
        dimCount < 2 || dimCount > kMaxDimensions || classNameLength == 0 || classNameLength > kMaxClassNameLength ||
        nzmax > SIZE_MAX) {
        return false;
    }
    std::vector<mwSize> dims(dimCount);
    size_t product = 1;
    for (mwSize& d : dims) {
        const uint64_t value = fields.Get64();
        if (value > SIZE_MAX || __builtin_mul_overflow(product, static_cast<size_t>(value), &product)) return false;
        d = static_cast<size_t>(value);
    }
    std::string className(classNameLength, '\0');
    if (!fields.Take(className.data(), classNameLength) || fields.left() != 0) return false;
    array.classId = static_cast<mxClassID>(classId);
    array.className = std::move(className);
    array.complex = (flags & kComplex) != 0;
    array.global = (flags & kGlobal) != 0;
    array.logical = (flags & kLogical) != 0;
    array.sparse = (flags & kSparse) != 0;
    array.nzmax = static_cast<size_t>(nzmax);
    array.dims = std::move(dims);
    return !array.sparse || array.classId == mxDOUBLE_CLASS || array.classId == mxLOGICAL_CLASS;
}

// Sparse indexes as the array needs them: column starts rising from 0 to at
// most nzmax, every row inside the array.
bool SparseIndexesSound(const mxArray& array, const DecodedData& out) {
    const size_t columns = mxGetN(&array);
    if (out.jc.size() != columns + 1 || out.ir.size() != array.nzmax || out.jc[0] != 0 ||
        out.jc[columns] > array.nzmax) {
        return false;
    }
    for (size_t c = 0; c < columns; ++c) {
        if (out.jc[c + 1] < out.jc[c]) return false;
    }
    return std::all_of(out.ir.begin(), out.ir.end(), [&](size_t row) { return row < array.dims[0]; });
}

bool TakeIndexes(Fields& fields, uint64_t count, std::vector<size_t>& out) {
    out.resize(static_cast<size_t>(count));
    for (size_t& i : out) {
        const uint64_t value = fields.Get64();
        if (value > SIZE_MAX) return false;
        i = static_cast<size_t>(value);
    }
    return fields.ok();
}

// The decoded data the worker sent, taken only when every part has the size
// the array's header gives it.
bool TakeDecoded(const std::vector<uint8_t>& payload, const mxArray& array, DecodedData& out) {
    const uint64_t count = array.sparse ? array.nzmax : mxGetNumberOfElements(&array);
    uint64_t partBytes = 0;
    if (!ElementBytes(array, count, partBytes)) return false;
    Fields fields(payload);
    const uint64_t realBytes = fields.Get64(), imagBytes = fields.Get64();
    const uint64_t irCount = fields.Get64(), jcCount = fields.Get64();
    // An empty array may come without data.
    const bool realSound = realBytes == partBytes || (realBytes == 0 && count == 0);
    const bool imagSound = array.complex ? imagBytes == realBytes : imagBytes == 0;
    const bool indexesSound = array.sparse ? irCount == array.nzmax && jcCount == mxGetN(&array) + 1
                                           : irCount == 0 && jcCount == 0;
    if (!fields.ok() || !realSound || !imagSound || !indexesSound ||
        fields.left() != realBytes + imagBytes + (irCount + jcCount) * 8) {
        return false;
    }
    out.real.resize(static_cast<size_t>(realBytes));
    out.imag.resize(static_cast<size_t>(imagBytes));
    if (!fields.Take(out.real.data(), out.real.size()) || !fields.Take(out.imag.data(), out.imag.size()) ||
        !TakeIndexes(fields, irCount, out.ir) || !TakeIndexes(fields, jcCount, out.jc)) {
        return false;
    }
    return !array.sparse || SparseIndexesSound(array, out);
}

}  // namespace

void SetV73AnswerTimeout(int milliseconds) { answerTimeoutMs = milliseconds; }

V73Status OpenV73(SourceFile& source) {
    auto file = std::make_shared<V73File>();
    file->path = source.path;
    file->size = source.size;
    std::lock_guard<std::mutex> lock(file->lock);
    if (!file->Start(file->names)) return V73Status::Damaged;
    source.hdf5 = std::move(file);
    return V73Status::Ok;
}

HeaderStatus ReadV73Header(const std::shared_ptr<SourceFile>& source, uint64_t index, mxArray& array,
                           uint64_t& next) {
    V73File* file = source != nullptr ? source->hdf5.get() : nullptr;
    if (file == nullptr) return HeaderStatus::Damaged;
    if (index >= file->names.size()) return HeaderStatus::End;
    if (file->names[index].empty()) return HeaderStatus::Damaged;   // its name is too long
    std::lock_guard<std::mutex> lock(file->lock);
    if (index < file->batchFirst || index - file->batchFirst >= file->batch.size()) {
        const uint64_t count = std::min<uint64_t>(file->batchSize, file->names.size() - index);
        if (!file->FetchHeaders(index, count)) {
            if (count == 1) return HeaderStatus::Damaged;
            file->batchSize = 1;
            if (!file->FetchHeaders(index, 1)) return HeaderStatus::Damaged;
        }
    }
    if (!TakeHeader(file->batch[index - file->batchFirst], array)) return HeaderStatus::Damaged;
    array.name = file->names[index];
    array.version = 73;
    array.source = source;
    array.elementOffset = index;
    next = index + 1;
    return HeaderStatus::Ok;
}

bool DecodeV73(const mxArray& array, DecodedData& out) {
    // What the answer may hold: both parts and the sparse indexes.
    const uint64_t count = array.sparse ? array.nzmax : mxGetNumberOfElements(&array);
    const uint64_t indexes = array.sparse ? uint64_t{array.nzmax} + mxGetN(&array) + 1 : 0;
    uint64_t partBytes = 0, bothParts = 0, indexBytes = 0, maxLength = 0;
    if (indexes > SIZE_MAX || !ElementBytes(array, count, partBytes) ||
        __builtin_mul_overflow(partBytes, 2, &bothParts) || __builtin_mul_overflow(indexes, 8, &indexBytes) ||
        __builtin_add_overflow(bothParts, indexBytes + 32, &maxLength)) {
        return false;
    }
    Request request;
    request.operation = kDecode;
    std::vector<uint8_t> payload;
    return AskAbout(array, request, maxLength, payload) && TakeDecoded(payload, array, out);
}

size_t ReadV73Elements(const mxArray& array, int part, uint64_t first, size_t count, double* asDouble,
                       int64_t* asInt64, uint64_t* asUInt64) {
    const size_t total = mxGetNumberOfElements(&array);
    const size_t width = ClassElementSize(array.classId);
    if (width == 0 || first >= total || (part == 1 && !array.complex) || array.sparse) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, total - first));
    uint64_t maxLength = 0;
    if (count == 0 || !ElementBytes(array, count, maxLength)) return 0;
    Request request;
    request.operation = kElements;
    request.part = static_cast<uint32_t>(part);
    request.first = first;
    request.count = count;
    std::vector<uint8_t> values;
    if (!AskAbout(array, request, maxLength, values) || values.size() % width != 0) return 0;
    const size_t read = values.size() / width;
    for (size_t i = 0; i < read; ++i) {
        ReadClassValue(values.data() + i * width, array.classId, asDouble ? asDouble + i : nullptr,
                       asInt64 ? asInt64 + i : nullptr, asUInt64 ? asUInt64 + i : nullptr);
    }
    return read;
}

bool WriteV73File(const std::shared_ptr<SourceFile>& source, const std::vector<uint64_t>& indexes,
                  const uint8_t userBlock[kV73UserBlockSize], StagedFile* out) {
    V73File* file = source != nullptr ? source->hdf5.get() : nullptr;
    if (file == nullptr || out == nullptr || out->written != 0) return false;
    std::lock_guard<std::mutex> lock(file->lock);
    if (file->fd < 0 && !SourceUnchanged(*source)) return false;
    return file->Write(indexes, userBlock, out);
}

bool ReadV73Contents(const mxArray& array, size_t textRoom, std::vector<uint8_t>& element) {
    Request request;
    request.operation = kContents;
    // Each array the text shows takes a line of at least three characters:
    // arrays beyond these would not be shown.
    request.count = textRoom / 3 + 2;
    return AskAbout(array, request, kMaxShownElementBytes, element) && !element.empty();
}

bool ReadV73Subsystem(const mxArray& array, std::vector<uint8_t>& payload) {
    Request request;
    request.operation = kSubsystem;
    return AskAbout(array, request, kMaxDecodedSubsystemBytes, payload) && !payload.empty();
}

}  // namespace matlib
