// The worker's side of version 7.3 reading: it opens the file it is sent
// with libhdf5 and answers the reader's requests (v73client/v73_client.cpp)
// until the reader closes the channel. Whatever it answers, the reader checks before use; whatever
// libhdf5 does to it on a damaged file ends this process only.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "codec/mat_format.h"
#include "v73client/v73_protocol.h"
#include "os/worker_process.h"
#include "worker/v73_hdf5.h"
#include "worker/v73_objects.h"

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

// For tests: kWorkerFaultsVariable = "N MODE REPORT" fails the N-th file
// call of this worker from its start (reading, writing, resizing, sizing
// the files it is sent), once (MODE 0) or from it on (MODE 1), as a full
// disk or a failing device would fail it. The first failure appends a line
// to the file REPORT: the test knows that its plan reached a call. Read
// once, as the worker starts (before it gives up opening files).
struct TestFaults {
    static inline uint64_t failAt = 0, calls = 0;
    static inline bool forGood = false;
    static inline FILE* report = nullptr;
    static inline platform::FileSystemCalls saved{};

    static bool Fails() {
        ++calls;
        const bool fails = forGood ? calls >= failAt : calls == failAt;
        if (fails && report != nullptr) {
            platform::FileSystem().write("failed\n", 7, report);
            platform::FileSystem().close(report);
            report = nullptr;
        }
        return fails;
    }
    static int64_t Read(platform::NativeFile f, uint64_t at, void* bytes, size_t size) {
        return Fails() ? -1 : saved.readNativeAt(f, at, bytes, size);
    }
    static int64_t Write(platform::NativeFile f, uint64_t at, const void* bytes, size_t size) {
        // As on a full disk: part of the bytes go in, then no more.
        if (!Fails()) return saved.writeNativeAt(f, at, bytes, size);
        return size > 1 ? std::max<int64_t>(saved.writeNativeAt(f, at, bytes, size / 2), 0) : -1;
    }
    static bool Resize(platform::NativeFile f, uint64_t size) { return !Fails() && saved.resizeNative(f, size); }
    static bool Size(platform::NativeFile f, uint64_t& size) { return !Fails() && saved.sizeOfNative(f, size); }

    static void Install() {
        const char* plan = std::getenv(platform::kWorkerFaultsVariable);
        unsigned long long at = 0;
        int mode = 0, reportAt = 0;
        if (plan == nullptr || std::sscanf(plan, "%llu %d %n", &at, &mode, &reportAt) != 2 || at == 0) return;
        failAt = at;
        forGood = mode != 0;
        report = platform::FileSystem().open(plan + reportAt, "ab");
        saved = platform::FileSystem();
        platform::FileSystem().readNativeAt = Read;
        platform::FileSystem().writeNativeAt = Write;
        platform::FileSystem().resizeNative = Resize;
        platform::FileSystem().sizeOfNative = Size;
    }
};

// A whole variable as a level-5 element goes out in pieces (v73_protocol.h,
// kLevel5), each sent as it is made; beats may go between them.
struct PieceContext {
    Heartbeat* heart;
    bool channelOk = true;
};

bool SendPiece(void* context, const uint8_t* data, size_t size) {
    auto* piece = static_cast<PieceContext*>(context);
    std::lock_guard<std::mutex> lock(piece->heart->sending);
    AnswerHead head;
    head.ok = 1;
    head.length = size;
    piece->channelOk = piece->channelOk && size <= kMaxLevel5Piece && piece->heart->end->Send(&head, sizeof head) &&
                       piece->heart->end->Send(data, size);
    return piece->channelOk;
}

// What the worker keeps between requests: its channel, the file, and the
// header of the variable asked about last (a viewer reads one variable
// piece by piece).
struct Server {
    Server(platform::WorkerEnd& channel, hdf5::File* opened) : end(channel), file(opened) {}
    platform::WorkerEnd& end;
    hdf5::File* file;
    mxArray header;
    uint64_t headerIndex = UINT64_MAX;
    // What the last plans noted, of a variable and of the subsystem data: a
    // writer plans before it asks for the element, which then needs no
    // walk of its own for the sizes.
    struct Noted {
        bool held = false;   // (index may be kLevel5Subsystem, UINT64_MAX)
        uint64_t index = 0;
        std::vector<uint64_t> sizes;
        hdf5::Level5Plan plan;
    };
    Noted notedVariable, notedSubsystem;

    Noted& NotedFor(uint64_t index) { return index == kLevel5Subsystem ? notedSubsystem : notedVariable; }

    // Walks the variable for its sizes (the first walk of a level-5 element).
    bool PlanLevel5(uint64_t index, Noted& noted) {
        noted.held = false;
        noted.plan = hdf5::Level5Plan{};
        const bool planned = hdf5::Level5Image(*file, index, noted.sizes, noted.plan, nullptr, nullptr) &&
                             noted.plan.failure == kLevel5Ok;
        noted.held = planned;
        noted.index = index;
        return planned;
    }

    bool Load(uint64_t index) {
        if (headerIndex == index) return true;
        headerIndex = UINT64_MAX;
        header = mxArray();
        if (hdf5::ReadHeader(*file, index, header) != HeaderStatus::Ok) return false;
        headerIndex = index;
        return true;
    }

    // The level-5 element of a variable, its size first: walked once for
    // the sizes, then again to send it. False when the channel broke.
    bool StreamLevel5(const Request& request, Heartbeat& heart) {
        Noted& noted = NotedFor(request.index);
        bool planned = noted.held && noted.index == request.index;
        try {
            // A whole decode is refused before a byte goes out when the data
            // could not be what the variable claims.
            planned = (planned || PlanLevel5(request.index, noted)) &&
                      (request.part != kLevel5Decode || (Load(request.index) && hdf5::StoredCouldMake(*file, header)));
        } catch (const std::bad_alloc&) {
            planned = false;
        }
        // Used once. A file changed since its plan shows as a size that
        // differs while the element goes out.
        noted.held = false;
        std::vector<uint64_t> sizes = std::move(noted.sizes);
        const hdf5::Level5Plan plan = noted.plan;
        if (!planned) return SendAnswer(heart, false, {});
        {
            std::lock_guard<std::mutex> lock(heart.sending);
            AnswerHead head;
            head.ok = 1;
            head.length = sizeof plan.bytes;
            if (!heart.end->Send(&head, sizeof head) || !heart.end->Send(&plan.bytes, sizeof plan.bytes)) return false;
        }
        PieceContext context{&heart};
        hdf5::Level5Plan again;
        bool written = false;
        try {
            written = hdf5::Level5Image(*file, request.index, sizes, again, SendPiece, &context);
        } catch (const std::bad_alloc&) {
            written = false;
        }
        std::lock_guard<std::mutex> lock(heart.sending);
        heart.working = false;
        if (!context.channelOk) return false;
        // The end, after the last piece: the element's bytes may all be out
        // before its last size is found different from the plan.
        AnswerHead end;
        end.ok = written ? 1 : 0;
        return heart.end->Send(&end, sizeof end);
    }

    // One request's answer.
    bool Answer(const Request& request, std::vector<uint8_t>& out) {
        if (request.operation == kLevel5) {
            Noted& noted = NotedFor(request.index);
            PlanLevel5(request.index, noted);
            Put64(out, noted.plan.bytes);
            Put32(out, noted.plan.objects ? 1 : 0);
            Put32(out, noted.plan.failure);
            return true;
        }
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
            case kVerify: {
                // Nothing that leads outside the file is read to check it.
                const uint32_t storage = hdf5::CheckInside(*file, header);
                Put32(out, storage);
                Put32(out, storage == kInside && request.part != kStorageOnly ? hdf5::Verify(*file, header)
                                                                              : uint32_t{kWhole});
                return true;
            }
            case kElements:
                return hdf5::ReadElements(*file, header, static_cast<int>(request.part), request.first,
                                          static_cast<size_t>(request.count), out) > 0;
            case kContents:
                return hdf5::ContentsImage(*file, header, request.count, out);
            default: return false;
        }
    }
};

}  // namespace

void Serve(platform::WorkerEnd& end) {
    TestFaults::Install();
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
    Server server(end, file.get());
    Request request;
    platform::NativeFile passed = platform::kNoFile;
    // The reader closing its end (or dying) ends the worker. No request
    // after the first comes with a file.
    while (end.ReceiveRequest(&request, sizeof request, passed)) {
        platform::CloseNativeFile(passed);
        StartWork(heart);
        out.clear();
        if (request.operation == kLevel5 && (request.part == kLevel5Stream || request.part == kLevel5Decode)) {
            if (!server.StreamLevel5(request, heart)) break;
            continue;
        }
        bool ok = false;
        try {
            ok = server.Answer(request, out);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        if (!SendAnswer(heart, ok, out)) break;
    }
}

}  // namespace matlib::v73
