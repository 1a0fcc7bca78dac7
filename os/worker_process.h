// A worker process and the channel between it and the process that starts
// it: work that may crash, hang or allocate without end (libhdf5 on a
// damaged file) is handed to a worker, and whatever becomes of the worker,
// the file manager that asked lives on. The worker is a program of its own
// in the folder of the module that holds this code (the plug-in's), so that
// what only it needs (libhdf5) is never loaded into the file manager.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "os/file_io.h"   // NativeFile

namespace platform {

// The starting process's side. Every failure ends the worker: a worker
// that might be out of step with its requests is never asked again.
// The signal that kills a process from outside (POSIX's SIGKILL), as
// Worker::endSignal gives it.
constexpr int kKillSignal = 9;
// For tests: the one variable of the starting process's environment that a
// worker is started with, when it is set: a plan of failing file calls,
// which the worker reads as it starts (worker/v73_serve.cpp).
inline constexpr char kWorkerFaultsVariable[] = "MATWCX_TEST_WORKER_FAULTS";

class Worker {
public:
    Worker() = default;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker() { Stop(); }

    // Starts `program`, a file name in the folder of the module that holds
    // this code, as a worker that may use `memory` bytes beyond what it
    // starts with, and no more than a few minutes of processor time. False
    // when it is not there or cannot start.
    bool Start(const char* program, uint64_t memory);
    bool running() const { return process_ != kNoFile; }
    // Whether the worker still runs; one that has ended is reaped (and
    // Stop is called), so that no dead worker waits for CloseArchive.
    bool Alive();
    // Ends the worker and releases what it held; nothing when none runs.
    void Stop();

    bool Send(const void* bytes, size_t size);
    // Sends a request of `size` bytes; with `file`, the worker gets the open
    // file with it (WorkerEnd::ReceiveRequest): a descriptor of its own for
    // the same open file, which it keeps as long as it likes.
    bool SendRequest(const void* bytes, size_t size, FILE* file);
    // Exactly `size` bytes; false at the end of the stream, on a failure, or
    // after timeoutMs without a byte.
    bool Receive(void* bytes, size_t size, int timeoutMs);
    // 1 when bytes wait to be received, 0 when none came within timeoutMs,
    // -1 when the channel failed.
    int Wait(int timeoutMs);
    // The watch on a worker that sends nothing: called after each wait of
    // `ms` that brought no byte, true once its silence amounts to limitMs.
    // Only a stall counts: time the worker spends stopped (a signal, a
    // debugger) or asleep, and processor time it uses without a word; time
    // it waits for a processor (a loaded machine) or a disk does not. Where
    // the system does not tell (Windows, macOS) every millisecond counts.
    // Heard() starts the count again.
    bool Stalled(int ms, int limitMs);
    void Heard() {
        quietMs_ = 0;
        quietTicks_ = UINT64_MAX;
    }
    // How the last worker ended: the signal that ended it when it ended by
    // itself (kStalled when it was given up for silent), or 0.
    static constexpr int kStalled = -1;
    int endSignal() const { return endSignal_; }
    // For tests: sends the worker a signal (POSIX; nothing elsewhere).
    void SignalForTest(int signal);

private:
    NativeFile process_ = kNoFile;   // POSIX: the child's process id
    NativeFile toWorker_ = kNoFile;
    NativeFile fromWorker_ = kNoFile;
    [[maybe_unused]] NativeFile job_ = kNoFile;   // Windows: the job that bounds the worker
    int quietMs_ = 0;
    uint64_t quietTicks_ = UINT64_MAX;   // its processor time when last looked at in this silence
    int endSignal_ = 0;
    bool channelEnded_ = false;   // POSIX: the worker closed its end
};

// The worker's side: it waits for requests without a time limit (the
// starting process ends it when it gives up).
class WorkerEnd {
public:
    WorkerEnd(NativeFile in, NativeFile out) : in_(in), out_(out) {}
    bool Send(const void* bytes, size_t size);
    bool Receive(void* bytes, size_t size);
    // A request of `size` bytes and the file sent with it (kNoFile when none
    // came): the receiver closes it with CloseNativeFile.
    bool ReceiveRequest(void* bytes, size_t size, NativeFile& passed);

private:
    NativeFile in_, out_;
};

// Calls tick(context) every intervalMs on a thread of its own, for the rest
// of the process's life; false when no thread could be started.
bool StartTicker(void (*tick)(void*), void* context, int intervalMs);

// The worker, its file open, gives up the right to open any other file
// where the system offers it: Landlock on Linux (when the kernel has it);
// nothing elsewhere. Files it is sent open stay usable.
void GiveUpOpeningFiles();

// The worker program's start, before anything else: its end of the channel
// (from its arguments and the descriptors or handles it was started with),
// its standard streams leading nowhere (nothing that libraries print can mix
// into the answers), and the bounds of Worker::Start on POSIX: no other
// descriptor, default signals, no core file, memory and processor time, and
// its end with the process that started it. A program not started by
// Worker::Start ends here.
WorkerEnd WorkerEndOfThisProgram(int argc, char** argv);
// The worker reads and writes the files it is sent through the file calls
// (FileSystem(): readNativeAt, writeNativeAt, resizeNative, sizeOfNative,
// startNativeWriteback).
void CloseNativeFile(NativeFile file);
// The system's file under an open stream (not a copy: the stream keeps it).
NativeFile NativeFileOf(FILE* stream);

}  // namespace platform
