// The worker's side of version 7.3 reading: it opens the file it is sent
// with libhdf5 and answers the reader's requests (matlib/v73_worker.cpp)
// until the reader closes the channel. Whatever it answers, the reader checks before use; whatever
// libhdf5 does to it on a damaged file ends this process only.
#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "matlib/mat_format.h"
#include "matlib/v73_protocol.h"
#include "platform/worker_process.h"
#include "worker/v73_hdf5.h"

namespace matlib::v73 {

namespace {

using namespace format;

// The worker's heartbeat. While it works on a request, a beat goes out every
// half second (on a thread of its own) as long as its reads and writes move
// on; work that moves no byte for a few beats (a loop in libhdf5 on a
// damaged file) beats no more, and the reader gives the worker up. Beats and
// answers go out one at a time; no beat follows the start of an answer.
struct Heartbeat {
    std::mutex sending;
    platform::WorkerEnd* end = nullptr;
    bool working = false;
    uint64_t movedAtLastBeat = 0;
    int stillBeats = 0;
};

constexpr int kBeatMs = 500;
// Beats sent while no byte moves: work may think a while between reads.
constexpr int kMaxStillBeats = 4;

void Beat(void* context) {
    auto* heart = static_cast<Heartbeat*>(context);
    std::lock_guard<std::mutex> lock(heart->sending);
    if (!heart->working) return;
    const uint64_t moved = hdf5::BytesMoved();
    heart->stillBeats = moved == heart->movedAtLastBeat ? heart->stillBeats + 1 : 0;
    heart->movedAtLastBeat = moved;
    if (heart->stillBeats > kMaxStillBeats) return;
    AnswerHead head;
    head.ok = kBeat;
    // The reader is gone (its end closed): so is the work's purpose.
    if (!heart->end->Send(&head, sizeof head)) std::_Exit(0);
}

void StartWork(Heartbeat& heart) {
    std::lock_guard<std::mutex> lock(heart.sending);
    heart.working = true;
    heart.stillBeats = 0;
}

bool SendAnswer(Heartbeat& heart, bool ok, const std::vector<uint8_t>& payload) {
    std::lock_guard<std::mutex> lock(heart.sending);
    heart.working = false;
    AnswerHead head;
    head.ok = ok ? 1 : 0;
    head.refusal = ok ? kInside : hdf5::TakeRefusal();
    head.length = ok ? payload.size() : 0;
    return heart.end->Send(&head, sizeof head) && (!ok || heart.end->Send(payload.data(), payload.size()));
}

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

// What the worker keeps between requests: its channel, the file, and the
// header of the variable asked about last (a viewer reads one variable
// piece by piece).
struct Worker {
    Worker(platform::WorkerEnd& channel, hdf5::File* opened) : end(channel), file(opened) {}
    platform::WorkerEnd& end;
    hdf5::File* file;
    mxArray header;
    uint64_t headerIndex = UINT64_MAX;
    bool outOfStep = false;   // a request's data did not arrive: stop

    bool Load(uint64_t index) {
        if (headerIndex == index) return true;
        headerIndex = UINT64_MAX;
        header = mxArray();
        if (hdf5::ReadHeader(*file, index, header) != HeaderStatus::Ok) return false;
        headerIndex = index;
        return true;
    }

    // The new file comes as `passed`; the user block to put before its HDF5
    // data and the indexes of its variables follow the request. libhdf5
    // writes it through a driver that takes the open file by its number, so
    // that a file without a name (not yet in its folder) can be written.
    bool WriteFile(const Request& request, platform::NativeFile passed) {
        uint8_t userBlock[kV73UserBlockSize];
        std::vector<uint64_t> indexes(static_cast<size_t>(std::min<uint64_t>(request.count, kMaxVariables)));
        // A request that does not say what follows it leaves the stream
        // out of step.
        if (request.count > kMaxVariables || !end.Receive(userBlock, sizeof userBlock) ||
            !end.Receive(indexes.data(), indexes.size() * sizeof(uint64_t))) {
            outOfStep = true;
            return false;
        }
        if (passed == platform::kNoFile) return false;
        return hdf5::WriteFile(*file, indexes, std::to_string(passed), hdf5::DescriptorDriver()) &&
               platform::WriteNativeAt(passed, 0, userBlock, sizeof userBlock) ==
                   static_cast<int64_t>(sizeof userBlock);
    }

    // One request's answer.
    bool Answer(const Request& request, platform::NativeFile passed, std::vector<uint8_t>& out) {
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
            case kCheck: Put32(out, hdf5::CheckInside(*file, header)); return true;
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

}  // namespace

void Serve(platform::WorkerEnd& end) {
    // Kept to the process's end, which the ticker's thread does not outlive.
    Heartbeat& heart = *new Heartbeat;
    heart.end = &end;
    // Without a heartbeat, long work is given up as a hung worker: still correct.
    platform::StartTicker(Beat, &heart, kBeatMs);
    // Its file comes open, and so does the new file of an extraction: the
    // worker needs to open none, and gives up opening any where the system
    // lets it, before libhdf5 reads a byte.
    platform::GiveUpOpeningFiles();
    std::vector<uint8_t> out;
    bool opened = false;
    Request open;
    platform::NativeFile source = platform::kNoFile;   // open as long as the worker runs
    if (!end.ReceiveRequest(&open, sizeof open, source)) return;
    if (open.operation == kCreate) {
        WriterAnswers answers;
        answers.context = &heart;
        answers.startWork = [](void* context) { StartWork(*static_cast<Heartbeat*>(context)); };
        answers.send = [](void* context, bool ok) { return SendAnswer(*static_cast<Heartbeat*>(context), ok, {}); };
        ServeWriter(end, open, source, answers);
        return;
    }
    hdf5::FilePtr file;
    try {
        StartWork(heart);
        if (open.operation == kOpen && source != platform::kNoFile) {
            file = hdf5::Open(std::to_string(source), hdf5::DescriptorDriver());
        }
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
    if (!SendAnswer(heart, opened, out) || !opened) return;
    Worker worker(end, file.get());
    Request request;
    platform::NativeFile passed = platform::kNoFile;
    // The reader closing its end (or dying) ends the worker.
    while (end.ReceiveRequest(&request, sizeof request, passed)) {
        StartWork(heart);
        out.clear();
        bool ok = false;
        try {
            ok = worker.Answer(request, passed, out);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        platform::CloseNativeFile(passed);
        if (worker.outOfStep || !SendAnswer(heart, ok, out)) break;
    }
}

}  // namespace matlib::v73
