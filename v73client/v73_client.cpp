// Version 7.3 files are read by a worker process, never in the process that
// reads the archive: libhdf5 can crash, hang or allocate without end on a
// damaged file, and the engine runs inside a file manager. Each open file
// gets a worker of its own (started when it is opened, ended when it is
// closed); the functions of readers.h send it requests (v73_protocol.h) and
// check every answer against what they asked for before they use it. A
// worker that dies, stops answering or answers nonsense is one failed read;
// the next request starts a new worker for the same, unchanged file. Every
// worker is handed this process's own open file, never its path: a file put
// in its place meanwhile is not the one read.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "codec/convert.h"
#include "codec/mat_format.h"
#include "os/worker_process.h"
#include "v73client/v73_protocol.h"
#include "v73client/v73_reader.h"
#include "v73client/v73_writer.h"

namespace matlib {

namespace {

using namespace format;
using namespace v73;

// A worker that sends nothing for this long, neither answer nor beat, is
// taken for hung (stopped by a signal, or looping without reading): it beats
// every half second while its work moves on. The time counts only while the
// worker stalls (platform::Worker::Stalled): a worker waiting for a
// processor on a loaded machine is not given up.
std::atomic<int> answerTimeoutMs{5 * 1000};
// What a worker may use besides what it starts with: enough for any
// variable the reader could hold, not for a runaway allocation.
constexpr uint64_t kWorkerMemory = uint64_t{4} << 30;
// New workers for one file after the first, so that one damaged variable
// does not end the reading of the others, nor a file start workers without end.
constexpr int kMaxRestarts = 3;
// Answers arrive in pieces of at most this size: a length that lies costs
// no more than what was really sent.
constexpr size_t kReceiveStep = size_t{16} << 20;
// Headers asked for at once while listing, and the most one may take.
constexpr uint64_t kHeaderBatch = 256;
constexpr uint64_t kMaxHeaderBytes = 24 + kMaxDimensions * 8 + kMaxClassNameLength;

// Where an answer's payload goes: room(length) gives room for it, or null.
using AnswerRoom = std::function<uint8_t*(uint64_t length)>;

// A vector as the room of an answer: as long as the answer (which is within
// what was asked for), taken at once, not grown.
AnswerRoom RoomIn(std::vector<uint8_t>& payload) {
    return [&payload](uint64_t length) -> uint8_t* {
        if (length > payload.max_size()) return nullptr;   // (a 32-bit process)
        try {
            payload.resize(static_cast<size_t>(length));
        } catch (const std::exception&) {
            return nullptr;
        }
        return payload.data();
    };
}

}  // namespace

// ---- the reader's side ----------------------------------------------------------------------

struct V73File {
    FILE* stream = nullptr;   // the source's open file (SourceFile owns it), which every worker is sent
    uint64_t size = 0;
    std::vector<std::string> names;
    std::mutex lock;   // one request at a time; each file has its own worker
    platform::Worker worker;
    int restarts = 0;
    // The headers of the last batch: variables [batchFirst, batchFirst +
    // batch.size()). After a batch fails, headers are asked for one by one,
    // so that a variable that ends its worker costs only its own header.
    uint64_t batchFirst = 0;
    std::vector<std::vector<uint8_t>> batch;
    uint64_t batchSize = kHeaderBatch;

    // Starts a worker on the file; its variables' names, as it found them.
    // NotReadable: no worker could be started (its program is not beside
    // the plug-in).
    V73Status Start(std::vector<std::string>& found);

    // Sends a request and receives the answer's payload, at most maxLength
    // bytes. False when the worker could not answer (the worker is then
    // ended) or answered that it failed.
    // With a room: the payload goes where room(length) says (null: no room).
    bool Ask(const Request& request, uint64_t maxLength, std::vector<uint8_t>& payload);
    bool Ask(const Request& request, uint64_t maxLength, const AnswerRoom& room);
    bool Receive(uint64_t maxLength, const AnswerRoom& room);
    // The next answer's head, after any beats; false when none came in time.
    bool ReceiveHead(AnswerHead& head);
    // Why the worker refused the last request that failed (v73_protocol.h).
    uint32_t refusal = kInside;
    // The headers of variables [first, first + count) or a prefix of them, into batch.
    bool FetchHeaders(uint64_t first, uint64_t count);
    // A worker to ask: the running one, or a new one.
    bool Ready();
    // Whether the last request failed because the worker ended (killed from
    // outside, a crash) or stalled, rather than by its answer.
    bool lost = false;
    // The reason for a read lost twice: killed or silent (kReaderKilledReason,
    // kReaderSilentReason), or null when the worker crashed (as on damaged
    // data, which the read then counts as).
    const char* LostReason() const;
};

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

bool V73File::ReceiveHead(AnswerHead& head) {
    do {
        if (!worker.Receive(&head, sizeof head, answerTimeoutMs.load())) return false;
    } while (head.ok == kBeat && head.length == 0);
    refusal = head.ok == 0 ? head.refusal : kInside;
    return true;
}

bool V73File::Receive(uint64_t maxLength, const AnswerRoom& room) {
    AnswerHead head;
    if (!ReceiveHead(head)) return false;
    if (head.ok > 1 || head.length > maxLength || (head.ok == 0 && head.length != 0)) {
        worker.Stop();
        return false;
    }
    uint8_t* to = room(head.length);
    if (to == nullptr && head.length != 0) {
        worker.Stop();
        return false;
    }
    for (uint64_t at = 0; at < head.length;) {
        const size_t step = static_cast<size_t>(std::min<uint64_t>(head.length - at, kReceiveStep));
        if (!worker.Receive(to + at, step, answerTimeoutMs.load())) return false;
        at += step;
    }
    return head.ok == 1;
}

// What opening says when no worker starts: the user is to put it back.
#if defined(_WIN32)
constexpr char kWorkerMissingReason[] = "its worker program matwcx_v73.exe is missing beside the plug-in (or cannot start)";
#else
constexpr char kWorkerMissingReason[] = "its worker program matwcx_v73 is missing beside the plug-in (or cannot start)";
#endif

V73Status V73File::Start(std::vector<std::string>& found) {
    const uint64_t memory = kWorkerMemory + std::min<uint64_t>(size, uint64_t{1} << 40) * 2;
    std::vector<uint8_t> payload;
    if (!worker.Start(kWorkerProgram, memory)) {
        SetLastError(kWorkerMissingReason);
        return V73Status::NotReadable;
    }
    Request open;
    open.operation = kOpen;
    if (!worker.SendRequest(&open, sizeof open, stream) ||
        !Receive(uint64_t{kMaxVariables} * (4 + kMaxNameLength), RoomIn(payload))) {
        worker.Stop();
        return V73Status::Damaged;
    }
    Fields fields(payload);
    found.clear();
    while (fields.left() > 0) {
        const uint32_t length = fields.Get32();
        std::string name(length <= kMaxNameLength ? length : 0, '\0');
        if (length > kMaxNameLength || !fields.Take(name.data(), length) || found.size() >= kMaxVariables) {
            worker.Stop();
            return V73Status::Damaged;
        }
        found.push_back(std::move(name));
    }
    return fields.ok() ? V73Status::Ok : V73Status::Damaged;
}

bool V73File::Ready() {
    // A worker that died since the last request is reaped now, and replaced.
    if (worker.Alive()) return true;
    // The last worker died: a new one, on the same variables.
    std::vector<std::string> found;
    if (restarts >= kMaxRestarts) return false;
    ++restarts;
    if (Start(found) != V73Status::Ok || found != names) {
        worker.Stop();
        return false;
    }
    return true;
}

// For tests: MATWCX_TEST_WORKER_SIGNAL="SIGNAL FIRST COUNT [answered]" sends
// the worker that signal as requests FIRST to FIRST + COUNT - 1 are made
// (counted from 1 in this process, the writer's requests among them), as a
// user or the system's out-of-memory killer would; with "answered", once
// their answers are in (a worker that dies between requests).
void SignalWorkerForTest(platform::Worker& worker, bool answered) {
    static const struct Plan {
        int signal = 0;
        uint64_t first = 0, count = 0;
        bool answered = false;
    } plan = [] {
        Plan made;
        const char* text = std::getenv("MATWCX_TEST_WORKER_SIGNAL");
        unsigned long long first = 0, count = 0;
        char when[16] = {};
        int signal = 0;
        if (text == nullptr || std::sscanf(text, "%d %llu %llu %15s", &signal, &first, &count, when) < 3) return made;
        made = {signal, first, count, std::strcmp(when, "answered") == 0};
        return made;
    }();
    static std::atomic<uint64_t> requests{0};
    if (plan.signal == 0 || answered != plan.answered) return;
    const uint64_t n = ++requests;
    if (n >= plan.first && n - plan.first < plan.count) worker.SignalForTest(plan.signal);
}

const char* V73File::LostReason() const {
    if (worker.endSignal() == platform::Worker::kStalled) return kReaderSilentReason;
    return worker.endSignal() == platform::kKillSignal ? kReaderKilledReason : nullptr;
}

// A worker that ends or stalls in the middle of a request costs that
// request once: it is asked again of a fresh worker.
bool V73File::Ask(const Request& request, uint64_t maxLength, std::vector<uint8_t>& payload) {
    return Ask(request, maxLength, RoomIn(payload));
}

bool V73File::Ask(const Request& request, uint64_t maxLength, const AnswerRoom& room) {
    for (int attempt = 0;; ++attempt) {
        lost = false;
        if (!Ready()) {
            // Workers that keep dying (more often than the file's restarts)
            // are lost ones too, not a sign of damage.
            lost = !worker.running() && worker.endSignal() != 0;
            return false;
        }
        // (A test's signal lands before the request: sent after it, a
        // quick answer could come first and the test would see no loss.)
        SignalWorkerForTest(worker, false);
        const bool sent = worker.SendRequest(&request, sizeof request, nullptr);
        if (sent && Receive(maxLength, room)) {
            SignalWorkerForTest(worker, true);
            return true;
        }
        lost = !worker.running() && worker.endSignal() != 0;
        if (!lost || attempt > 0) return false;
    }
}

namespace {

V73File* FileOf(const mxArray& array) {
    return array.format == &kV73Format && array.source != nullptr ? array.source->hdf5.get() : nullptr;
}

// Asks the worker of the array's file about the array, unless the file has
// changed since the worker (now stopped) read it: a new worker would read
// other data under the same index.
bool AskAbout(const mxArray& array, Request request, uint64_t maxLength, const AnswerRoom& room) {
    V73File* file = FileOf(array);
    if (file == nullptr) return false;
    std::lock_guard<std::mutex> lock(file->lock);
    if (!file->worker.Alive() && !SourceUnchanged(*array.source)) return false;
    request.index = array.elementOffset;
    return file->Ask(request, maxLength, room);
}

bool AskAbout(const mxArray& array, Request request, uint64_t maxLength, std::vector<uint8_t>& payload) {
    return AskAbout(array, request, maxLength, RoomIn(payload));
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

// The worker's level-5 element, in this machine's byte order.
constexpr bool kWorkerSwapped = false;

// A variable's element as the worker streams it, for the codec's parser:
// read forward only, what is passed over read and dropped.
class StreamedElement final : public ElementInput {
public:
    explicit StreamedElement(V73Level5Reader& reader) : reader_(reader) {}
    bool Read(uint64_t pos, void* buffer, size_t n) override {
        uint8_t dropped[256];
        while (at_ < pos) {
            const auto step = static_cast<size_t>(std::min<uint64_t>(pos - at_, sizeof dropped));
            if (!reader_.Read(dropped, step)) return false;
            at_ += step;
        }
        if (pos != at_ || (n > 0 && !reader_.Read(static_cast<uint8_t*>(buffer), n))) return false;
        at_ += n;
        return true;
    }
    uint64_t at() const { return at_; }

private:
    V73Level5Reader& reader_;
    uint64_t at_ = 0;
};

// Whether the element's head is the one the listing gave the variable.
bool IsListedArray(const ArrayHeader& head, const mxArray& array) {
    uint8_t code = static_cast<uint8_t>(array.classId);   // numeric classes: their own code
    if (array.classId == mxCHAR_CLASS) code = mxCHAR;
    if (array.classId == mxLOGICAL_CLASS) code = mxUINT8;
    if (array.sparse) code = mxSPARSE;
    return head.code == code && head.complex == array.complex && head.logical == array.logical &&
           std::equal(head.dims.begin(), head.dims.end(), array.dims.begin(), array.dims.end()) &&
           (!array.sparse || head.nzmax == array.nzmax);
}

}  // namespace

void SetV73AnswerTimeout(int milliseconds) { answerTimeoutMs = milliseconds; }

V73Status OpenV73(SourceFile& source) {
    auto file = std::make_shared<V73File>();
    file->stream = source.stream;
    file->size = source.size;
    std::lock_guard<std::mutex> lock(file->lock);
    const V73Status started = file->Start(file->names);
    if (started == V73Status::Ok) source.hdf5 = std::move(file);
    return started;
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
    array.format = &kV73Format;
    array.source = source;
    array.elementOffset = index;
    next = index + 1;
    return HeaderStatus::Ok;
}

namespace {

bool DecodeFrom(V73Level5Reader& reader, const mxArray& array, DecodedData& out) {
    if (!reader.Start(array, false, true)) return false;
    StreamedElement element(reader);
    const uint64_t end = reader.total();
    uint8_t tag[kTagSize];
    ArrayHeader head;
    if (!element.Read(0, tag, sizeof tag) || Load32(tag, kWorkerSwapped) != miMATRIX ||
        Load32(tag + 4, kWorkerSwapped) != end - kTagSize ||
        !ReadArrayHeader(element, kWorkerSwapped, kTagSize, end, head) || !IsListedArray(head, array)) {
        return false;
    }
    // Room for what the listing's header says the parts hold, taken once.
    const uint64_t count = array.sparse ? array.nzmax : mxGetNumberOfElements(&array);
    uint64_t partBytes = 0;
    if (!ElementBytes(array, count, partBytes) || partBytes > end) return false;
    out.real.reserve(static_cast<size_t>(partBytes));
    if (array.complex) out.imag.reserve(static_cast<size_t>(partBytes));
    if (!DecodeArrayData(element, array, head.code, kWorkerSwapped, head.dataPos, end, true, out) ||
        (array.sparse && out.ir.size() != array.nzmax)) {
        return false;
    }
    // Nothing but padding after the data; the worker confirms the element
    // after its last byte.
    return end - element.at() < kTagSize && element.Read(end, nullptr, 0);
}

}  // namespace

bool DecodeV73(const mxArray& array, DecodedData& out) {
    // A worker lost while it sends (killed, crashed, silent) costs the
    // decode once, as it costs any request.
    for (int attempt = 0; attempt < 2; ++attempt) {
        V73Level5Reader reader;
        if (DecodeFrom(reader, array, out)) return true;
        if (!reader.lost()) return false;
        out = DecodedData{};
    }
    return false;
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
    if (array.classId == mxDOUBLE_CLASS && asDouble != nullptr && asInt64 == nullptr && asUInt64 == nullptr) {
        // Doubles are received where they are wanted: no copy of the whole run.
        uint64_t received = 0;
        const AnswerRoom room = [&](uint64_t length) -> uint8_t* {
            received = length;
            return length % width == 0 ? reinterpret_cast<uint8_t*>(asDouble) : nullptr;
        };
        return AskAbout(array, request, maxLength, room) ? static_cast<size_t>(received / width) : 0;
    }
    std::vector<uint8_t> values;
    if (!AskAbout(array, request, maxLength, values) || values.size() % width != 0) return 0;
    const size_t read = values.size() / width;
    for (size_t i = 0; i < read; ++i) {
        ReadClassValue(values.data() + i * width, array.classId, asDouble ? asDouble + i : nullptr,
                       asInt64 ? asInt64 + i : nullptr, asUInt64 ? asUInt64 + i : nullptr);
    }
    return read;
}

bool ReadV73Contents(const mxArray& array, size_t textRoom, std::vector<uint8_t>& element) {
    Request request;
    request.operation = kContents;
    // Each array the text shows takes a line of at least three characters:
    // arrays beyond these would not be shown.
    request.count = textRoom / 3 + 2;
    return AskAbout(array, request, kMaxShownElementBytes, element) && !element.empty();
}

const char* CheckV73(const mxArray& array) {
    Request request;
    request.operation = kVerify;
    request.part = kStorageOnly;
    std::vector<uint8_t> payload;
    V73File* file = FileOf(array);
    if (file == nullptr || !AskAbout(array, request, 8, payload)) {
        return file != nullptr && file->refusal != kInside ? V73RefusalText(file->refusal) : nullptr;
    }
    Fields fields(payload);
    const uint32_t found = fields.Get32();
    return fields.ok() && found != kInside ? V73RefusalText(found) : nullptr;
}

namespace {

const char* DamageText(uint32_t damage) {
    switch (damage) {
        case kDataUnreadable:
            return "a dataset of it does not read whole (a chunk is cut or does not inflate, or its checksum is wrong)";
        case kDimensionsWrong: return "its dimensions do not agree with its data";
        case kDanglingReference: return "a reference in it leads to no object of the file";
        case kSparseColumns: return "its sparse column starts (jc) do not rise from 0 to at most its stored values";
        case kSparseRows: return "a sparse row index (ir) of it lies outside its rows or out of order in its column";
        case kSparseSizes: return "the sizes of its sparse parts (data, ir, jc) do not agree";
        case kNestedTooDeep: return "it is nested more than 256 levels deep, deeper than any MATLAB array";
        default: return "a member of it (a field or a link) cannot be opened";
    }
}

}  // namespace

const char* VerifyV73(const mxArray& array) {
    Request request;
    request.operation = kVerify;
    std::vector<uint8_t> payload;
    V73File* file = FileOf(array);
    if (file == nullptr) return "it cannot be read";
    SetLastError(nullptr);
    if (!AskAbout(array, request, 8, payload)) {
        if (file->lost && file->LostReason() != nullptr) {
            SetLastError(file->LostReason());
            return file->LostReason();
        }
        return file->refusal != kInside ? V73RefusalText(file->refusal)
                                        : "it cannot be read whole (reading it failed or took too long)";
    }
    Fields fields(payload);
    const uint32_t storage = fields.Get32(), damage = fields.Get32();
    if (!fields.ok() || fields.left() != 0) return "it cannot be read whole (reading it failed or took too long)";
    if (storage != kInside) return V73RefusalText(storage);
    return damage != kWhole ? DamageText(damage) : nullptr;
}

// ---- whole variables as level-5 elements --------------------------------------------------

namespace {

const char* Level5FailureText(uint32_t failure) {
    switch (failure) {
        case kLevel5NoForm: return "its class has no form in a version 7 MAT-file";
        case kLevel5TooLarge:
            return "it holds 2 GB or more (or a dimension of 2^31 or more): only a version 7.3 MAT-file holds it";
        case kLevel5TooDeep: return "it is nested too deep (or its references lead in a circle)";
        case kLevel5TooMany: return "it holds more than 16 million arrays";
        default: return "it cannot be read whole from its version 7.3 file";
    }
}

}  // namespace

bool PlanV73Level5(const mxArray& array, bool subsystem, uint64_t& bytes, bool& objects) {
    V73File* file = FileOf(array);
    if (file == nullptr) return false;
    std::lock_guard<std::mutex> lock(file->lock);
    if (!file->worker.Alive() && !SourceUnchanged(*array.source)) return false;
    Request request;
    request.operation = kLevel5;
    request.part = kLevel5Plan;
    request.index = subsystem ? kLevel5Subsystem : array.elementOffset;
    std::vector<uint8_t> payload;
    file->refusal = kInside;
    if (!file->Ask(request, 16, payload)) {
        const char* lost = file->lost ? file->LostReason() : nullptr;
        SetLastError(lost != nullptr           ? lost
                     : file->refusal != kInside ? V73RefusalText(file->refusal)
                                                : Level5FailureText(kLevel5Damaged));
        return false;
    }
    Fields fields(payload);
    bytes = fields.Get64();
    objects = fields.Get32() != 0;
    const uint32_t failure = fields.Get32();
    if (!fields.ok() || fields.left() != 0 || failure != kLevel5Ok || bytes < 8 || bytes >= kMaxLevel5Bytes) {
        SetLastError(Level5FailureText(fields.ok() && failure == kLevel5Ok ? kLevel5TooLarge : failure));
        return false;
    }
    return true;
}

V73Level5Reader::~V73Level5Reader() {
    if (!lock_.owns_lock()) return;
    V73File* file = source_->hdf5.get();
    if ((left_ > 0 || failed_) && !endedByWorker_) {
        // Mid-stream: the worker cannot take another request before it has
        // sent the rest, so it goes.
        file->worker.Stop();
        if (cancelled_) --file->restarts;
    }
}

bool V73Level5Reader::Start(const mxArray& array, bool subsystem, bool wholeDecode) {
    V73File* file = FileOf(array);
    if (file == nullptr || lock_.owns_lock()) return false;
    source_ = array.source;
    lock_ = std::unique_lock<std::mutex>(file->lock);
    if (!file->worker.Alive() && !SourceUnchanged(*source_)) return failed_ = true, false;
    Request request;
    request.operation = kLevel5;
    request.part = wholeDecode ? kLevel5Decode : kLevel5Stream;
    request.index = subsystem ? kLevel5Subsystem : array.elementOffset;
    std::vector<uint8_t> payload;
    if (!file->Ask(request, 8, payload)) {
        // A refusal is a whole answer: the worker still serves.
        lock_.unlock();
        return false;
    }
    if (payload.size() != 8) return failed_ = true, false;   // out of step: the worker goes
    std::memcpy(&total_, payload.data(), sizeof total_);
    left_ = total_;
    if (total_ < 8 || total_ >= kMaxLevel5Bytes) return failed_ = true, false;
    return true;
}

bool V73Level5Reader::Read(uint8_t* out, size_t n) {
    if (failed_ || !lock_.owns_lock() || n > left_) return failed_ = true, false;
    V73File* file = source_->hdf5.get();
    const auto fail = [&] {
        lost_ = !file->worker.running() && file->worker.endSignal() != 0;
        return failed_ = true, false;
    };
    const bool last = n > 0 && n == left_;
    while (n > 0) {
        if (pieceLeft_ == 0) {
            AnswerHead head;
            const bool heard = file->ReceiveHead(head);
            if (!heard || head.ok != 1 || head.length == 0 || head.length > kMaxLevel5Piece || head.length > left_) {
                endedByWorker_ = heard && head.ok == 0 && head.length == 0;
                return fail();
            }
            pieceLeft_ = head.length;
        }
        const size_t step = static_cast<size_t>(std::min<uint64_t>(n, pieceLeft_));
        if (!file->worker.Receive(out, step, answerTimeoutMs.load())) return fail();
        out += step;
        n -= step;
        pieceLeft_ -= step;
        left_ -= step;
    }
    if (!last) return true;
    // The worker confirms the element only after its last byte.
    AnswerHead end;
    const bool heard = file->ReceiveHead(end);
    if (!heard || end.ok != 1 || end.length != 0) {
        endedByWorker_ = heard && end.ok == 0 && end.length == 0;
        return fail();
    }
    return true;
}

}  // namespace matlib
