// Two MAT-files compared variable by variable: names first (file order does
// not count), then class, size and flags, then the values through the
// engine's element reader in batches, so that a compressed variable and its
// uncompressed or version 7.3 twin compare equal. Structs, cells, objects
// and function handles compare as MATLAB's isequaln (mxCompareValues).
#include "content/compare.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "content/mat_summary.h"
#include "matlib/mat.h"
#include "wcx/content_api.h"

namespace content {
namespace {

constexpr size_t kBatch = 65536;                  // elements read at a time
constexpr size_t kReportBytes = 1024;             // a nested difference's path and reason
constexpr size_t kPositionsShown = 5;             // first differing positions in a report line
constexpr auto kProgressEvery = std::chrono::milliseconds(100);

struct FileCloser {
    void operator()(MATFile* f) const { matClose(f); }
};
using File = std::unique_ptr<MATFile, FileCloser>;
struct ArrayDestroyer {
    void operator()(mxArray* a) const { mxDestroyArray(a); }
};
using Array = std::unique_ptr<mxArray, ArrayDestroyer>;
struct ReaderCloser {
    void operator()(mxElementReader* r) const { mxCloseElementReader(r); }
};
using Reader = std::unique_ptr<mxElementReader, ReaderCloser>;

class Progress {
public:
    // The first call reports at once, the others every kProgressEvery.
    explicit Progress(const CompareProgress& report) : report_(report), last_(Clock::now() - kProgressEvery) {}
    // True when the user aborted.
    bool Add(uint64_t bytes) {
        pending_ += bytes;
        const Clock::time_point now = Clock::now();
        if (!report_ || now - last_ < kProgressEvery) return false;
        last_ = now;
        const uint64_t sent = pending_;
        pending_ = 0;
        return report_(sent);
    }

private:
    using Clock = std::chrono::steady_clock;
    const CompareProgress& report_;
    Clock::time_point last_;
    uint64_t pending_ = 0;
};

// "name" for the first variable of a name, "name#2" for a second one.
using Key = std::pair<std::string, int>;

bool Listed(MATFile* file, std::map<Key, size_t>* names, std::vector<Key>* order) {
    const int count = matGetVariableCount(file);
    if (count < 0 || matCheckIndex(file) != 0) return false;
    for (int i = 0; i < count; ++i) {
        mxArray* header = matGetNextArrayHeader(file);
        if (header == nullptr) return false;
        const Key key{mxGetName(header), mxGetNameOccurrence(header)};
        mxDestroyArray(header);
        // MATLAB's unnamed variable holds the subsystem data (a version 7.3
        // file keeps it in a group of its own): never a variable; the objects
        // that refer to it compare by what it holds for them.
        if (key.first.empty()) continue;
        names->emplace(key, order->size());
        order->push_back(key);
    }
    return true;
}

std::string KeyText(const Key& key) {
    return key.second > 1 ? key.first + " (occurrence " + std::to_string(key.second) + ")" : key.first;
}

// MATLAB's subscripts of a column-major position: "(2,3)".
std::string Subscripts(const mxArray* a, uint64_t index) {
    const mwSize* dims = mxGetDimensions(a);
    const size_t n = dims != nullptr ? mxGetNumberOfDimensions(a) : 0;
    std::string text = "(";
    for (size_t i = 0; i < n; ++i) {
        const uint64_t size = dims[i] > 0 ? dims[i] : 1;
        const uint64_t sub = i + 1 < n ? index % size : index;
        index = i + 1 < n ? index / size : 0;
        if (i > 0) text += ',';
        text += std::to_string(sub + 1);
    }
    return text + ")";
}

bool IsNumericLike(mxClassID id) {
    return id == mxLOGICAL_CLASS || id == mxCHAR_CLASS || (id >= mxDOUBLE_CLASS && id <= mxUINT64_CLASS);
}

bool SameNumber(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

enum class Outcome { Same, Differ, Unreadable, Aborted, Unknown };

// One part of one array read forward in batches, as doubles or exactly (the
// 64-bit integer classes).
class PartReader {
public:
    PartReader(const mxArray* a, int part) : reader_(mxOpenElementReader(a, part)) {
        const mxClassID id = mxGetClassID(a);
        kind_ = id == mxINT64_CLASS ? 1 : id == mxUINT64_CLASS ? 2 : 0;
    }
    bool ok() const { return reader_ != nullptr; }
    bool Read(size_t n) {
        if (kind_ == 0) d_.resize(n);
        if (kind_ == 1) i_.resize(n);
        if (kind_ == 2) u_.resize(n);
        return mxReadNextElements(reader_.get(), n, kind_ == 0 ? d_.data() : nullptr, kind_ == 1 ? i_.data() : nullptr,
                                  kind_ == 2 ? u_.data() : nullptr) == n;
    }
    bool Same(const PartReader& other, size_t i) const {
        return kind_ == 1 ? i_[i] == other.i_[i] : kind_ == 2 ? u_[i] == other.u_[i] : SameNumber(d_[i], other.d_[i]);
    }
    bool damaged() const { return mxElementsDamaged(reader_.get()); }

private:
    Reader reader_;
    int kind_ = 0;
    std::vector<double> d_;
    std::vector<int64_t> i_;
    std::vector<uint64_t> u_;
};

// Values element by element, both parts of a complex array in step: the
// count of elements that differ in either part, and the first positions.
Outcome CompareElements(const mxArray* a, const mxArray* b, Progress* progress, uint64_t* differing,
                        std::vector<uint64_t>* first) {
    const size_t total = mxGetNumberOfElements(a);
    const int parts = mxIsComplex(a) ? 2 : 1;
    const uint64_t elementBytes = mxGetElementSize(a);
    std::vector<std::unique_ptr<PartReader>> readers;
    for (int part = 0; part < parts; ++part) {
        readers.push_back(std::make_unique<PartReader>(a, part));
        readers.push_back(std::make_unique<PartReader>(b, part));
        if (!readers[readers.size() - 2]->ok() || !readers.back()->ok()) return Outcome::Unreadable;
    }
    uint64_t count = 0;
    for (size_t at = 0; at < total;) {
        const size_t want = std::min(kBatch, total - at);
        for (auto& r : readers) {
            if (!r->Read(want)) return Outcome::Unreadable;
        }
        for (size_t i = 0; i < want; ++i) {
            bool same = true;
            for (size_t r = 0; r < readers.size() && same; r += 2) same = readers[r]->Same(*readers[r + 1], i);
            if (same) continue;
            ++count;
            if (first->size() < kPositionsShown) first->push_back(at + i);
        }
        at += want;
        if (progress->Add(static_cast<uint64_t>(want) * elementBytes * readers.size())) return Outcome::Aborted;
    }
    for (auto& r : readers) {
        if (r->damaged()) return Outcome::Unreadable;
    }
    *differing = count;
    return count == 0 ? Outcome::Same : Outcome::Differ;
}

Outcome CompareSparse(const mxArray* a, const mxArray* b, Progress* progress) {
    const double* pa = static_cast<const double*>(mxGetPr(a));
    const double* pb = static_cast<const double*>(mxGetPr(b));
    const mwIndex* ira = mxGetIr(a);
    const mwIndex* irb = mxGetIr(b);
    const mwIndex* jca = mxGetJc(a);
    const mwIndex* jcb = mxGetJc(b);
    if (pa == nullptr || pb == nullptr || ira == nullptr || irb == nullptr || jca == nullptr || jcb == nullptr) {
        return Outcome::Unreadable;
    }
    const size_t columns = mxGetN(a);
    if (std::memcmp(jca, jcb, (columns + 1) * sizeof(mwIndex)) != 0) return Outcome::Differ;
    const size_t stored = jca[columns];
    const size_t elementBytes = mxGetElementSize(a);
    if (std::memcmp(ira, irb, stored * sizeof(mwIndex)) != 0) return Outcome::Differ;
    if (std::memcmp(pa, pb, stored * elementBytes) != 0) return Outcome::Differ;
    if (mxIsComplex(a)) {
        const void* ia = mxGetPi(a);
        const void* ib = mxGetPi(b);
        if (ia == nullptr || ib == nullptr) return Outcome::Unreadable;
        if (std::memcmp(ia, ib, stored * elementBytes) != 0) return Outcome::Differ;
    }
    return progress->Add(stored * elementBytes) ? Outcome::Aborted : Outcome::Same;
}

// Structs, cells, objects and function handles, as MATLAB's isequaln
// compares them; *why gets the path of the first differing part.
Outcome CompareNested(const mxArray* a, const mxArray* b, std::string* why) {
    char report[kReportBytes];
    switch (mxCompareValues(a, b, report, sizeof report)) {
    case 0: return Outcome::Same;
    case 1: *why = report; return Outcome::Differ;
    case 3: *why = report; return Outcome::Unreadable;
    default: *why = report; return Outcome::Unknown;
    }
}

class Report {
public:
    Report(std::string* text, size_t limit) : text_(text), limit_(limit) {}
    void Line(const std::string& line) {
        if (text_ == nullptr) return;
        if (full_) return;
        if (text_->size() + line.size() + 1 > limit_) {
            full_ = true;
            // The report ends with this line: earlier lines give way to it.
            const std::string more = "... more differences left out\n";
            if (more.size() > limit_) return;
            while (text_->size() + more.size() > limit_) {
                const size_t end = text_->size() < 2 ? std::string::npos : text_->find_last_of('\n', text_->size() - 2);
                text_->erase(end == std::string::npos ? 0 : end + 1);
            }
            *text_ += more;
            return;
        }
        *text_ += line + '\n';
    }
    bool wanted() const { return text_ != nullptr; }

private:
    std::string* text_;
    size_t limit_;
    bool full_ = false;
};

int Compare(const std::string& pathA, const std::string& pathB, const CompareProgress& progressFn, Report* report) {
    if (matIsMatFile(pathA.c_str()) != 1 || matIsMatFile(pathB.c_str()) != 1) return ft_compare_next;
    File a(matOpen(pathA.c_str(), "r"));
    File b(matOpen(pathB.c_str(), "r"));
    if (!a || !b) return ft_compare_err;
    std::map<Key, size_t> namesA, namesB;
    std::vector<Key> orderA, orderB;
    if (!Listed(a.get(), &namesA, &orderA) || !Listed(b.get(), &namesB, &orderB)) return ft_compare_err;
    Progress progress(progressFn);
    bool different = false, unknown = false;
    for (const Key& key : orderA) {
        if (namesB.count(key) == 0) {
            different = true;
            report->Line("missing  " + KeyText(key) + "  (only in the first file)");
            if (!report->wanted()) return ft_compare_not_eq;
        }
    }
    for (const Key& key : orderB) {
        if (namesA.count(key) == 0) {
            different = true;
            report->Line("added    " + KeyText(key) + "  (only in the second file)");
            if (!report->wanted()) return ft_compare_not_eq;
        }
    }
    for (const Key& key : orderA) {
        if (namesB.count(key) == 0) continue;
        Array va(matGetArrayOccurrence(a.get(), key.first.c_str(), key.second));
        Array vb(matGetArrayOccurrence(b.get(), key.first.c_str(), key.second));
        if (!va || !vb) return ft_compare_err;
        const std::string name = KeyText(key);
        std::string why;
        if (std::strcmp(mxGetClassName(va.get()), mxGetClassName(vb.get())) != 0) {
            why = std::string("class ") + mxGetClassName(va.get()) + " / " + mxGetClassName(vb.get());
        } else if (DimensionText(va.get()) != DimensionText(vb.get())) {
            why = "size " + DimensionText(va.get()) + " / " + DimensionText(vb.get());
        } else if (mxIsComplex(va.get()) != mxIsComplex(vb.get())) {
            why = mxIsComplex(va.get()) ? "complex / real" : "real / complex";
        } else if (mxIsSparse(va.get()) != mxIsSparse(vb.get())) {
            why = mxIsSparse(va.get()) ? "sparse / full" : "full / sparse";
        } else if (mxIsFromGlobalWS(va.get()) != mxIsFromGlobalWS(vb.get())) {
            why = "global / not global";
        }
        Outcome outcome = why.empty() ? Outcome::Same : Outcome::Differ;
        // Damage is never compared as if it were values. Numbers read whole
        // through the element readers meet it on their way (a short part, a
        // stream's checksum at its end); everything else is checked whole first.
        const mxClassID id = mxGetClassID(va.get());
        const bool streamed = why.empty() && !mxIsSparse(va.get()) && IsNumericLike(id);
        if (!streamed && (mxCheckArray(va.get(), nullptr) != 0 || mxCheckArray(vb.get(), nullptr) != 0)) {
            outcome = Outcome::Unreadable;
        }
        uint64_t differing = 0;
        std::vector<uint64_t> positions;
        if (why.empty() && outcome == Outcome::Same) {
            if (mxIsSparse(va.get())) {
                outcome = CompareSparse(va.get(), vb.get(), &progress);
                if (outcome == Outcome::Differ) why = "values differ";
            } else if (IsNumericLike(id)) {
                outcome = CompareElements(va.get(), vb.get(), &progress, &differing, &positions);
                if (outcome == Outcome::Differ) {
                    why = std::to_string(differing) + " of " + std::to_string(mxGetNumberOfElements(va.get())) +
                          " elements differ, first at";
                    for (uint64_t p : positions) why += " " + Subscripts(va.get(), p);
                }
            } else {
                outcome = CompareNested(va.get(), vb.get(), &why);
                if (outcome == Outcome::Differ) why = "at " + why;
            }
        }
        switch (outcome) {
        case Outcome::Same: break;
        case Outcome::Aborted: return ft_compare_abort;
        case Outcome::Unreadable:
            report->Line("damaged  " + name + "  (its values cannot be read" + (why.empty() ? "" : ": " + why) + ")");
            return ft_compare_err;
        case Outcome::Unknown:
            unknown = true;
            report->Line("unknown  " + name + "  (" + (why.empty() ? "too large to compare by contents" : why) + ")");
            break;
        case Outcome::Differ:
            different = true;
            report->Line("differs  " + name + ": " + why);
            if (!report->wanted()) return ft_compare_not_eq;
            break;
        }
    }
    if (different) return ft_compare_not_eq;
    return unknown ? ft_compare_next : ft_compare_eq;
}

}  // namespace

int CompareMatFiles(const std::string& pathA, const std::string& pathB, const CompareProgress& progress,
                    std::string* report, size_t reportLimit) {
    try {
        Report lines(report, reportLimit);
        return Compare(pathA, pathB, progress, &lines);
    } catch (const std::bad_alloc&) {
        return ft_compare_err;
    }
}

}  // namespace content
