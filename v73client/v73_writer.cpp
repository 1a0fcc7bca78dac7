// The plug-in's side of the worker that writes a new version 7.3 file
// (worker/v73_from_level5.cpp). Its first request comes with the staged
// file open; every later one gets one answer (beats before it while the
// worker works), and the staged file's growth is the progress meanwhile. A
// Cancel or any refusal ends the writing: the staged file is then never put
// in place. A worker that dies or stays silent costs the writing once: the
// staged file is emptied and a fresh worker is given every request again.
#include "v73client/v73_writer.h"

#include <bit>
#include <cstring>
#include <new>
#include <string>

#include "codec/element_writer.h"
#include "codec/mat_write_file.h"
#include "codec/source_io.h"
#include "os/worker_process.h"
#include "v73client/v73_protocol.h"
#include "v73client/v73_reader.h"

namespace matlib {

using namespace format;
using namespace v73;

// A request that was answered, kept to be given again to a fresh worker.
struct WriterStep {
    std::shared_ptr<SourceFile> source;   // kCopyInto: the file, and its variables' indexes
    std::vector<uint64_t> indexes;
    bool ownLinks = false;                // the file rewritten: its own links come along
    bool withoutSubsystem = false;        // ... and its #subsystem# stays behind (merged data replaces it)
    mxArray array;                        // kAddElement: the array (its header; read again from its file)
    std::shared_ptr<const std::vector<uint8_t>> element;   // ... or its element held here (renumbered)
    // kAddSubsystem: a level-5 file's subsystem data; it and `element` in
    // the byte order `swapped` says.
    std::shared_ptr<const std::vector<uint8_t>> subsystem;
    bool swapped = false;
};

struct V73Writer {
    platform::Worker worker;
    StagedFile* out = nullptr;
    bool failed = false;
    bool lost = false;      // the last failure was the worker's end or silence, not an answer or a Cancel
    bool restarted = false;   // the one fresh worker was taken
    std::string current;   // the variable being written, for the reason of a failure
    uint8_t userBlock[kV73UserBlockSize] = {};
    std::vector<WriterStep> steps;
};

void V73WriterDeleter::operator()(V73Writer* writer) const { delete writer; }

const char* const kUnkeptLinkReason =
    "the file holds a link of its own that its rewritten file could not keep as it stands "
    "(a soft link into #refs#, whose objects are renamed in a copy, or a link of a user-defined kind)";

uint64_t StagedSizeNow(const StagedFile& out) {
    uint64_t size = 0;
    return platform::FileSystem().sizeOfNative(platform::NativeFileOf(out.stream), size) ? size : 0;
}

const char* V73RefusalText(uint32_t refusal, bool copied) {
    switch (refusal) {
        case kExternalStorage:
            return copied ? "a variable that would be copied keeps its data in other files (HDF5 external storage), "
                            "which are never read nor copied"
                          : "its data is kept in other files (HDF5 external storage), which are never read";
        case kVirtualDataset:
            return copied ? "a variable that would be copied is a virtual dataset, made of other files' data, "
                            "which are never read nor copied"
                          : "it is a virtual dataset, made of other files' data, which are never read";
        case kLinkOutside:
            return copied ? "a variable that would be copied holds a link to another file (an HDF5 external link), "
                            "which is never followed nor copied"
                          : "it holds a link to another file (an HDF5 external link), which is never followed";
        case kTooDeep:
            return copied ? "a variable that would be copied is nested more than 256 levels deep, deeper than any MATLAB array"
                          : "it is nested more than 256 levels deep, deeper than any MATLAB array";
        case kTooMany:
            return copied ? "a variable that would be copied holds more than 16 million objects"
                          : "it holds more than 16 million objects";
        case kLinkUnkept: return kUnkeptLinkReason;
        case kHoldsObject:
            return "it holds an object of another class system than MATLAB's own (a Java object), "
                   "which a version 7.3 file does not keep";
        case kElementDamaged: return "its stored element is damaged (its sizes or types do not hold together)";
        case kNameTaken: return "the file holds a variable of that name already (or a struct two fields of one name)";
        case kBadName: return "its name or a field's cannot be kept in a version 7.3 file ('/', '.', or a leading '#')";
        case kSubsystemTwice: return kObjectsApartCopiedReason;
        default: return "the version 7.3 file could not be written";
    }
}

namespace {

// A worker that neither beats nor writes for this long is taken for hung.
constexpr int kQuietMs = 10 * 1000;
constexpr int kPollMs = 50;
// What the worker may use besides what it starts with.
constexpr uint64_t kWriterMemory = uint64_t{2} << 30;

// Counts the staged file's growth; false (the worker ended) on a Cancel.
bool Progress(V73Writer* writer) {
    const uint64_t size = StagedSizeNow(*writer->out);
    if (size <= writer->out->written || StagedWrittenTo(writer->out, size)) return true;
    writer->worker.Stop();
    writer->failed = true;
    return false;
}

// Why the worker is gone, once it is: killed, silent, or crashed; null
// while it runs or when it was ended here.
const char* Ended(V73Writer* writer) {
    switch (writer->worker.endSignal()) {
        case 0: return nullptr;
        case platform::Worker::kStalled: return kWriterSilentReason;
        case platform::kKillSignal: return kWriterKilledReason;
        default: return kWriterCrashedReason;
    }
}

// `refused`: the worker refused the variable, as a file of its kind cannot hold it.
bool Fail(V73Writer* writer, const char* reason, bool refused = false) {
    writer->worker.Stop();
    writer->failed = true;
    // A worker that ended by itself is no fault of the variable: the reason
    // says so, and the staged file may still be written again.
    const char* ended = writer->out->broken ? nullptr : Ended(writer);   // (not after a Cancel)
    if (ended != nullptr) {
        writer->lost = true;
        SetLastError(ended);
        return false;
    }
    writer->out->broken = true;
    if (reason != nullptr && !writer->current.empty()) {
        // The reason names the variable: it may come when the file is completed.
        static thread_local std::string named;
        named = "its variable " + writer->current + ": " + reason;
        SetLastError(named.c_str());
    } else if (reason != nullptr) {
        SetLastError(reason);
    }
    if (reason != nullptr && refused) MarkLastErrorRefusal();
    return false;
}

// The answer to the request sent last; `copied`: a refusal is said of a
// variable that a copy would take along.
bool Answer(V73Writer* writer, bool copied = false) {
    writer->worker.Heard();
    for (;;) {
        const int ready = writer->worker.Wait(kPollMs);
        if (ready < 0) return Fail(writer, nullptr);
        const uint64_t before = writer->out->written;
        if (!Progress(writer)) return Fail(writer, nullptr);
        if (writer->out->written > before) writer->worker.Heard();
        if (ready > 0) {
            AnswerHead head;
            if (!writer->worker.Receive(&head, sizeof head, kQuietMs)) return Fail(writer, nullptr);
            if (head.ok == kBeat && head.length == 0) continue;
            if (head.ok != 1 || head.length != 0) {
                return Fail(writer, head.ok == 0 ? V73RefusalText(head.refusal, copied) : nullptr, head.ok == 0);
            }
            return Progress(writer) || Fail(writer, nullptr);
        }
        if (writer->worker.Stalled(kPollMs, kQuietMs)) return Fail(writer, nullptr);
    }
}

bool Usable(const V73Writer* writer) {
    return writer != nullptr && !writer->failed && writer->out != nullptr && !writer->out->broken;
}

// Sends `size` bytes read by `read(position, buffer, n)` in pieces.
template <typename Read>
bool SendElement(V73Writer* writer, const std::string& name, uint64_t size, bool swapped, bool objects, Read read) {
    writer->current = name;
    Request request;
    request.operation = kAddElement;
    request.part = (swapped ? kSwapped : 0) | (objects ? kHoldsObjects : 0);
    request.first = name.size();
    request.count = size;
    if (!writer->worker.SendRequest(&request, sizeof request, nullptr) ||
        !writer->worker.Send(name.data(), name.size())) {
        return Fail(writer, nullptr);
    }
    SignalWorkerForTest(writer->worker);
    std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kElementPiece]);
    if (!piece) return Fail(writer, nullptr);
    for (uint64_t at = 0; at < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size - at, kElementPiece));
        // Damage part-way leaves the worker out of step: it is ended.
        if (!read(at, piece.get(), n)) return Fail(writer, "its stored data is damaged");
        if (!writer->worker.Send(piece.get(), n) || !Progress(writer)) return Fail(writer, nullptr);
        at += n;
    }
    const bool answered = Answer(writer);
    writer->current.clear();
    return answered;
}

// Starts a worker on the staged file (still empty) and has it create the file.
bool Begin(V73Writer* writer) {
    Request create;
    create.operation = kCreate;
    if (!writer->worker.Start(kWorkerProgram, kWriterMemory)) {
        SetLastError("the version 7.3 worker program (matwcx_v73) is not beside the plug-in");
        writer->failed = true;
        writer->out->broken = true;
        return false;
    }
    if (!writer->worker.SendRequest(&create, sizeof create, writer->out->stream) ||
        !writer->worker.Send(writer->userBlock, kV73UserBlockSize)) {
        return Fail(writer, nullptr);
    }
    SignalWorkerForTest(writer->worker);
    return Answer(writer);
}

bool SendCopy(V73Writer* writer, const WriterStep& step) {
    Request request;
    request.operation = kCopyInto;
    request.part = (step.ownLinks ? kOwnLinks : 0) | (step.withoutSubsystem ? kWithoutSubsystem : 0);
    request.count = step.indexes.size();
    if (!writer->worker.SendRequest(&request, sizeof request, step.source->stream) ||
        !writer->worker.Send(step.indexes.data(), step.indexes.size() * sizeof(uint64_t))) {
        return Fail(writer, nullptr);
    }
    SignalWorkerForTest(writer->worker);
    return Answer(writer, true) && (SourceUnchanged(*step.source) || Fail(writer, nullptr));
}

bool SendArray(V73Writer* writer, const mxArray& array) {
    bool sent = false;
    if (array.format->element->kind == ElementSource::kCopied) {
        // The element as it stands after inflating, tag included.
        const uint64_t size = array.data.elementEnd;
        if (size < kTagSize) return Fail(writer, nullptr);
        ElementStream stream(*array.source, array.data);
        const bool objects = array.fileClass == mxOPAQUE || array.fileClass == mxFUNCTION ||
                             array.fileClass == mxOBJECT || RefersToSubsystem(array);
        sent = SendElement(writer, array.name, size, array.source->swapped, objects,
                           [&](uint64_t at, uint8_t* buffer, size_t n) { return stream.Read(at, buffer, n); }) &&
               (stream.CheckEnd(size) || Fail(writer, "its stored data is damaged (a compressed stream or checksum)"));
    } else {
        // A version 4 matrix: the level-5 element of its values.
        std::vector<uint8_t> element;
        const bool bigEndian = std::endian::native == std::endian::big;
        try {
            if (!EncodeDecodedArray(&array, bigEndian, &element)) return Fail(writer, "its data cannot be read");
        } catch (const std::bad_alloc&) {
            return Fail(writer, nullptr);
        }
        // The values stay in their file, not here, until the writing ends.
        array.decoded = DecodedData();
        sent = SendElement(writer, array.name, element.size(), false, false, [&](uint64_t at, uint8_t* buffer, size_t n) {
            std::memcpy(buffer, element.data() + at, n);
            return true;
        });
    }
    // Bytes read from a file that another program rewrote meanwhile are no copy of anything.
    return sent && (SourceUnchanged(*array.source) || Fail(writer, nullptr));
}

bool SendSubsystem(V73Writer* writer, const WriterStep& step) {
    const std::vector<uint8_t>& payload = *step.subsystem;
    Request request;
    request.operation = kAddSubsystem;
    request.part = step.swapped ? kSwapped : 0;
    request.count = payload.size();
    writer->current.clear();
    if (!writer->worker.SendRequest(&request, sizeof request, nullptr)) return Fail(writer, nullptr);
    SignalWorkerForTest(writer->worker);
    for (size_t at = 0; at < payload.size();) {
        const size_t n = std::min(payload.size() - at, kElementPiece);
        if (!writer->worker.Send(payload.data() + at, n) || !Progress(writer)) return Fail(writer, nullptr);
        at += n;
    }
    return Answer(writer);
}

// An element held in memory (its objects renumbered), under the array's name.
bool SendHeld(V73Writer* writer, const WriterStep& step) {
    const std::vector<uint8_t>& element = *step.element;
    return SendElement(writer, step.array.name, element.size(), step.swapped, true, [&](uint64_t at, uint8_t* buffer, size_t n) {
        std::memcpy(buffer, element.data() + at, n);
        return true;
    });
}

bool Perform(V73Writer* writer, const WriterStep& step) {
    if (step.subsystem) return SendSubsystem(writer, step);
    if (step.element) return SendHeld(writer, step);
    return step.source ? SendCopy(writer, step) : SendArray(writer, step.array);
}

// After the worker ended or went silent: once, a fresh worker writes the
// emptied staged file again, given every request answered so far and the
// one it lost.
bool Restart(V73Writer* writer) {
    if (!writer->lost || writer->restarted || !RewindStaged(writer->out)) {
        writer->out->broken = true;
        return false;
    }
    writer->restarted = true;
    writer->failed = writer->lost = false;
    writer->current.clear();
    if (!Begin(writer)) return false;
    for (const WriterStep& step : writer->steps) {
        if (!Perform(writer, step)) return false;
    }
    return true;
}

bool Finish(V73Writer* writer) {
    Request request;
    request.operation = kFinish;
    if (!writer->worker.SendRequest(&request, sizeof request, nullptr)) return Fail(writer, nullptr);
    SignalWorkerForTest(writer->worker);
    return Answer(writer);
}

}  // namespace

V73WriterPtr StartV73Writer(const uint8_t userBlock[kV73UserBlockSize], StagedFile* out) {
    if (out == nullptr || out->stream == nullptr || out->written != 0) return nullptr;
    V73WriterPtr writer(new (std::nothrow) V73Writer);
    if (!writer) return nullptr;
    writer->out = out;
    std::memcpy(writer->userBlock, userBlock, kV73UserBlockSize);
    if (!Begin(writer.get()) && !Restart(writer.get())) return nullptr;
    return writer;
}

const char* V73AdditionRefusal(const mxArray& array) {
    // Objects of level-5 files go with their file's subsystem data (V73WriterSubsystem);
    // a version 4 file holds none.
    const bool object = array.classId == mxOBJECT_CLASS || array.classId == mxOPAQUE_CLASS ||
                        array.classId == mxFUNCTION_CLASS || array.fileClass == mxOBJECT ||
                        array.fileClass == mxFUNCTION || array.fileClass == mxOPAQUE;
    if (object && (array.format == nullptr || array.format->layout != FileLayout::kLevel5)) {
        return "it holds an object, which only a level-5 or version 7.3 file brings along";
    }
    return nullptr;
}

bool V73WriterAdd(V73Writer* writer, const mxArray& array) {
    if (!Usable(writer) || !array.source || array.format == nullptr || array.name.empty()) return false;
    if (const char* refusal = V73AdditionRefusal(array)) {
        SetLastError(refusal);
        return false;
    }
    WriterStep step;
    step.array = array;   // its header: the values are read from its file as they are sent
    step.array.decoded = DecodedData();
    writer->steps.push_back(std::move(step));
    return Perform(writer, writer->steps.back()) || Restart(writer);
}

bool V73WriterAddElement(V73Writer* writer, const std::string& name, std::vector<uint8_t> element, bool swapped) {
    if (!Usable(writer) || name.empty() || element.size() < kTagSize) return false;
    WriterStep step;
    step.array.name = name;
    step.element = std::make_shared<const std::vector<uint8_t>>(std::move(element));
    step.swapped = swapped;
    writer->steps.push_back(std::move(step));
    return Perform(writer, writer->steps.back()) || Restart(writer);
}

bool V73WriterSubsystem(V73Writer* writer, std::vector<uint8_t> payload, bool swapped) {
    if (!Usable(writer) || payload.size() > kMaxCarriedSubsystemBytes) return false;
    WriterStep step;
    step.subsystem = std::make_shared<const std::vector<uint8_t>>(std::move(payload));
    step.swapped = swapped;
    writer->steps.push_back(std::move(step));
    return Perform(writer, writer->steps.back()) || Restart(writer);
}

bool V73WriterCopy(V73Writer* writer, const std::shared_ptr<SourceFile>& source, const std::vector<uint64_t>& indexes,
                   bool ownLinks, bool withoutSubsystem) {
    if (!Usable(writer) || !source || source->stream == nullptr || indexes.size() > kMaxVariables) return false;
    WriterStep step;
    step.source = source;
    step.indexes = indexes;
    step.ownLinks = ownLinks;
    step.withoutSubsystem = withoutSubsystem;
    writer->steps.push_back(std::move(step));
    return Perform(writer, writer->steps.back()) || Restart(writer);
}

bool FinishV73Writer(V73Writer* writer) {
    if (!Usable(writer)) return false;
    if (!Finish(writer) && !(Restart(writer) && Finish(writer))) return false;
    writer->worker.Stop();
    return writer->out->written > kV73UserBlockSize || Fail(writer, nullptr);
}

}  // namespace matlib
