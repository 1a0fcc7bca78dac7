// Summaries of MAT-files for the content fields: one pass over the
// variables' headers (the engine's index), never their values, except for
// the Damaged check, which reads what the packer's test reads.
#include "content/mat_summary.h"

#include <algorithm>
#include <list>
#include <mutex>
#include <new>
#include <unordered_map>

#include "matlib/mat.h"
#include "os/file_io.h"
#include "os/file_time.h"
#include "reader/archive.h"

namespace content {
namespace {

// The cache holds at most this many variables' summaries over all its files
// (some tens of bytes each), and this many files.
constexpr size_t kMaxCachedVariables = 200000;
constexpr size_t kMaxCachedFiles = 4096;
// Structs and cells of one version 7.3 file walked for objects at most (a
// round trip to its worker each), until one holds them.
constexpr size_t kMaxObjectWalks = 256;

uint64_t SaturatedAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t SaturatedProduct(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// ---- stop requests ------------------------------------------------------------

std::mutex& CallsLock() {
    static std::mutex lock;
    return lock;
}
std::list<std::pair<std::string, std::atomic<bool>*>>& Calls() {
    static std::list<std::pair<std::string, std::atomic<bool>*>> calls;
    return calls;
}

// ---- the cache ------------------------------------------------------------------

struct CacheEntry {
    platform::FileStatus status;
    std::shared_ptr<const FileSummary> summary;
};

std::mutex& CacheLock() {
    static std::mutex lock;
    return lock;
}
std::unordered_map<std::string, CacheEntry>& Cache() {
    static std::unordered_map<std::string, CacheEntry> cache;
    return cache;
}
size_t cachedVariables = 0;   // under CacheLock

bool StatusOf(const std::string& path, platform::FileStatus* status) {
    return platform::FileSystem().status(path.c_str(), status) == 0 && status->isRegularFile;
}

std::shared_ptr<const FileSummary> Cached(const std::string& path, const platform::FileStatus& now) {
    std::lock_guard<std::mutex> hold(CacheLock());
    auto found = Cache().find(path);
    if (found == Cache().end()) return nullptr;
    if (!platform::SameFileUnchanged(found->second.status, now)) return nullptr;
    return found->second.summary;
}

void Store(const std::string& path, const platform::FileStatus& status, std::shared_ptr<const FileSummary> summary) {
    std::lock_guard<std::mutex> hold(CacheLock());
    auto& cache = Cache();
    auto found = cache.find(path);
    if (found != cache.end()) {
        cachedVariables -= found->second.summary->variables.size();
        cache.erase(found);
    }
    // Full: start again (a folder listing asks each file once in a row).
    if (cache.size() >= kMaxCachedFiles || cachedVariables + summary->variables.size() > kMaxCachedVariables) {
        cache.clear();
        cachedVariables = 0;
    }
    cachedVariables += summary->variables.size();
    cache.emplace(path, CacheEntry{status, std::move(summary)});
}

// What the packer's test finds: every variable's stored bytes whole, and no
// damage after the last one listed.
SummaryResult CheckWhole(MATFile* file, const std::atomic<bool>* stop, bool* damaged) {
    *damaged = matCheckIndex(file) != 0;
    const int count = matGetVariableCount(file);
    // How often each name came so far: the occurrence of the one at index i.
    std::unordered_map<std::string, int> seen;
    for (int i = 0; i < count && !*damaged; ++i) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return SummaryResult::Stopped;
        const char* name = matGetVariableName(file, i);
        if (name == nullptr) break;
        const int occurrence = ++seen[name];
        mxArray* array = matGetArrayOccurrence(file, name, occurrence);
        *damaged = array == nullptr || mxCheckArray(array, nullptr) != 0 || mxCheckObjectData(array, nullptr, 0) != 0;
        mxDestroyArray(array);
    }
    return SummaryResult::Ok;
}

// mxRefersToObjects of the variable whose header this is (a header alone
// holds no way to its data).
int ObjectsOf(MATFile* file, const mxArray* header, uint64_t* elementBytes) {
    mxArray* array = matGetArrayOccurrence(file, mxGetName(header), mxGetNameOccurrence(header));
    const int found = mxRefersToObjects(array, elementBytes);
    mxDestroyArray(array);
    return found;
}

bool ReadsTo(const FileSummary& summary, Depth depth) {
    return depth == Depth::Header || (summary.indexed && (depth == Depth::Variables || summary.damagedKnown));
}

SummaryResult Read(const std::string& path, Depth depth, const std::atomic<bool>* stop, FileSummary* out) {
    MATFile* file = matOpen(path.c_str(), "r");
    if (file == nullptr) {
        switch (matLastOpenFailure()) {
        case MAT_OPEN_NOT_MAT: return SummaryResult::NotMat;
        case MAT_OPEN_DAMAGED: return SummaryResult::Damaged;
        default: return SummaryResult::Unreadable;
        }
    }
    matGetFormatInfo(file, &out->format);
    char text[128];
    if (matGetHeaderText(file, text, sizeof text) == 0) {
        std::string header(text);
        while (!header.empty() && (header.back() == ' ' || header.back() == '\0')) header.pop_back();
        out->headerText = header;
    }
    out->hasCreatedText = HeaderTextDate(file, &out->createdLocal);
    if (depth == Depth::Header) {
        matClose(file);
        return SummaryResult::Ok;
    }
    out->indexed = true;
    SummaryResult result = SummaryResult::Ok;
    const int count = matGetVariableCount(file);
    if (count < 0) result = SummaryResult::Damaged;
    size_t objectWalks = 0;
    if (count > 0) out->variables.reserve(std::min<size_t>(static_cast<size_t>(count), kMaxSummarisedVariables));
    for (int i = 0; i < count && result == SummaryResult::Ok; ++i) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
            result = SummaryResult::Stopped;
            break;
        }
        mxArray* array = matGetNextArrayHeader(file);
        if (array == nullptr) break;
        if (mxIsStoredCompressed(array)) out->compressed = true;
        const mxClassID id = mxGetClassID(array);
        const char* name = mxGetName(array);
        // MATLAB's unnamed variable holds the subsystem data: objects'
        // values and function workspaces.
        if (name[0] == '\0') {
            out->objects = true;
        } else {
            uint64_t bytes = SaturatedProduct(mxGetElementSize(array), mxGetNumberOfElements(array));
            if (id == mxOBJECT_CLASS || id == mxOPAQUE_CLASS || id == mxFUNCTION_CLASS) {
                // An object's values are no elements of a class's size: it
                // counts the bytes its own element takes (uncompressed), as
                // MATLAB's twins in either format have it.
                out->objects = true;
                ObjectsOf(file, array, &bytes);
            } else if (!out->format.objectsListed && !out->objects && (id == mxCELL_CLASS || id == mxSTRUCT_CLASS) &&
                       objectWalks < kMaxObjectWalks) {
                // A level-5 file with objects anywhere holds the unnamed
                // subsystem variable; in a version 7.3 file the worker
                // walks a struct or cell to find them.
                ++objectWalks;
                if (ObjectsOf(file, array, nullptr) == 1) out->objects = true;
            }
            out->dataBytes = SaturatedAdd(out->dataBytes, bytes);
            ++out->variableCount;
            if (out->variables.size() < kMaxSummarisedVariables) {
                if (!out->Add(name, mxGetClassName(array), DimensionText(array), bytes)) result = SummaryResult::Damaged;
            }
        }
        mxDestroyArray(array);
    }
    if (result == SummaryResult::Ok && depth == Depth::Checked) {
        result = CheckWhole(file, stop, &out->damaged);
        out->damagedKnown = result == SummaryResult::Ok;
    }
    matClose(file);
    return result;
}

}  // namespace

bool FileSummary::Add(std::string_view name, std::string_view className, std::string_view dims, uint64_t bytes) {
    constexpr size_t kMost = UINT16_MAX;
    if (name.size() > kMost || className.size() > kMost || dims.size() > kMost ||
        texts.size() > UINT32_MAX - name.size() - className.size() - dims.size()) {
        return false;
    }
    variables.push_back({static_cast<uint32_t>(texts.size()), static_cast<uint16_t>(name.size()),
                         static_cast<uint16_t>(className.size()), static_cast<uint16_t>(dims.size()), bytes});
    texts.append(name).append(className).append(dims);
    return true;
}

ActiveCall::ActiveCall(const std::string& path) : path_(path) {
    std::lock_guard<std::mutex> hold(CallsLock());
    Calls().emplace_back(path_, &stop_);
}

ActiveCall::~ActiveCall() {
    std::lock_guard<std::mutex> hold(CallsLock());
    auto& calls = Calls();
    for (auto it = calls.begin(); it != calls.end(); ++it) {
        if (it->second == &stop_) {
            calls.erase(it);
            break;
        }
    }
}

void ActiveCall::Stop(const std::string& path) {
    std::lock_guard<std::mutex> hold(CallsLock());
    for (auto& call : Calls()) {
        if (call.first == path) call.second->store(true, std::memory_order_relaxed);
    }
}

SummaryResult Summarise(const std::string& path, Depth depth, const std::atomic<bool>* stop,
                        std::shared_ptr<const FileSummary>* out) {
    try {
        platform::FileStatus before;
        if (!StatusOf(path, &before)) return SummaryResult::Unreadable;
        std::shared_ptr<const FileSummary> cached = Cached(path, before);
        if (cached && ReadsTo(*cached, depth)) {
            *out = std::move(cached);
            return SummaryResult::Ok;
        }
        auto summary = std::make_shared<FileSummary>();
        const SummaryResult result = Read(path, depth, stop, summary.get());
        if (result != SummaryResult::Ok) return result;
        // Kept only when the file did not change while it was read.
        platform::FileStatus after;
        if (StatusOf(path, &after) && platform::SameFileUnchanged(before, after)) Store(path, after, summary);
        *out = std::move(summary);
        return SummaryResult::Ok;
    } catch (const std::bad_alloc&) {
        return SummaryResult::Unreadable;
    }
}

bool IsCached(const std::string& path, Depth depth) {
    platform::FileStatus now;
    if (!StatusOf(path, &now)) return false;
    std::shared_ptr<const FileSummary> cached = Cached(path, now);
    return cached && ReadsTo(*cached, depth);
}

void ClearCache() {
    std::lock_guard<std::mutex> hold(CacheLock());
    Cache().clear();
    cachedVariables = 0;
}

bool CreatedFileTime(const FileSummary& summary, uint64_t* fileTime) {
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
    int64_t seconds = 0;
    if (!summary.hasCreatedText || !platform::SecondsOfLocal(summary.createdLocal, &seconds) ||
        seconds < -kSecondsFrom1601To1970) {
        return false;
    }
    *fileTime = static_cast<uint64_t>(seconds + kSecondsFrom1601To1970) * 10000000u;
    return true;
}

std::string DimensionText(const mxArray* array) {
    const mwSize* dims = mxGetDimensions(array);
    const size_t count = dims != nullptr ? mxGetNumberOfDimensions(array) : 0;
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) text += 'x';
        text += std::to_string(dims[i]);
    }
    return text;
}

std::string WrittenBy(const std::string& headerText) {
    // "Created on:" in any case (some MATLAB versions write "CREATED on:").
    std::string lower = headerText;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    std::string text = headerText;
    const size_t created = lower.find("created on:");
    if (created != std::string::npos) text.erase(created);
    while (!text.empty() && (text.back() == ' ' || text.back() == ',')) text.pop_back();
    return text;
}

}  // namespace content
