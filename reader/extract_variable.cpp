// Extraction: the entry ReadHeader reported last becomes a MAT-file of its
// own, under the name the host gives (".mat" added when the name does not end
// in it already); in the host's viewer folder a text file showing the value
// is written instead, straight from the engine.
//
// The host asks the user before it replaces the path it gives; with ".mat"
// added, that is not the path it asked about: a file already there is kept
// and the new copy takes a free name beside it ("<name> (2).mat").
//
// The variable is the current entry, never the one the destination's name
// happens to spell: the host may let the user type any name.
#include "reader/archive.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "entry/entry_name.h"
#include "export/export.h"
#include "host/message_box.h"
#include "os/diagnostics.h"
#include "os/file_io.h"
#include "os/host_rules.h"
#include "os/text_encoding.h"
#include "objects/value_text.h"

namespace {

// The output name is the destination and ".mat": both must fit the longest
// path the system takes.
constexpr size_t kMaxDestinationLength = platform::kMaxPathLength - 4;

// Makes the folders on the way to path, each from the path up to its
// separator.
void CreatePathDirectories(const char* path) {
    if (path == nullptr) return;
    const size_t length = std::strlen(path);
    if (length < 2) return;
    // Each directory is made from the path up to its separator.
    if (length > platform::kMaxPathLength) return;
    for (size_t i = 1; i < length; ++i) {
        if (path[i] != platform::kPathSeparator) continue;
        const std::string prefix(path, i);
        platform::FileSystem().makeDirectory(prefix.c_str());   // existing, a drive name, a failure: all the same
    }
}

const char* LastPathComponent(const char* path) {
    if (path == nullptr) return nullptr;
    const char* last = std::strrchr(path, platform::kPathSeparator);
    return last != nullptr ? last + 1 : path;
}

// The output MAT-file, closed on every return; Close() reports the result
// where it matters.
class OutputMatFile {
public:
    explicit OutputMatFile(MATFile* handle) : handle_(handle) {}
    ~OutputMatFile() {
        if (handle_ != nullptr) matClose(handle_);
    }
    OutputMatFile(const OutputMatFile&) = delete;
    OutputMatFile& operator=(const OutputMatFile&) = delete;
    MATFile* get() const { return handle_; }
    int Close() {
        const int result = matClose(handle_);
        handle_ = nullptr;
        return result;
    }
    // Close, and where the new file went.
    int CloseWritten(char* written, size_t size) {
        const int result = matCloseWritten(handle_, written, size);
        handle_ = nullptr;
        return result;
    }

private:
    MATFile* handle_;
};

class ArrayHolder {
public:
    ArrayHolder() = default;
    ~ArrayHolder() {
        if (array_ != nullptr) mxDestroyArray(array_);
    }
    ArrayHolder(const ArrayHolder&) = delete;
    ArrayHolder& operator=(const ArrayHolder&) = delete;
    void reset(mxArray* array) { array_ = array; }
    mxArray* get() const { return array_; }

private:
    mxArray* array_ = nullptr;
};

// The name the current entry's value goes by in messages and in the
// viewer: the variable's, or the path of the part ("s.testTable").
std::string ShownName(const CurrentEntry& entry) { return entry.name + entry.part; }

// The current entry's array: the variable, or its part the entry names
// (read once, when ChoosePart has not read it already). Null with the
// reason in the log.
mxArray* CurrentArray(Archive* archive) {
    CurrentEntry& entry = archive->current;
    if (entry.partArray) return entry.partArray.release();
    mxArray* variable = matGetArrayOccurrence(archive->matFile, entry.name.c_str(), entry.occurrence);
    if (variable == nullptr || entry.part.empty()) return variable;
    mxArray* part = mxGetPart(variable, entry.part.c_str());
    mxDestroyArray(variable);
    return part;
}

// The reason of a refused extraction reaches the user in a box, once per
// opening of the archive (an operation over many entries shows one), and
// in the log line each time.
void ShowRefusal(Archive* archive, const std::string& text) {
    platform::PrintLine("%s\n", text.c_str());
    if (archive->refusalShown) return;
    archive->refusalShown = true;
    platform::ShowMessageBox(text.c_str(), "Variable not extracted",
                             platform::kMessageBoxOk | platform::kMessageBoxIconWarning | platform::kMessageBoxSystemModal);
}

// Closes the output after a failed write; the close's own failure is only
// reported. A write the user cancelled answers so; a variable the output
// cannot hold (a reason given) is refused, damaged or not done; without a
// reason the output's write failed.
int FailAfterOutputOpened(Archive* archive, OutputMatFile& output, const mxArray* array, const std::string& variableName) {
    if (matLastWasCancelled() != 0) {
        output.Close();
        platform::PrintLine("Extraction of %s cancelled\n", variableName.c_str());
        return E_EABORTED;
    }
    const char* reason = matLastError();
    const std::string why = reason != nullptr ? reason : "";
    if (output.Close() != 0) platform::PrintLine("Error closing file %s\n", variableName.c_str());
    if (why.empty()) {
        platform::PrintLine("Error writing variable %s\n", variableName.c_str());
        return E_EWRITE;
    }
    // A worker lost on the way (killed from outside, silent) is a failed
    // write or read, never a sign of damage.
    if (matLastWasWriterLost() != 0) {
        platform::PrintLine("Error writing variable %s: %s\n", variableName.c_str(), why.c_str());
        return E_EWRITE;
    }
    if (array != nullptr && mxCheckArray(array, nullptr) != 0) {
        if (matLastWasReaderStopped() != 0) {
            platform::PrintLine("Error reading variable %s: %s\n", variableName.c_str(), matLastError());
            return E_EREAD;
        }
        platform::PrintLine("Damaged variable %s: %s\n", variableName.c_str(), why.c_str());
        return E_BAD_DATA;
    }
    ShowRefusal(archive, "Variable " + variableName + " not extracted: " + why);
    return E_NOT_SUPPORTED;
}

// The progress of the new file as it is written, through the callback the
// host set for this archive (its UTF-16 form when it set that one), under
// the destination's name. The host's answer 0 cancels.
//
// The host counts the reports against the size the entry listed (the bytes
// of the values), while the file written holds a header, tags and, for a
// version 7.3 file, libhdf5's own data besides: what is written is scaled
// to the listed size, reported as it grows, and what is left of it reported
// when the file is complete, so that the reports add up to the listed size
// exactly, once.
struct ExtractionProgress {
    const Archive* archive;
    std::string name;
    uint64_t listed = 0;     // the entry's listed size
    uint64_t written = 0;    // bytes of the file written so far
    uint64_t reported = 0;   // what the host has been told so far
};

// One call of the host's progress callback (W first) with `size`; its
// answer, 0 when the user cancels (1 when the host set none).
int CallHost(const ExtractionProgress& progress, int size) {
    if (progress.archive->processDataProcW != nullptr) {
        std::u16string units;
        platform::Utf8ToUtf16(progress.name.c_str(), &units);
        std::basic_string<WCHAR> wide(units.begin(), units.end());
        return progress.archive->processDataProcW(wide.data(), size);
    }
    std::string narrow = progress.name;
    return progress.archive->processDataProc != nullptr ? progress.archive->processDataProc(narrow.data(), size) : 1;
}

// Tells the host `bytes` more; 0 when it cancels.
int TellHost(ExtractionProgress* progress, uint64_t bytes) {
    progress->reported += bytes;
    // The host's count is an int: a larger step goes in parts.
    for (uint64_t left = bytes; left > 0;) {
        const int step = left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
        if (CallHost(*progress, step) == 0) return 0;
        left -= static_cast<uint64_t>(step);
    }
    return 1;
}

// Whether the user lets the extraction go on, asked while a large variable
// is first read whole, before any byte goes out: the current file's 0 %
// (-1000), which moves no bar; 0 back is a Cancel.
bool HostLetsGoOn(const ExtractionProgress& progress) {
    constexpr int kFileAtNoPercent = -1000;
    return CallHost(progress, kFileAtNoPercent) != 0;
}

// `total`: what the file will come to, 0 when not known (then each byte
// written counts as one of the listed size, up to all of it).
int ReportExtraction(void* context, uint64_t bytes, uint64_t total) {
    auto* progress = static_cast<ExtractionProgress*>(context);
    progress->written += bytes;
    uint64_t share = progress->written;
    if (total > 0) {
        // Only a display: a double's precision is more than enough.
        const double done = static_cast<double>(std::min(progress->written, total)) / static_cast<double>(total);
        share = static_cast<uint64_t>(done * static_cast<double>(progress->listed));
    }
    share = std::min(share, progress->listed);
    // Only steps are told: a call with nothing new would be noise to the host.
    if (share <= progress->reported) return 1;
    return TellHost(progress, share - progress->reported);
}

bool WriteAll(FILE* file, const char* text) {
    const size_t length = std::strlen(text);
    return platform::FileSystem().write(text, length, file) == length;
}

bool WriteDisplayPiece(void* file, const char* data, size_t length) {
    return platform::FileSystem().write(data, length, static_cast<FILE*>(file)) == length;
}

// The viewer's text file, written by `fill` (0, or the call's code). Text
// mode: on Windows each line feed is stored as CR LF.
template <typename Fill>
int WriteViewerTextFile(const char* destination, Fill fill) {
    // A symbolic link at the name is replaced, never written through (the
    // open refuses to follow one).
    platform::FileStatus existing;
    if (platform::FileSystem().linkStatus(destination, &existing) == 0 && existing.isLink) {
        platform::FileSystem().remove(destination);
    }
    FILE* file = platform::FileSystem().open(destination, "w");
    if (file == nullptr) {
        platform::PrintLine("The file 'data2' was not opened\n");
        return E_EWRITE;
    }
    platform::PrintLine("The file 'data2' was opened\n");
    const int result = fill(file);
    if (platform::FileSystem().close(file) != 0) {
        platform::PrintLine("The file 'data' was not closed\n");
        return E_EWRITE;
    }
    return result;
}

// The viewer's text: with ShowContents, the variable as MATLAB shows it, up
// to the text's bound; otherwise the entry file name, " =", a line feed, the
// value text ("..." where its data breaks off). Either reads no more of the
// variable than it shows; damage the first meets ends its text with a line
// that says so and answers E_BAD_DATA.
int WriteViewerText(const Archive* archive, const mxArray* array, const char* destination, const char* entryFileName) {
    const CurrentEntry& entry = archive->current;
    // Data kept in other files is never shown: the text says why instead.
    const char* outside = nullptr;
    if (mxCheckStorage(array, &outside) != 0) {
        platform::PrintLine("Damaged variable %s: %s\n", ShownName(entry).c_str(), outside);
        return WriteViewerTextFile(destination, [&](FILE* file) -> int {
            const bool written = WriteAll(file, entryFileName) && WriteAll(file, " =\nNot shown: ") &&
                                 WriteAll(file, outside) && WriteAll(file, "\n");
            return written ? E_BAD_DATA : E_EWRITE;
        });
    }
    if (archive->options.showContents) {
        const DisplayFacts facts{ShownName(entry), entry.listedBytes};
        return WriteViewerTextFile(destination, [&](FILE* file) -> int {
            switch (WriteVariableDisplay(array, facts, archive->options.viewMaxBytes, WriteDisplayPiece, file)) {
                case DisplayResult::Shown: return 0;
                case DisplayResult::Damaged:
                    platform::PrintLine("Damaged variable %s: its data breaks off before its end\n", ShownName(entry).c_str());
                    return E_BAD_DATA;
                default: return E_EWRITE;
            }
        });
    }
    const std::string text = RenderVariableText(array, false);
    return WriteViewerTextFile(destination, [&](FILE* file) -> int {
        const bool written = WriteAll(file, entryFileName) && WriteAll(file, " =\n") && WriteAll(file, text.c_str());
        return written ? 0 : E_EWRITE;
    });
}

// An export's progress in elements, told as the MAT-file's is: shares of the
// entry's listed size.
struct ExportProgress {
    ExtractionProgress* extraction;
    uint64_t done = 0;
};

int ReportExport(void* context, uint64_t done, uint64_t total) {
    auto* progress = static_cast<ExportProgress*>(context);
    const uint64_t step = done - progress->done;
    progress->done = done;
    return ReportExtraction(progress->extraction, step, total);
}

// A destination whose extension names another format (".csv", ".npy", ...):
// the exact path the host gave, replaced as the host decided. A variable the
// format cannot hold is refused before anything is made.
int ExportToDestination(Archive* archive, const mxArray* array, exporting::Format format, const char* destination) {
    const CurrentEntry& entry = archive->current;
    ExtractionProgress extraction{archive, destination, entry.listedBytes};
    exporting::Prepared prepared;   // what the refusal's check read, written without reading it again
    prepared.keepGoing = [&extraction] { return HostLetsGoOn(extraction); };
    const std::string refusal = format == exporting::Format::Txt ? std::string() : exporting::Refusal(format, array, &prepared);
    if (!refusal.empty()) {
        ShowRefusal(archive, "Variable " + ShownName(entry) + " not extracted to " + destination + ": " + refusal);
        return E_NOT_SUPPORTED;
    }
    CreatePathDirectories(destination);
    ExportProgress progress{&extraction};
    const bool reporting = archive->processDataProcW != nullptr || archive->processDataProc != nullptr;
    exporting::Result result;
    std::string why;
    if (format == exporting::Format::Txt) {
        // The viewer's text: with contents on, its whole text (up to its bound).
        std::string text;
        if (archive->options.showContents) {
            const DisplayFacts facts{ShownName(entry), entry.listedBytes};
            const auto append = [](void* to, const char* data, size_t length) {
                static_cast<std::string*>(to)->append(data, length);
                return true;
            };
            const DisplayResult shown = WriteVariableDisplay(array, facts, archive->options.viewMaxBytes, append, &text);
            result = shown == DisplayResult::Shown ? exporting::Result::Ok : exporting::Result::BadData;
        } else {
            text = ShownName(entry) + " =\n" + RenderVariableText(array, false);
            result = exporting::Result::Ok;
        }
        if (result == exporting::Result::Ok) {
            result = exporting::ExportText(text, destination, reporting ? ReportExport : nullptr, &progress);
        }
    } else {
        result = exporting::ExportArray(format, array, destination, reporting ? ReportExport : nullptr, &progress, &why, &prepared,
                                        entry.name);
    }
    switch (result) {
        case exporting::Result::Ok: return 0;
        case exporting::Result::Cancelled:
            platform::PrintLine("Extraction of %s cancelled\n", ShownName(entry).c_str());
            return E_EABORTED;
        case exporting::Result::BadData:
            platform::PrintLine("Damaged variable %s: its values cannot all be read\n", ShownName(entry).c_str());
            return E_BAD_DATA;
        case exporting::Result::CreateFailed:
            platform::PrintLine("Error creating file %s\n", destination);
            return E_ECREATE;
        case exporting::Result::WriteFailed:
            platform::PrintLine("Error writing file %s\n", destination);
            return E_EWRITE;
        case exporting::Result::TooLarge:
            // A format that cannot take the variable, as a struct is refused as CSV.
            platform::PrintLine("Variable %s not extracted to %s: %s\n", ShownName(entry).c_str(), destination, why.c_str());
            return E_NOT_SUPPORTED;
        case exporting::Result::NoRoom:
            // What a full disk answers, before the hours of writing that would meet it.
            platform::PrintLine("Error writing file %s: %s\n", destination, why.c_str());
            return E_EWRITE;
        case exporting::Result::NoMemory: break;
    }
    return E_NO_MEMORY;
}

bool EndsWithMat(const char* name, size_t length) {
    if (length < 4) return false;
    const char* tail = name + length - 4;
    return tail[0] == '.' && (tail[1] == 'm' || tail[1] == 'M') && (tail[2] == 'a' || tail[2] == 'A') &&
           (tail[3] == 't' || tail[3] == 'T');
}

// True when the variable's stored bytes are whole; otherwise a line that
// names it and says what is wrong.
// 0 when the variable reads whole; else the failure's code, and its reason
// in the log: a version 7.3 reader that stopped (its worker killed from
// outside, or silent) is a failed read, not damage to the data.
int ReportIfDamaged(const mxArray* array, const char* variableName) {
    const char* reason = nullptr;
    if (mxCheckArray(array, &reason) == 0) return 0;
    if (matLastWasReaderStopped() != 0) {
        platform::PrintLine("Error reading variable %s: %s\n", variableName, matLastError());
        return E_EREAD;
    }
    platform::PrintLine("Damaged variable %s: %s\n", variableName, reason != nullptr ? reason : "unreadable");
    return E_BAD_DATA;
}

// The test operation: the current entry is read whole and checked; nothing
// is written.
// Objects and function workspaces are checked in the subsystem data too,
// which holds their values.
int TestCurrentEntry(Archive* archive) {
    const std::string shown = ShownName(archive->current);
    ArrayHolder array;
    array.reset(CurrentArray(archive));
    if (array.get() == nullptr) return E_BAD_DATA;
    if (const int code = ReportIfDamaged(array.get(), shown.c_str()); code != 0) return code;
    char reason[512];
    if (mxCheckObjectData(array.get(), reason, sizeof reason) == 0) return 0;
    platform::PrintLine("Damaged variable %s: %s\n", shown.c_str(), reason);
    return E_BAD_DATA;
}

int ExtractToDestination(Archive* archive, const char* destination) {
    const CurrentEntry& entry = archive->current;
    const char* entryFileName = LastPathComponent(destination);

    // The variable is read, and checked before anything is created: a failure
    // leaves the destination as it was, and damaged data is not copied (a
    // compressed element is copied as it stands). The viewer's text reads
    // only what it shows and meets damage on the way, if at all. A function
    // handle is copied like any variable, its workspace with the subsystem
    // data, as an object's values are.
    const std::string shown = ShownName(entry);
    ArrayHolder array;
    array.reset(CurrentArray(archive));
    if (array.get() == nullptr) {
        const char* reason = matLastError();
        platform::PrintLine("Error reading variable %s%s%s\n", shown.c_str(), reason ? ": " : "", reason ? reason : "");
        return E_EREAD;
    }

    const size_t length = std::strlen(destination);
    if (length > kMaxDestinationLength) return E_ECREATE;
    const bool hostAsked = EndsWithMat(destination, length);
    const std::string outputPath = hostAsked ? std::string(destination) : destination + std::string(".mat");
    const char* outputName = outputPath.c_str();

    if (platform::IsHostViewerPath(destination)) {
        CreatePathDirectories(destination);
        return WriteViewerText(archive, array.get(), destination, entryFileName);
    }
    const exporting::Format format = exporting::FormatOfPath(entryFileName);
    // A numeric array exported to another format, and a level-5 sparse
    // matrix's lines, are read once, by the export itself, which meets any damage on
    // the way (a short part, a wrong checksum at the stream's end) and then
    // leaves no file; every other extraction is checked whole first.
    const bool streamed = format != exporting::Format::Mat && format != exporting::Format::Txt &&
                          (exporting::StreamsElements(array.get()) || exporting::StreamsSparseLines(format, array.get()));
    if (!streamed) {
        if (const int damaged = ReportIfDamaged(array.get(), shown.c_str()); damaged != 0) return damaged;
    }
    if (format != exporting::Format::Mat) return ExportToDestination(archive, array.get(), format, destination);

    CreatePathDirectories(destination);
    // A name the host did not ask for keeps what has it: the new file takes
    // a free name. The option "Extract as" may ask for version 7 (a version
    // 7.3 variable is converted) or 7.3 (a version 4 or 5 one is).
    matWriteOptions options{};
    options.existing = hostAsked ? matExistingReplace : matExistingKeep;
    options.version = archive->options.extractVersion;
    options.oneVariable = 1;
    OutputMatFile output(matOpenForWriting(outputName, &options));
    if (output.get() == nullptr) {
        platform::PrintLine("Error opening file %s\n", destination);
        return E_ECREATE;   // a folder without write permission, a path too long for its temporary ...
    }
    ExtractionProgress progress{archive, destination, entry.listedBytes};
    if (archive->processDataProcW != nullptr || archive->processDataProc != nullptr) {
        matSetProgress(output.get(), ReportExtraction, &progress);
    }
    // A failed write breaks the new file: closing it then replaces nothing.
    if (matPutArray(output.get(), array.get()) != 0) {
        return FailAfterOutputOpened(archive, output, array.get(), shown);
    }
    // The last progress report comes inside the close, before the file goes
    // in place: a Cancel there leaves the destination as it was.
    char written[platform::kMaxPathLength + 1];
    if (output.CloseWritten(written, sizeof written) != 0) {
        if (matLastWasCancelled() != 0) {
            platform::PrintLine("Extraction of %s cancelled\n", ShownName(entry).c_str());
            return E_EABORTED;
        }
        if (matLastWasNotNamed() != 0) {
            platform::PrintLine("Error creating file %s: %s exists and %s\n", destination, outputName, matLastError());
            return E_ECREATE;
        }
        platform::PrintLine("Error closing file %s\n", destination);
        return E_EWRITE;
    }
    if (std::strcmp(written, outputName) != 0) {
        platform::PrintLine("%s exists already: variable %s extracted as %s\n", outputName, ShownName(entry).c_str(), written);
    }
    return 0;
}

}  // namespace

int ExtractVariable(Archive* archive, int operation, const char* destPath, const char* destName) {
    if (operation == PK_SKIP) return 0;
    if (archive == nullptr) return E_BAD_DATA;
    if (archive->openMode == PK_OM_LIST) return 0;
    if (!archive->current.valid || archive->matFile == nullptr) return E_BAD_DATA;
    if (operation == PK_TEST) {
        try {
            return TestCurrentEntry(archive);
        } catch (const std::bad_alloc&) {
            return E_NO_MEMORY;
        }
    }
    // An empty name names no file: the output would land as ".mat" in
    // whatever folder the host runs in.
    if (destName == nullptr || destName[0] == '\0') return E_EWRITE;

    try {
        // A destination longer than the system takes is refused before
        // anything is created: a cut name would write another file.
        std::string destination = destPath != nullptr ? destPath + std::string(1, platform::kPathSeparator) + destName
                                                       : std::string(destName);
        if (destination.size() > kMaxDestinationLength) return E_ECREATE;
        // The folders of a struct or cell entry ("st.struct [1x1] ") end in a
        // blank that Windows drops when it makes them.
        platform::UseSystemFolderNames(destination.data());
        destination.resize(std::strlen(destination.c_str()));
        return ExtractToDestination(archive, destination.c_str());
    } catch (const std::bad_alloc&) {
        return E_NO_MEMORY;
    }
}

int ChoosePart(Archive* archive, const std::string& path, std::string* name, std::string* reason) {
    if (archive == nullptr || !archive->current.valid || archive->matFile == nullptr) {
        *reason = "no entry is current";
        return E_BAD_DATA;
    }
    CurrentEntry& entry = archive->current;
    entry.partArray.reset();
    entry.part.clear();
    ArrayHolder variable;
    variable.reset(matGetArrayOccurrence(archive->matFile, entry.name.c_str(), entry.occurrence));
    const char* why = matLastError();
    if (variable.get() == nullptr) {
        *reason = why != nullptr ? why : "the variable cannot be read";
        return E_EREAD;
    }
    *name = entry.name;
    if (path.empty()) return 0;
    ArrayPtr part(mxGetPart(variable.get(), path.c_str()));
    if (!part) {
        why = matLastError();
        *reason = why != nullptr ? why : "the part cannot be read";
        // A path that names nothing fails as a missing variable does.
        if (reason->find("version 7.3") != std::string::npos) return E_NOT_SUPPORTED;
        const std::string damaged = "damaged";   // the engine's reasons of damage end so
        const bool isDamaged = reason->size() >= damaged.size() &&
                               reason->compare(reason->size() - damaged.size(), damaged.size(), damaged) == 0;
        return isDamaged ? E_BAD_DATA : E_NO_FILES;
    }
    const uint64_t count = mxGetNumberOfElements(part.get()), size = mxGetElementSize(part.get());
    entry.listedBytes = size != 0 && count > UINT64_MAX / size ? UINT64_MAX : count * size;
    // As its entry would list it: a name a crafted file gave its variable
    // ("../x") names no file outside the folder.
    *name = EncodeVariableName(mxGetName(part.get()), 1);
    entry.part = path;
    entry.partArray = std::move(part);
    return 0;
}
