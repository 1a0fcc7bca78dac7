#include "reader/whos_table.h"

#include <cstdint>
#include <memory>

namespace {

uint64_t SaturatedProduct(uint64_t a, uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; }

struct ArrayDestroyer {
    void operator()(mxArray* array) const { mxDestroyArray(array); }
};

struct FileCloser {
    void operator()(MATFile* file) const { matClose(file); }
};

}  // namespace

bool ReadWhosTable(const char* path, size_t maxRows, std::vector<picture::WhosRow>* rows) {
    const std::unique_ptr<MATFile, FileCloser> file(matOpen(path, "r"));
    if (file == nullptr) return false;
    const int count = matGetVariableCount(file.get());
    if (count < 0) return false;
    for (int i = 0; i < count && rows->size() < maxRows; ++i) {
        const std::unique_ptr<mxArray, ArrayDestroyer> array(matGetNextArrayHeader(file.get()));
        if (array == nullptr) return false;
        const char* name = mxGetName(array.get());
        if (name == nullptr || name[0] == '\0') continue;   // the subsystem data: no variable
        picture::WhosRow row;
        row.name = name;
        const mwSize* dims = mxGetDimensions(array.get());
        for (mwSize k = 0; dims != nullptr && k < mxGetNumberOfDimensions(array.get()); ++k) row.dimensions.push_back(dims[k]);
        const bool complex = mxIsComplex(array.get()) && !mxIsSparse(array.get());
        row.bytes = SaturatedProduct(SaturatedProduct(mxGetElementSize(array.get()), mxGetNumberOfElements(array.get())),
                                     complex ? 2 : 1);
        const char* className = mxGetClassName(array.get());
        row.className = className != nullptr ? className : "";
        const std::pair<bool, const char*> flags[] = {
            {mxIsFromGlobalWS(array.get()), "global"}, {mxIsSparse(array.get()), "sparse"}, {mxIsComplex(array.get()), "complex"}};
        for (const auto& [on, word] : flags) {
            if (on) row.attributes += (row.attributes.empty() ? "" : ", ") + std::string(word);
        }
        rows->push_back(std::move(row));
    }
    return true;
}
