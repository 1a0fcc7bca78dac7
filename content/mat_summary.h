// What the content plug-in's fields show of one MAT-file, read from the
// variables' headers only (no value decoded), and a small cache of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "matlib/mat.h"
#include "os/file_time.h"

namespace content {

// One variable, its texts kept in its file's summary (a cache of thousands of
// files holds them: some 30 bytes a variable besides its texts).
struct VariableSummary {
    uint32_t textAt = 0;     // in FileSummary::texts: its name, class and dimensions
    uint16_t nameLength = 0, classLength = 0, dimsLength = 0;
    uint64_t bytes = 0;      // the bytes its values take, as the packer's listing gives them
};

struct FileSummary {
    matFormatInfo format{"", "", 0, 0, 0, 0};   // what the engine tells of the file's format
    int variableCount = 0;                   // named variables (MATLAB's unnamed one apart)
    std::vector<VariableSummary> variables;  // the first kMaxSummarisedVariables of them
    std::string texts;                       // theirs, one after another
    uint64_t dataBytes = 0;                  // sum over all, saturated
    bool compressed = false;                 // a variable stored compressed
    bool objects = false;                    // objects, or the subsystem data that holds them
    std::string headerText;                  // level 5 and 7.3: the 116 bytes, trimmed
    bool hasCreatedText = false;             // the header text names a date: createdLocal
    platform::LocalDateTime createdLocal{};  // as the text has it (local time); CreatedFileTime converts it
    bool indexed = false;                    // the variables were read (not the header alone)
    bool damagedKnown = false;               // the whole check ran (Damaged)
    bool damaged = false;

    std::string_view Name(const VariableSummary& v) const { return {texts.data() + v.textAt, v.nameLength}; }
    // As mxGetClassName gives it.
    std::string_view ClassName(const VariableSummary& v) const {
        return {texts.data() + v.textAt + v.nameLength, v.classLength};
    }
    // First to last, joined by "x" ("3x4").
    std::string_view Dims(const VariableSummary& v) const {
        return {texts.data() + v.textAt + v.nameLength + v.classLength, v.dimsLength};
    }
    // Appends a variable; false when its texts are too long to be kept so.
    bool Add(std::string_view name, std::string_view className, std::string_view dims, uint64_t bytes);
};

// Names kept for the text fields: a file may hold a million variables.
constexpr size_t kMaxSummarisedVariables = 10000;

// Why a summary could not be made.
enum class SummaryResult { Ok, NotMat, Unreadable, Damaged, Stopped };

// A stop request for calls on one file (ContentStopGetValue): registered for
// the length of one call; Stop sets the flag of every call on that path.
class ActiveCall {
public:
    explicit ActiveCall(const std::string& path);
    ~ActiveCall();
    ActiveCall(const ActiveCall&) = delete;
    ActiveCall& operator=(const ActiveCall&) = delete;
    bool stopped() const { return stop_.load(std::memory_order_relaxed); }
    const std::atomic<bool>* flag() const { return &stop_; }
    static void Stop(const std::string& path);

private:
    std::string path_;
    std::atomic<bool> stop_{false};
};

// How much of a file a summary reads: its header alone (version, writer,
// date), the variables' headers too, or also every variable's data (the
// Damaged check).
enum class Depth { Header, Variables, Checked };

// The summary of the file at path (UTF-8) to that depth at least, from the
// cache when the file is unchanged (same size, modification time and file
// identity). The stop flag is looked at between variables.
SummaryResult Summarise(const std::string& path, Depth depth, const std::atomic<bool>* stop,
                        std::shared_ptr<const FileSummary>* out);

// Whether the file is in the cache as it is now, to that depth.
bool IsCached(const std::string& path, Depth depth);

// Drops every cached summary (refresh, unloading).
void ClearCache();

// The header's date as 100 ns since 1601, UTC; false when it names none or
// one the C library cannot place. Made only when asked: the conversion reads
// the system's time zone, which a column of other fields should not pay for.
bool CreatedFileTime(const FileSummary& summary, uint64_t* fileTime);

// The dimensions first to last, joined by "x" ("3x4").
std::string DimensionText(const mxArray* array);

// "MATLAB 5.0 MAT-file, Platform: GLNXA64" out of the header text: its
// "Created on: <date>" part left out.
std::string WrittenBy(const std::string& headerText);

}  // namespace content
