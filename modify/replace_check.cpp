#include "modify/replace_check.h"

#include <cstring>
#include <memory>

#include "entry/entry_name.h"
#include "host/message_box.h"
#include "host/replace_question.h"
#include "os/diagnostics.h"
#include "wcx/plugin_api.h"

namespace {

struct ArrayDeleter {
    void operator()(mxArray* array) const { mxDestroyArray(array); }
};
using ArrayPtr = std::unique_ptr<mxArray, ArrayDeleter>;

// The longest entry name a host's record holds.
constexpr size_t kLongestEntryName = 1023;

bool HostAskedAbout(const mxArray* targetVariable, const std::string& hostName) {
    if (hostName.empty()) return false;
    std::string entryName;
    const size_t* dims = mxGetDimensions(targetVariable);
    const char* className = mxGetClassName(targetVariable);
    return dims != nullptr && className != nullptr &&
           MakeEntryName(EncodeVariableName(mxGetName(targetVariable), 1),
                         EntryClassText(className, mxIsFromGlobalWS(targetVariable)), dims,
                         mxGetNumberOfDimensions(targetVariable), false, kLongestEntryName, &entryName) &&
           entryName == hostName;
}

// Same class, dimensions, flags and values (numbers, logicals, characters);
// anything else (structs, cells, objects, sparse arrays, damage) counts as
// different.
bool SameValues(const mxArray* a, const mxArray* b) {
    const mxClassID id = mxGetClassID(a);
    if (id != mxGetClassID(b) || mxIsSparse(a) || mxIsSparse(b) || mxIsComplex(a) != mxIsComplex(b) ||
        mxIsFromGlobalWS(a) != mxIsFromGlobalWS(b)) {
        return false;
    }
    const bool plain = id == mxLOGICAL_CLASS || id == mxCHAR_CLASS || (id >= mxDOUBLE_CLASS && id <= mxUINT64_CLASS);
    if (!plain) return false;
    const size_t rank = mxGetNumberOfDimensions(a);
    if (rank != mxGetNumberOfDimensions(b) ||
        std::memcmp(mxGetDimensions(a), mxGetDimensions(b), rank * sizeof(size_t)) != 0) {
        return false;
    }
    const size_t count = mxGetNumberOfElements(a);
    constexpr size_t kBatch = 4096;
    // The reader gives the 64-bit integer classes exactly, every other class
    // as doubles: only that buffer is filled, and only it is compared.
    struct Values {
        double asDouble[kBatch];
        int64_t asInt64[kBatch];
        uint64_t asUInt64[kBatch];
        const void* Filled(mxClassID id) const {
            return id == mxINT64_CLASS ? static_cast<const void*>(asInt64)
                   : id == mxUINT64_CLASS ? static_cast<const void*>(asUInt64)
                                          : static_cast<const void*>(asDouble);
        }
    };
    auto left = std::make_unique<Values>(), right = std::make_unique<Values>();
    for (int part = 0; part < (mxIsComplex(a) ? 2 : 1); ++part) {
        mxElementReader* readerA = mxOpenElementReader(a, part);
        mxElementReader* readerB = mxOpenElementReader(b, part);
        bool same = readerA != nullptr && readerB != nullptr;
        for (size_t done = 0; same && done < count;) {
            const size_t want = count - done < kBatch ? count - done : kBatch;
            const size_t gotA = mxReadNextElements(readerA, want, left->asDouble, left->asInt64, left->asUInt64);
            const size_t gotB = mxReadNextElements(readerB, want, right->asDouble, right->asInt64, right->asUInt64);
            static_assert(sizeof(double) == sizeof(int64_t) && sizeof(double) == sizeof(uint64_t));
            same = gotA == want && gotB == want && std::memcmp(left->Filled(id), right->Filled(id), want * sizeof(double)) == 0;
            done += want;
        }
        if (readerA != nullptr) mxCloseElementReader(readerA);
        if (readerB != nullptr) mxCloseElementReader(readerB);
        if (!same) return false;
    }
    return true;
}

}  // namespace

int ConfirmReplacing(const char* targetPath, const std::vector<IncomingVariable>& incoming, std::set<std::string>* kept) {
    MATFile* target = matOpen(targetPath, "r");
    if (target == nullptr) return 0;
    std::vector<const IncomingVariable*> questions;
    std::set<std::string> held;
    for (int i = 0, count = matGetVariableCount(target); i < count; ++i) {
        if (const char* name = matGetVariableName(target, i)) held.insert(name);
    }
    for (const IncomingVariable& variable : incoming) {
        const char* name = mxGetName(variable.array);
        if (name == nullptr || held.count(name) == 0) continue;
        ArrayPtr old(matGetArrayOccurrence(target, name, 1));
        if (old && (HostAskedAbout(old.get(), variable.hostName) || SameValues(old.get(), variable.array))) continue;
        questions.push_back(&variable);
    }
    matClose(target);

    bool all = false;
    for (const IncomingVariable* variable : questions) {
        const std::string name = mxGetName(variable->array);
        const std::string text = std::string(targetPath) + " holds a variable " + name +
                                 " that differs from the one of that name being added. Replace it?";
        const platform::ReplaceAnswer answer = all ? platform::ReplaceAnswer::Yes : platform::AskToReplace(text.c_str());
        if (answer == platform::ReplaceAnswer::All) all = true;
        if (answer == platform::ReplaceAnswer::No) kept->insert(name);
        if (answer == platform::ReplaceAnswer::Cancel) {
            platform::PrintLine("Adding to file %s cancelled: nothing added\n", targetPath);
            return E_EABORTED;
        }
        if (answer == platform::ReplaceAnswer::NobodyToAsk) {
            std::string refusal = std::string("No variable was added to ") + targetPath + ": its variable";
            refusal += questions.size() > 1 ? "s" : "";
            for (const IncomingVariable* other : questions) refusal += std::string(" ") + mxGetName(other->array);
            refusal += " would be replaced by different ones of the same name, and no dialog can ask whether to.";
            platform::ShowMessageBox(refusal.c_str(), "Error Processing Variable",
                                     platform::kMessageBoxOk | platform::kMessageBoxIconError |
                                         platform::kMessageBoxSystemModal);
            return platform::RefusalCode(E_NOT_SUPPORTED);
        }
    }
    return 0;
}
