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
#include "matlib/mat_internal.h"
#include "os/file_time.h"
#include "update/update.h"
#include "v73client/v73_reader.h"
#include "v73client/v73_writer.h"

namespace matlib {

struct WriteState {
    StagedFile file;
    bool headerWritten = false;
    bool version73 = false;   // the file is a version 7.3 copy of one variable: nothing follows
    bool bigEndian = std::endian::native == std::endian::big;
    bool compress = false;    // elements stored uncompressed are compressed
    // Version 7.3 asked: a new version 7.3 file, written by a worker of its
    // own (started at the first variable, or by matClose when none came).
    bool new73 = false;
    bool oneVariable = false;   // a version 7.3 variable is copied whole (WriteVersion73) even so
    V73WriterPtr writer73;
    // The subsystem data that a variable put here refers to: its file and
    // its element, appended after the last variable by FinishWrite.
    std::shared_ptr<SourceFile> subsystemSource;
    uint64_t subsystemOffset = 0, subsystemSize = 0;
    // Version 7 asked: a version 7.3 variable becomes a compressed level-5
    // element (its reader converts it); the subsystem data converted ones
    // refer to is converted after the last variable, through one of them.
    bool convert73 = false;
    bool carries73 = false;
    mxArray carried73;
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

bool WriteHeader(WriteState* state, bool bigEndian) {
    uint8_t header[kHeaderSize];
    BuildHeader5(header, bigEndian, std::time(nullptr));
    state->bigEndian = bigEndian;
    state->headerWritten = true;
    return StagedWrite(&state->file, header, sizeof header);
}

// Copies a level-5 element byte for byte: the element must lie within the
// source file as it was measured when opened.
int CopyElement(WriteState* state, const SourceFile& source, uint64_t offset, uint64_t size) {
    if (source.stream == nullptr || size < kTagSize || offset > source.size || size > source.size - offset) {
        return 1;
    }
    // What the file comes to once this element is in (the progress counts towards it).
    state->file.expectedSize = (state->headerWritten ? state->file.written : kHeaderSize) + size;
    if (!state->headerWritten) {
        if (!WriteHeader(state, source.bigEndian)) return 1;
    } else if (state->bigEndian != source.bigEndian) {
        // Its bytes are in the other order; they cannot be copied into this file.
        return 1;
    }
    // A copy that fails leaves the file without the variable its caller
    // wanted: it must not replace anything at matClose.
    const bool copied = state->compress && !IsCompressedElement(source, offset)
                            ? WriteCompressedCopy(&state->file, state->bigEndian, source.stream, offset, size)
                            : StagedCopy(&state->file, source.stream, offset, size);
    if (!copied) {
        state->file.broken = true;
        return 1;
    }
    return 0;
}

// Inflating a byte costs about what copying eight does (bench/objects_bench.sh:
// walking a 100 MB compressed struct took 8x the copy of 100 MB).
constexpr uint64_t kInflateToCopyCost = 8;

// Whether two files hold the same bytes there: variables extracted from one
// file each carry a copy of its subsystem data, and one copy serves them all.
bool SameBytes(SourceFile& a, uint64_t atA, uint64_t sizeA, SourceFile& b, uint64_t atB, uint64_t sizeB) {
    if (sizeA != sizeB) return false;
    constexpr size_t kPiece = 64 * 1024;
    const std::unique_ptr<uint8_t[]> left(new (std::nothrow) uint8_t[kPiece]), right(new (std::nothrow) uint8_t[kPiece]);
    if (!left || !right) return false;
    for (uint64_t done = 0; done < sizeA;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, sizeA - done));
        if (!ReadAt(a, atA + done, left.get(), n) || !ReadAt(b, atB + done, right.get(), n) ||
            std::memcmp(left.get(), right.get(), n) != 0) {
            return false;
        }
        done += n;
    }
    return true;
}

// One file holds one subsystem: merging two files' object ids is not done.
int RefuseOtherSubsystem() {
    SetLastError("it holds objects, and so does a variable from another file: "
                 "merging their subsystem data is not available yet");
    return 1;
}

// Notes the subsystem data of the array's file when the array refers to it.
// Learning that a compressed struct or cell refers to nothing means inflating
// all of it; when that costs more than copying the subsystem data, the data
// is carried without asking: MATLAB ignores objects that no variable uses.
// One file holds one subsystem: variables that need the subsystems of two
// different files cannot share an output.
int NoteSubsystem(WriteState* state, const mxArray* array) {
    const std::shared_ptr<SourceFile>& source = array->source;
    if (source->subsystemOffset == 0 || IsSubsystemData(*array)) return 0;
    mxArray subsystem;
    uint64_t next = 0;
    // An offset that points at no variable names no data that could be
    // carried: the variable is written as it stands.
    if (ReadV5Header(source, source->subsystemOffset, subsystem, next) != HeaderStatus::Ok) return 0;
    // The subsystem data is the unnamed variable; an offset that points at a
    // named one (a damaged header) would copy a second variable out.
    if (!subsystem.name.empty()) return 0;
    const uint64_t size = next - source->subsystemOffset;
    const uint8_t cls = array->fileClass;
    const bool container = cls == mxCELL || cls == mxSTRUCT || cls == mxOBJECT;
    const bool walkCostsMore = container && array->data.compressed && array->data.elementEnd / kInflateToCopyCost > size;
    if (!walkCostsMore && !RefersToSubsystem(*array)) return 0;
    if (state->carries73) return RefuseOtherSubsystem();
    if (state->subsystemSource) {
        const bool same = state->subsystemSource == source || (state->subsystemSource->path == source->path &&
                                                               state->subsystemOffset == source->subsystemOffset) ||
                          SameBytes(*state->subsystemSource, state->subsystemOffset, state->subsystemSize, *source,
                                    source->subsystemOffset, size);
        if (same) return 0;
        return RefuseOtherSubsystem();
    }
    state->subsystemSource = source;
    state->subsystemOffset = source->subsystemOffset;
    state->subsystemSize = size;
    return 0;
}

// Appends the noted subsystem data and points the header's offset at it.
bool AppendSubsystem(WriteState* state) {
    if (!state->subsystemSource && !state->carries73) return true;
    const uint64_t at = state->file.written;
    if (state->carries73) {
        if (!state->carried73.format->writeLevel5(state->carried73, true, true, &state->file)) return false;
    } else if (CopyElement(state, *state->subsystemSource, state->subsystemOffset, state->subsystemSize) != 0) {
        return false;
    }
    uint8_t field[8];
    for (int i = 0; i < 8; ++i) field[state->bigEndian ? 7 - i : i] = static_cast<uint8_t>(at >> (8 * i));
    FILE* out = state->file.stream;
    platform::FileSystemCalls& fs = platform::FileSystem();
    if (fs.seek(out, static_cast<int64_t>(kSubsystemOffsetAt), SEEK_SET) != 0 ||
        fs.write(field, sizeof field, out) != sizeof field || fs.seek(out, 0, SEEK_END) != 0) {
        state->file.broken = true;
        return false;
    }
    return true;
}

int WriteDecoded(WriteState* state, const mxArray* array) {
    const bool bigEndian = state->headerWritten ? state->bigEndian : std::endian::native == std::endian::big;
    // The element from what the array's own file holds, where its format
    // writes one (compressed or not, as the file wants it).
    const auto writeOwn = array->format == nullptr ? nullptr
                          : state->compress        ? array->format->writeCompressedElement
                                                   : array->format->writeElement;
    if (writeOwn != nullptr && array->source) {
        if (!state->headerWritten && !WriteHeader(state, bigEndian)) return 1;
        // A failure part-way leaves the file without the whole variable.
        if (writeOwn(array, bigEndian, &state->file)) return 0;
        state->file.broken = true;
        return 1;
    }
    std::vector<uint8_t> element;
    if (!EncodeDecodedArray(array, bigEndian, &element)) return 1;
    if (!state->headerWritten && !WriteHeader(state, bigEndian)) return 1;
    if (state->compress) return WriteCompressedBytes(&state->file, bigEndian, element.data(), element.size()) ? 0 : 1;
    return StagedWrite(&state->file, element.data(), element.size()) ? 0 : 1;
}

// A version 7.3 variable as a compressed level-5 element, converted by its
// file's worker; the subsystem data it refers to is noted (one file's
// only: two files' object ids would need renumbering into one).
int WriteConverted(WriteState* state, const mxArray* array) {
    uint64_t bytes = 0;
    bool objects = false;
    if (!array->source || !array->format->planLevel5(*array, false, bytes, objects)) return 1;
    if (state->headerWritten && state->bigEndian) {
        SetLastError("this file is big-endian; a variable converted from version 7.3 is written little-endian");
        return 1;
    }
    if (objects) {
        const bool same = state->carries73 && (state->carried73.source == array->source ||
                                               state->carried73.source->path == array->source->path);
        if (state->subsystemSource || (state->carries73 && !same)) return RefuseOtherSubsystem();
        uint64_t subsystemBytes = 0;
        bool ignored = false;
        if (!array->format->planLevel5(*array, true, subsystemBytes, ignored)) {
            SetLastError("it holds objects whose values (its file's subsystem data) cannot be converted");
            return 1;
        }
        if (!state->carries73) {
            state->carried73 = *array;
            state->carried73.decoded = DecodedData{};
            state->carries73 = true;
        }
    }
    state->file.expectedSize = (state->headerWritten ? state->file.written : kHeaderSize) + bytes;
    if (!state->headerWritten && !WriteHeader(state, false)) return 1;
    return array->format->writeLevel5(*array, false, true, &state->file) ? 0 : 1;
}

// The header in the user block of a version 7.3 file: MATLAB's text with the
// HDF5 schema it writes, version 0x0200, little-endian.
void BuildHeader73(uint8_t header[kHeaderSize], std::time_t now) {
    BuildHeader5(header, false, now);
    std::memcpy(header + 7, "7.3", 3);   // "MATLAB 5.0 MAT-file" -> "MATLAB 7.3 MAT-file"
    size_t end = kHeaderTextSize;
    while (end > 0 && header[end - 1] == ' ') --end;
    static const char kSchema[] = " HDF5 schema 1.00 .";
    if (end + sizeof kSchema - 1 <= kHeaderTextSize) std::memcpy(header + end, kSchema, sizeof kSchema - 1);
    header[kVersionAt] = kVersion73 & 0xff;
    header[kVersionAt + 1] = kVersion73 >> 8;
}

// The worker that reads the variable's file writes the new file itself:
// nothing of the copy passes through this process.
int WriteVersion73(WriteState* state, const mxArray* array) {
    uint8_t userBlock[kV73UserBlockSize] = {};
    BuildHeader73(userBlock, std::time(nullptr));
    state->headerWritten = true;
    state->version73 = true;
    try {
        return WriteV73File(array->source, {array->elementOffset}, userBlock, &state->file) ? 0 : 1;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

// Version 7.3 asked: the worker is started with the file's user block at the
// first variable; level-5 and version 4 arrays are converted, version 7.3
// ones copied with what they refer to.
bool StartNew73(WriteState* state) {
    if (state->writer73) return true;
    uint8_t userBlock[kV73UserBlockSize] = {};
    BuildHeader73(userBlock, std::time(nullptr));
    try {
        state->writer73 = StartV73Writer(userBlock, &state->file);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return state->writer73 != nullptr;
}

int PutNew73(WriteState* state, const mxArray* array) {
    if (array->format == nullptr || !array->source || !StartNew73(state)) return 1;
    // What the file comes to once this variable is in, about (the progress counts towards it).
    state->file.expectedSize = state->file.written + array->elementSize;
    try {
        const bool put = array->format->variablesByIndex
                             ? V73WriterCopy(state->writer73.get(), array->source, {array->elementOffset})
                             : V73WriterAdd(state->writer73.get(), *array);
        return put ? 0 : 1;
    } catch (const std::bad_alloc&) {
        return 1;
    }
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
    // "When needed" that no array settled is version 7.
    const bool version73 = options.version == matVersion73;
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
    mfp->writer->file.keepExisting = keepExisting;
    mfp->writer->compress = options.compress != 0;
    mfp->writer->convert73 = options.version == matVersion7 || options.version == matVersion73WhenNeeded;
    mfp->writer->file.mustBeNew = mustBeNew;
    mfp->writer->new73 = version73;
    mfp->writer->oneVariable = options.oneVariable != 0;
    mfp->writer->headerWritten = version73;
    return mfp;
}

int PutArray(MATFile* mfp, const mxArray* array) {
    if (mfp == nullptr || array == nullptr || mfp->mode != OpenMode::Write || !mfp->writer) return 1;
    WriteState* state = mfp->writer.get();
    if (state->file.broken) {
        if (matLastWasCancelled() == 0) SetLastError("not written: an earlier variable could not be written");
        return 1;
    }
    int result = 1;
    const bool fromV73 = array->format != nullptr && array->format->variablesByIndex;
    if (state->new73 && state->oneVariable && fromV73 && !state->writer73) {
        state->new73 = false;   // copied whole, as its own file holds it
        state->headerWritten = false;
    }
    if (state->new73) {
        result = PutNew73(state, array);
    } else if (state->version73) {
        result = 1;
    } else if (array->format != nullptr && array->format->writeLevel5 != nullptr && state->convert73) {
        result = WriteConverted(state, array);
    } else if (fromV73) {
        // A version 7.3 variable becomes a version 7.3 file of its own (its
        // data may exceed what a level-5 file holds, its cells and structs
        // are references): alone in the file, never beside level-5 ones.
        result = state->headerWritten ? 1 : WriteVersion73(state, array);
    } else if (array->format != nullptr && array->format->copiedAsElement) {
        result = array->source && NoteSubsystem(state, array) == 0
                     ? CopyElement(state, *array->source, array->elementOffset, array->elementSize)
                     : 1;
    } else {
        result = WriteDecoded(state, array);
    }
    // Bytes read from a file that another program rewrote meanwhile are no
    // copy of anything: the new file must not go in place.
    if (result == 0 && array->source && !SourceUnchanged(*array->source)) result = 1;
    // A file that lacks what was put into it must not go in place either
    // (an earlier file of that name stays as it was), whatever failed.
    if (result != 0) state->file.broken = true;
    return result;
}

int FinishWrite(MATFile* mfp) {
    if (mfp == nullptr || mfp->mode != OpenMode::Write || !mfp->writer) return 1;
    WriteState* state = mfp->writer.get();
    if (state->new73) {
        // A version 7.3 file without variables is still one.
        if (state->file.broken || !StartNew73(state) || !FinishV73Writer(state->writer73.get()) ||
            !StagedComplete(&state->file)) {
            state->writer73.reset();
            DiscardStagedFile(&state->file);
            return 1;
        }
        state->writer73.reset();
        return CommitStagedFile(&state->file);
    }
    // A file without variables is still a MAT-file: its header alone.
    if (!state->headerWritten && !WriteHeader(state, state->bigEndian)) {
        DiscardStagedFile(&state->file);
        return 1;
    }
    if (!AppendSubsystem(state)) {
        DiscardStagedFile(&state->file);
        return 1;
    }
    // The last progress report comes before the file goes in place, whatever
    // wrote it (a copy, an encoder, the version 7.3 worker): a Cancel there
    // still leaves every file as it was.
    if (!StagedComplete(&state->file)) {
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
