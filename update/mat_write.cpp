// Writing a new MAT-file (matOpenForWriting; mode "w"): a level-5 file, or
// one of version 7.3 as the options ask. It is written beside its path and
// put in place by matClose, so that an existing file of that name stays
// whole until the new one is complete, and a failed write leaves no half
// file behind.
//
// An array read from a level-5 file is written by copying its element exactly
// as it stood in its file (a compressed element stays compressed), in pieces
// of a bounded buffer. Since those bytes keep their byte order, the output
// takes the order of the first array put into it; the header is therefore
// written at the first matPutArray (or by matClose when none came).
//
// An array read from a version 7.3 file is copied through libhdf5 (by the
// worker that reads its file) into a version 7.3 file of its own: such a
// file holds that one variable and nothing else.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#include "codec/element_writer.h"
#include "codec/mat_write_file.h"
#include "codec/readers.h"
#include "matlib/mat_internal.h"
#include "os/file_time.h"
#include "update/update.h"
#include "update/write_target.h"

namespace matlib {

struct WriteState {
    StagedFile file;
    matWriteOptions options{};
    // Made at the first variable (or by matClose when none came): which
    // target a file gets may depend on what is put into it first.
    std::unique_ptr<WriteTarget> target;
    bool level5 = false;     // the target is a level-5 file
    CarriedSubsystem carried;
};

static void DestroyWriteState(WriteState* state) { delete state; }

void SetWriteProgress(MATFile* mfp, matProgressFn progress, void* context) {
    mfp->writer->file.progress = progress;
    mfp->writer->file.progressContext = context;
}

namespace {

using namespace format;

// The platform name in MATLAB's own spelling (as its header text shows it).
const char* PlatformName() {
#if defined(_WIN32) && defined(_WIN64)
    return "PCWIN64";
#elif defined(_WIN32)
    return "PCWIN";
#elif defined(__APPLE__) && defined(__aarch64__)
    return "MACA64";
#elif defined(__APPLE__)
    return "MACI64";
#else
    return "GLNXA64";
#endif
}

bool LocalTime(std::time_t now, std::tm* out) {
    const std::lock_guard<std::mutex> guard(platform::TimeZoneLock());
#if defined(_WIN32)
    // The Windows C library keeps localtime's result per thread.
    const std::tm* local = std::localtime(&now);
    if (local != nullptr) *out = *local;
    return local != nullptr;
#else
    return ::localtime_r(&now, out) != nullptr;
#endif
}

// The target of a new file. Version 7.3 asked: a version 7.3 file, level-5
// and version 4 arrays converted, version 7.3 ones copied with what they
// refer to. A version 7.3 array that should stay as it is (same version
// asked, or one variable copied whole) becomes a version 7.3 file of its own:
// its data may exceed what a level-5 file holds, its cells and structs are
// references. Otherwise a level-5 file: version 7 asked converts version 7.3
// arrays into compressed level-5 elements.
bool MakeTarget(WriteState* state, const mxArray* first) {
    const matWriteOptions& options = state->options;
    const bool fromV73 = first != nullptr && first->format != nullptr && first->format->layout == FileLayout::kHdf5;
    const bool wholeCopy = fromV73 && (options.version == matVersion73 ? options.oneVariable != 0
                                                                        : options.version == matVersionSame);
    if (options.version == matVersion73 || wholeCopy) {
        uint8_t userBlock[kV73UserBlockSize] = {};
        BuildHeader73(userBlock, std::time(nullptr));
        state->target = V73Target(&state->file, nullptr, userBlock, wholeCopy);
    } else {
        Level5Options level5;
        level5.compressMade = level5.compressCopies = options.compress != 0;
        state->target = Level5Target(&state->file, nullptr, level5);
        state->level5 = true;
    }
    return state->target != nullptr;
}

bool Put(WriteState* state, const mxArray& array) {
    // An array made in memory has no format: it is encoded from its values.
    const bool fromV73 = array.format != nullptr && array.format->layout == FileLayout::kHdf5;
    if (!state->target && !MakeTarget(state, &array)) return false;
    // A version 7.3 variable kept as it is goes into a file of its own.
    if (state->level5 && fromV73 && state->options.version == matVersionSame) return false;
    if (const char* refusal = state->target->Refusal(array)) {
        SetLastError(refusal);
        return false;
    }
    uint64_t bytes = array.elementSize;
    if (state->level5) {
        bool objects = false;
        const bool converted = array.format != nullptr && array.format->element->kind == ElementSource::kConverted;
        if (converted && !array.format->element->plan(array, false, bytes, objects)) return false;
        if (!NoteCarried(state->carried, array, objects, nullptr, true)) return false;
    } else if (!NoteCarriedInto73(state->carried, array, nullptr, true)) {
        return false;
    }
    // What the file comes to once this variable is in, about (the progress counts towards it).
    state->file.expectedSize = std::max<uint64_t>(state->file.written, kHeaderSize) + bytes;
    return state->target->Add(array, state->carried.RenumberingOf(array));
}

}  // namespace

void BuildHeader5(uint8_t header[kHeaderSize], bool bigEndian, std::time_t now) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    if (!LocalTime(now, &local) || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
        local.tm_mon > 11) {
        local = std::tm{};
        local.tm_mday = 1;
        local.tm_year = 70;
        local.tm_wday = 4;
    }
    // asctime's own layout, with English names whatever the locale.
    char text[kHeaderTextSize + 1];
    std::snprintf(text, sizeof text, "MATLAB 5.0 MAT-file, Platform: %s, Created on: %.3s %.3s%3d %.2d:%.2d:%.2d %d",
                  PlatformName(), kDays[local.tm_wday], kMonths[local.tm_mon], local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, local.tm_year + 1900);
    std::memset(header, ' ', kHeaderTextSize);
    std::memcpy(header, text, std::strlen(text));
    std::memset(header + kSubsystemOffsetAt, 0, 8);
    header[kVersionAt] = bigEndian ? kVersion5 >> 8 : kVersion5 & 0xff;
    header[kVersionAt + 1] = bigEndian ? kVersion5 & 0xff : kVersion5 >> 8;
    const uint8_t* endian = bigEndian ? kEndianBig : kEndianLittle;
    header[kEndianAt] = endian[0];
    header[kEndianAt + 1] = endian[1];
}

MATFile* OpenForWrite(const char* path, const matWriteOptions& options) {
    if (path == nullptr || path[0] == '\0') return nullptr;
    const bool keepExisting = options.existing == matExistingKeep, mustBeNew = options.existing == matExistingRefuse;
    platform::FileStatus any;
    if (mustBeNew && platform::FileSystem().linkStatus(path, &any) == 0) {
        SetLastError("a file of that name exists");
        return nullptr;
    }
    // A folder or device of that name is not replaced, nor a file that nobody
    // may write (opening it for writing would fail just the same).
    // A symbolic link at the name is replaced itself, never followed: it
    // could lead anywhere outside the folder the file is written into.
    // Whatever stands at the name stays when it is kept.
    platform::FileStatus existing;
    const bool exists =
        !keepExisting && platform::FileSystem().linkStatus(path, &existing) == 0 && !existing.isLink;
    if (exists && (!existing.isRegularFile || (existing.mode & 0222) == 0)) return nullptr;

    MATFile* mfp = new (std::nothrow) MATFile;
    if (mfp == nullptr) return nullptr;
    mfp->mode = OpenMode::Write;
    mfp->writer = std::unique_ptr<WriteState, WriteStateDeleter>(new (std::nothrow) WriteState, {DestroyWriteState});
    // Like a file truncated in place, a replaced file keeps its permission
    // bits; a new one gets the default ones.
    if (!mfp->writer || !CreateStagedFile(path, false, exists, existing.mode, &mfp->writer->file)) {
        delete mfp;
        return nullptr;
    }
    mfp->writer->options = options;
    // "When needed" that no array settled is version 7.
    if (options.version == matVersion73WhenNeeded) mfp->writer->options.version = matVersion7;
    mfp->writer->file.keepExisting = keepExisting;
    mfp->writer->file.mustBeNew = mustBeNew;
    return mfp;
}

int PutArray(MATFile* mfp, const mxArray* array) {
    if (mfp == nullptr || array == nullptr || mfp->mode != OpenMode::Write || !mfp->writer) return 1;
    WriteState* state = mfp->writer.get();
    if (state->file.broken) {
        if (matLastWasCancelled() == 0) SetLastError("not written: an earlier variable could not be written");
        return 1;
    }
    bool put = false;
    try {
        put = Put(state, *array);
    } catch (const std::bad_alloc&) {
    }
    // Bytes read from a file that another program rewrote meanwhile are no
    // copy of anything: the new file must not go in place.
    if (put && array->source && !SourceUnchanged(*array->source)) put = false;
    // A file that lacks what was put into it must not go in place either
    // (an earlier file of that name stays as it was), whatever failed.
    if (!put) state->file.broken = true;
    return put ? 0 : 1;
}

int FinishWrite(MATFile* mfp) {
    if (mfp == nullptr || mfp->mode != OpenMode::Write || !mfp->writer) return 1;
    WriteState* state = mfp->writer.get();
    // A file without variables is still a MAT-file (a level-5 header alone,
    // or a version 7.3 file without variables). The last progress report
    // comes before the file goes in place, whatever wrote it: a Cancel there
    // still leaves every file as it was.
    bool done = false;
    try {
        done = !state->file.broken && (state->target || MakeTarget(state, nullptr)) &&
               state->target->Carry(state->carried) && state->target->Finish() && StagedComplete(&state->file);
    } catch (const std::bad_alloc&) {
    }
    state->target.reset();   // a writer worker ends before its file goes in place
    if (!done) {
        DiscardStagedFile(&state->file);
        return 1;
    }
    return CommitStagedFile(&state->file);
}

const char* WrittenPath(MATFile* mfp) {
    if (mfp == nullptr || !mfp->writer) return "";
    const StagedFile& file = mfp->writer->file;
    return file.committed ? file.finalPath : "";
}

// The output's stream, for matGetFp (mat_open.cpp).
FILE* WriteStream(MATFile* mfp) {
    return mfp != nullptr && mfp->writer ? mfp->writer->file.stream : nullptr;
}

}  // namespace matlib

matWriteVersion matWriteVersionOf(int number) {
    return number == 7 ? matVersion7 : number == 73 ? matVersion73 : matVersionSame;
}

void matFitWriteOptions(matWriteOptions* options, const mxArray* array) {
    if (options == nullptr || array == nullptr || options->version != matVersion73WhenNeeded) return;
    // Version 7 holds no variable of 2 GB or more of data.
    constexpr uint64_t kMostOfVersion7 = uint64_t{2} << 30;
    const uint64_t parts = mxIsComplex(array) ? 2 : 1;
    const uint64_t elements = mxIsSparse(array) ? mxGetNzmax(array) : mxGetNumberOfElements(array);
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(elements, mxGetElementSize(array) * parts, &bytes) || bytes >= kMostOfVersion7) {
        options->version = matVersion73;
    }
}
