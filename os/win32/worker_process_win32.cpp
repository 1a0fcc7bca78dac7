// Windows cannot fork: the worker is a program of its own in the folder of
// the module (plug-in DLL or program) that holds this code, started with
// two anonymous pipes as its standard input and output. It inherits those
// and nothing else, and runs in a job that bounds its memory and time and
// ends it when the job's handle closes, so that it cannot outlive the file
// manager. A file sent with a request is a copy of its handle, made in the
// worker's process; its value follows the request.
#include "os/worker_process.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <string>
#include <new>
#include <vector>

#include "os/win32/wide_path.h"

namespace platform {

namespace {

constexpr LONGLONG kWorkerCpuTime = 600LL * 10000000;   // 100-nanosecond units
// A handle value after a request; this one says none came.
constexpr uint64_t kNoHandle = UINT64_MAX;
// Pipes are read and written in pieces a DWORD can count.
constexpr size_t kMaxPiece = size_t{1} << 30;

HANDLE H(NativeFile file) { return reinterpret_cast<HANDLE>(file); }
NativeFile N(HANDLE handle) { return reinterpret_cast<NativeFile>(handle); }

void CloseIfOpen(NativeFile& file) {
    if (file != kNoFile) ::CloseHandle(H(file));
    file = kNoFile;
}

// All n bytes through ReadFile or WriteFile (`move`), piece by piece.
template <typename Byte, typename Move>
bool MoveAll(HANDLE pipe, Byte* bytes, size_t n, Move move) {
    while (n > 0) {
        DWORD moved = 0;
        const DWORD piece = static_cast<DWORD>(n < kMaxPiece ? n : kMaxPiece);
        if (!move(pipe, bytes, piece, &moved, nullptr) || moved == 0) return false;
        bytes += moved;
        n -= moved;
    }
    return true;
}

bool WriteAll(HANDLE pipe, const void* p, size_t n) {
    return MoveAll(pipe, static_cast<const uint8_t*>(p), n, ::WriteFile);
}
bool ReadAll(HANDLE pipe, void* p, size_t n) { return MoveAll(pipe, static_cast<uint8_t*>(p), n, ::ReadFile); }

// Anonymous pipes have no waiting with a time limit: the bytes waiting are
// looked at, with short sleeps between. The bytes waiting (0 when none came
// within timeoutMs); -1 when the pipe is broken (the worker ended).
int64_t WaitForBytes(HANDLE pipe, int timeoutMs) {
    const ULONGLONG start = ::GetTickCount64();
    for (int round = 0;; ++round) {
        DWORD waiting = 0;
        if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) return -1;
        if (waiting > 0) return waiting;
        if (::GetTickCount64() - start >= static_cast<ULONGLONG>(timeoutMs)) return 0;
        ::Sleep(round < 16 ? 0 : 1);   // a quick answer is caught at once
    }
}

// The folder of the module that holds this code, with `program` in it.
std::wstring ProgramBesideThisModule(const char* program) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&ProgramBesideThisModule), &module)) {
        return {};
    }
    std::wstring path(32768, L'\0');
    const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return {};
    path.resize(length);
    const size_t folderEnd = path.find_last_of(L"\\/");
    const std::wstring name = WideText(program);
    if (folderEnd == std::wstring::npos || name.empty()) return {};
    return path.substr(0, folderEnd + 1) + name;
}

// A job that ends the worker with its last handle, and bounds it.
HANDLE BoundingJob(uint64_t memory) {
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_PROCESS_MEMORY |
                                              JOB_OBJECT_LIMIT_PROCESS_TIME |
                                              JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    limits.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart = kWorkerCpuTime;
    limits.ProcessMemoryLimit = static_cast<SIZE_T>(memory < SIZE_MAX ? memory : SIZE_MAX);
    if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        ::CloseHandle(job);
        return nullptr;
    }
    return job;
}

}  // namespace

bool Worker::Start(const char* program, uint64_t memory) {
    Stop();
    const std::wstring path = program != nullptr ? ProgramBesideThisModule(program) : L"";
    if (path.empty()) return false;
    // The worker's ends are inheritable, ours not.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE workerIn = nullptr, toWorker = nullptr, fromWorker = nullptr, workerOut = nullptr;
    HANDLE nowhere = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr);
    bool ok = nowhere != INVALID_HANDLE_VALUE && ::CreatePipe(&workerIn, &toWorker, &inheritable, 0) &&
              ::CreatePipe(&fromWorker, &workerOut, &inheritable, 0) &&
              ::SetHandleInformation(toWorker, HANDLE_FLAG_INHERIT, 0) &&
              ::SetHandleInformation(fromWorker, HANDLE_FLAG_INHERIT, 0);
    // Only these three are inherited: another thread of the host starting a
    // program meanwhile must not keep a pipe of ours open in it.
    HANDLE inherited[3] = {workerIn, workerOut, nowhere};
    SIZE_T listSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<uint8_t> listBytes(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
    ok = ok && listSize > 0 && ::InitializeProcThreadAttributeList(list, 1, 0, &listSize);
    const bool listMade = ok;
    ok = ok && ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                           nullptr, nullptr);
    STARTUPINFOEXW start{};
    start.StartupInfo.cb = sizeof start;
    start.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    start.StartupInfo.hStdInput = workerIn;
    start.StartupInfo.hStdOutput = workerOut;
    start.StartupInfo.hStdError = nowhere;
    start.lpAttributeList = list;
    std::wstring commandLine = L"\"" + path + L"\"";
    PROCESS_INFORMATION started{};
    ok = ok && ::CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr,
                                &start.StartupInfo, &started);
    if (listMade) ::DeleteProcThreadAttributeList(list);
    for (HANDLE workers : {workerIn, workerOut, nowhere}) {
        if (workers != nullptr && workers != INVALID_HANDLE_VALUE) ::CloseHandle(workers);
    }
    if (!ok) {
        if (toWorker != nullptr) ::CloseHandle(toWorker);
        if (fromWorker != nullptr) ::CloseHandle(fromWorker);
        return false;
    }
    // Without a job (a host whose own job forbids one) the worker still ends
    // when its pipes close; it is only unbounded.
    HANDLE job = BoundingJob(memory);
    if (job != nullptr && !::AssignProcessToJobObject(job, started.hProcess)) {
        ::CloseHandle(job);
        job = nullptr;
    }
    ::ResumeThread(started.hThread);
    ::CloseHandle(started.hThread);
    process_ = N(started.hProcess);
    toWorker_ = N(toWorker);
    fromWorker_ = N(fromWorker);
    job_ = job != nullptr ? N(job) : kNoFile;
    return true;
}

// Waits for the worker to be gone: a file it was sent is released only
// then, and the caller may be about to remove it.
void Worker::Stop() {
    CloseIfOpen(toWorker_);
    CloseIfOpen(fromWorker_);
    if (process_ != kNoFile) {
        ::TerminateProcess(H(process_), 1);
        ::WaitForSingleObject(H(process_), 10000);
    }
    CloseIfOpen(process_);
    CloseIfOpen(job_);
}

bool Worker::Alive() {
    if (!running()) return false;
    if (::WaitForSingleObject(H(process_), 0) != WAIT_OBJECT_0) return true;
    Stop();
    return false;
}

namespace {

struct Ticker {
    void (*tick)(void*);
    void* context;
    int intervalMs;
};

DWORD WINAPI RunTicker(LPVOID p) {
    const auto* t = static_cast<const Ticker*>(p);
    for (;;) {
        ::Sleep(static_cast<DWORD>(t->intervalMs));
        t->tick(t->context);
    }
}

}  // namespace

bool StartTicker(void (*tick)(void*), void* context, int intervalMs) {
    auto* ticker = new (std::nothrow) Ticker{tick, context, intervalMs};
    if (ticker == nullptr) return false;
    HANDLE thread = ::CreateThread(nullptr, 0, RunTicker, ticker, 0, nullptr);
    if (thread == nullptr) {
        delete ticker;
        return false;
    }
    ::CloseHandle(thread);
    return true;
}

// The worker's job bounds its memory and time and ends it with the plug-in;
// Windows offers no way for a process to give up opening files it may open.
void GiveUpOpeningFiles() {}

bool Worker::Send(const void* bytes, size_t size) {
    if (running() && WriteAll(H(toWorker_), bytes, size)) return true;
    Stop();
    return false;
}

bool Worker::SendRequest(const void* bytes, size_t size, FILE* file) {
    if (!running()) return false;
    uint64_t value = kNoHandle;
    if (file != nullptr) {
        HANDLE copy = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), H(NativeFileOf(file)), H(process_), &copy, 0, FALSE,
                               DUPLICATE_SAME_ACCESS)) {
            Stop();
            return false;
        }
        value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(copy));
    }
    std::vector<uint8_t> message(static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size);
    message.resize(size + sizeof value);
    std::memcpy(message.data() + size, &value, sizeof value);
    return Send(message.data(), message.size());
}

bool Worker::Receive(void* p, size_t size, int timeoutMs) {
    auto* bytes = static_cast<uint8_t*>(p);
    while (running() && size > 0) {
        const int64_t waiting = WaitForBytes(H(fromWorker_), timeoutMs);
        if (waiting <= 0) break;
        const size_t piece = static_cast<uint64_t>(waiting) < size ? static_cast<size_t>(waiting) : size;
        if (!ReadAll(H(fromWorker_), bytes, piece)) break;
        bytes += piece;
        size -= piece;
    }
    if (size == 0) return true;
    Stop();
    return false;
}

void Worker::SignalForTest(int) {}

bool Worker::Stalled(int ms, int limitMs) {
    quietMs_ += ms;
    return quietMs_ >= limitMs;
}

int Worker::Wait(int timeoutMs) {
    if (!running()) return -1;
    const int64_t waiting = WaitForBytes(H(fromWorker_), timeoutMs);
    if (waiting < 0) Stop();
    return waiting < 0 ? -1 : waiting > 0 ? 1 : 0;
}

bool WorkerEnd::Send(const void* bytes, size_t size) { return WriteAll(H(out_), bytes, size); }

bool WorkerEnd::Receive(void* bytes, size_t size) { return ReadAll(H(in_), bytes, size); }

bool WorkerEnd::ReceiveRequest(void* bytes, size_t size, NativeFile& passed) {
    passed = kNoFile;
    uint64_t value = kNoHandle;
    if (!Receive(bytes, size) || !Receive(&value, sizeof value)) return false;
    if (value != kNoHandle) passed = static_cast<NativeFile>(value);
    return true;
}

// The pipes are taken as handles of its own; then the C runtime's standard
// streams, and the system's, lead to NUL. A crash ends it without a dialog.
// Its bounds are its job's (Worker::Start): it takes no arguments.
WorkerEnd WorkerEndOfThisProgram(int, char**) {
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    HANDLE self = ::GetCurrentProcess(), in = nullptr, out = nullptr;
    if (!::DuplicateHandle(self, ::GetStdHandle(STD_INPUT_HANDLE), self, &in, 0, FALSE, DUPLICATE_SAME_ACCESS) ||
        !::DuplicateHandle(self, ::GetStdHandle(STD_OUTPUT_HANDLE), self, &out, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        ::ExitProcess(1);
    }
    std::freopen("NUL", "rb", stdin);
    std::freopen("NUL", "wb", stdout);
    std::freopen("NUL", "wb", stderr);
    HANDLE nowhere = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    for (DWORD standard : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) ::SetStdHandle(standard, nowhere);
    return WorkerEnd(N(in), N(out));
}

void CloseNativeFile(NativeFile file) {
    if (file != kNoFile) ::CloseHandle(H(file));
}

NativeFile NativeFileOf(FILE* stream) {
    return stream != nullptr ? static_cast<NativeFile>(::_get_osfhandle(::_fileno(stream))) : kNoFile;
}

}  // namespace platform
