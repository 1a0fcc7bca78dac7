// What a deletion or extraction must never do to the files around it: leave
// anything but the old file or the whole new one when a call fails, the disk
// fills or the process dies; replace a file someone else just changed; undo
// another deletion; change a file the caller may not write; take a file's
// owner, rights or attributes; split hard links; write through a symbolic
// link; copy a file rewritten under it; leave its temporary behind.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "export/export.h"
#include "import/import.h"
#include "modify/add_variables.h"
#include "os/file_io.h"
#include "os/worker_process.h"
#include "wcx/plugin_api.h"
#include "support/fault_injection.h"
#include "support/support.h"

namespace {

using namespace matbuild;
using faults::Call;
using faults::ForEveryFailingCall;
using support::InChild;
using testenv::TempDir;

// The file-call table changed for a scope, as it was again at its end
// (also when an assertion ends the test early).
struct SwappedCalls {
    platform::FileSystemCalls& calls = platform::FileSystem();
    const platform::FileSystemCalls saved = calls;
    ~SwappedCalls() { calls = saved; }
};

constexpr uid_t kNobody = 65534;

// Three variables, the middle one compressed.
std::vector<Bytes> Variables(size_t values) {
    const Order o = Order::Little;
    return {NumericVar(o, "a", mxDOUBLE, {1, static_cast<int32_t>(values)}, Iota(values)),
            Compressed(o, NumericVar(o, "b", mxDOUBLE, {1, static_cast<int32_t>(values)}, Iota(values, 7))),
            CharVar(o, "c", "last")};
}
Bytes Without(const std::vector<Bytes>& vars, size_t gone) {
    std::vector<Bytes> kept = vars;
    kept.erase(kept.begin() + static_cast<long>(gone));
    return File5(Order::Little, kept);
}

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

// Runs `operation` as the user nobody (root may write anywhere) in a child: its result.
template <typename Operation>
int AsNobody(Operation operation) {
    return InChild([&] { return ::getuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ? 99 : operation(); });
}

// The variables of a file and what the viewer shows of each.
std::string Values(const std::string& path) {
    std::string text;
    const support::FilePtr mfp(matOpen(path.c_str(), "r"));
    int count = 0;
    char** names = mfp ? matGetDir(mfp.get(), &count) : nullptr;
    for (int i = 0; i < count; ++i) {
        const support::ArrayPtr array(matGetArray(mfp.get(), names[i]));
        std::vector<char> shown(1 << 16);
        if (array) mxDescribeValue(array.get(), shown.data(), shown.size());
        text += std::string(names[i]) + ": " + shown.data() + "\n";
    }
    mxFree(names);
    return text;
}

// A deletion, an addition, then an extraction over an old target.
TEST(UpdateFaults, EveryFailingCallLeavesTheOldFileOrTheNewOne) {
    TempDir dir;
    const std::vector<Bytes> vars = Variables(200);
    const std::string path = dir.file("f.mat"), target = dir.file("b.mat");
    // With an extended attribute, which each new file is given: reading and setting it fail too.
    WriteFile(path, File5(Order::Little, vars));
    ::setxattr(path.c_str(), "user.origin", "lab 4", 5, 0);
    ForEveryFailingCall(path, File5(Order::Little, vars), Without(vars, 1), [&] { return support::Delete(path, {"b"}); });
    // A version 7.3 file, whose new file the worker process writes (a cell:
    // what it refers to goes with it): each call of this process failing.
    ASSERT_TRUE(support::CopyTestData("hdf5storage/v73.mat", path)) << "no test data hdf5storage";
    const Bytes hdf5 = ReadFile(path);
    ASSERT_EQ(support::Delete(path, {"h_cell"}), 0);
    ForEveryFailingCall(path, hdf5, ReadFile(path), [&] { return support::Delete(path, {"h_cell"}); }, Call::Any);
    // The worker's own file calls, each failing once and for good in every
    // worker started meanwhile: reading the old file, and writing the new
    // one, a deletion's or an addition's, which a writing worker makes
    // (kCreate, kCopyInto, kAddElement, kFinish). On a small MATLAB-written
    // file: a struct, whose references stay or go.
    ASSERT_TRUE(support::CopyTestData("matlab73-struct/v73.mat", path)) << "no test data matlab73-struct";
    const Bytes small = ReadFile(path);
    const std::string level5 = dir.file("d.mat"), report = dir.file("faults");
    WriteFile(level5, File5(Order::Little, {CharVar(Order::Little, "d", "new")}));
    const std::pair<const char*, std::function<int()>> writes[] = {
        {"deletion", [&] { return support::Delete(path, {"s2"}); }},
        {"addition", [&] {
             const support::FilePtr source(matOpen(level5.c_str(), "r"));
             const support::ArrayPtr d(source ? matGetArray(source.get(), "d") : nullptr);
             MATFile* mfp = matOpen(path.c_str(), "u");
             if (mfp != nullptr && d && matPutArray(mfp, d.get()) == 0) return matClose(mfp);
             if (mfp != nullptr) matAbandon(mfp);
             return -1;
         }},
    };
    for (const auto& [name, write] : writes) {
        WriteFile(path, small);
        ASSERT_EQ(write(), 0) << name;
        // libhdf5 writes times of its own into the new file: its values are compared.
        const std::string changed = Values(path);
        for (const char* mode : {"0", "1"}) {
            for (uint64_t n = 1;; ++n) {
                SCOPED_TRACE(std::string(name) + ": the worker's file call #" + std::to_string(n) + " mode " + mode);
                WriteFile(path, small);
                std::filesystem::remove(report);
                setenv(platform::kWorkerFaultsVariable, (std::to_string(n) + " " + mode + " " + report).c_str(), 1);
                const int result = write();
                unsetenv(platform::kWorkerFaultsVariable);
                if (result == 0) {
                    EXPECT_EQ(Values(path), changed);
                } else {
                    EXPECT_EQ(ReadFile(path), small) << result;
                }
                EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
                // A worker opens the report as it starts; the first failing call writes to it.
                const bool reached = std::filesystem::exists(report) && std::filesystem::file_size(report) > 0;
                if ((result == 0 && !reached) || ::testing::Test::HasFailure()) break;
                ASSERT_LT(n, 5000u) << "no end to the worker's calls";
            }
        }
    }
    // An addition: one variable replaced in its place, one appended.
    const std::string other = dir.file("s.mat");
    const Bytes added = CharVar(Order::Little, "d", "new"), replaced = CharVar(Order::Little, "a", "in a's place");
    WriteFile(other, File5(Order::Little, {replaced, added}));
    const auto add = [&] {
        const support::FilePtr source(matOpen(other.c_str(), "r"));
        MATFile* mfp = matOpen(path.c_str(), "u");
        const support::ArrayPtr a(source ? matGetArray(source.get(), "a") : nullptr), d(source ? matGetArray(source.get(), "d") : nullptr);
        if (mfp != nullptr && a && d && matPutArray(mfp, a.get()) == 0 && matPutArray(mfp, d.get()) == 0) return matClose(mfp);
        if (mfp != nullptr) matAbandon(mfp);
        return -1;
    };
    ForEveryFailingCall(path, File5(Order::Little, vars), File5(Order::Little, {replaced, vars[1], vars[2], added}), add);
    // An addition whose objects join the target's: the subsystem data merged.
    const std::string objects = dir.file("objects.mat"), classdefs = dir.file("classdefs.mat");
    if (support::CopyTestData("objects/struct_table_datetime.mat", objects) &&
        support::CopyTestData("objects/user_defined_classdefs.mat", classdefs)) {
        const Bytes oldObjects = ReadFile(objects);
        const auto merge = [&] {
            const support::FilePtr source(matOpen(classdefs.c_str(), "r"));
            MATFile* mfp = matOpen(objects.c_str(), "u");
            const support::ArrayPtr o(source ? matGetArray(source.get(), "obj_with_vals") : nullptr);
            if (mfp != nullptr && o && matPutArray(mfp, o.get()) == 0) return matClose(mfp);
            if (mfp != nullptr) matAbandon(mfp);
            return -1;
        };
        ASSERT_EQ(merge(), 0);
        const Bytes merged = ReadFile(objects);
        ForEveryFailingCall(objects, oldObjects, merged, merge);
    }
    // A move of a folder's MAT-file, as the host packs it: the source goes
    // only once its variable is in; one that cannot go is no success.
    const std::string folder = dir.file("in"), moved = folder + "/m.mat";
    const Bytes movedBytes = File5(Order::Little, {CharVar(Order::Little, "m", "moved")});
    const std::string list("in\0", 4);
    const auto move = [&] {
        std::filesystem::create_directories(folder);
        WriteFile(moved, movedBytes);
        const int result = AddVariables(path.c_str(), "", dir.path().c_str(), list.c_str(), PK_PACK_MOVE_FILES, ProgressText());
        const bool stays = std::filesystem::exists(moved);
        if (result == 0) { EXPECT_FALSE(stays); }
        if (result != 0 && stays && ReadFile(path) != File5(Order::Little, vars)) {
            EXPECT_EQ(result, E_EWRITE);   // in, but the source could not be removed
            return 0;
        }
        if (result != 0) { EXPECT_EQ(ReadFile(moved), movedBytes); }
        return result;
    };
    WriteFile(path, File5(Order::Little, vars));
    ASSERT_EQ(move(), 0);
    ForEveryFailingCall(path, File5(Order::Little, vars), ReadFile(path), move, faults::kLastCall);
    WriteFile(path, File5(Order::Little, vars));
    ASSERT_EQ(support::Extract(path, "b", target), 0);
    const Bytes extracted = ReadFile(target);
    ForEveryFailingCall(target, Bytes(5000, 'o'), extracted, [&] {
        const int result = support::Extract(path, "b", target);
        // The header's date may have ticked: compare all but it.
        if (result == 0 && std::filesystem::file_size(target) == extracted.size()) WriteFile(target, extracted);
        return result;
    });
    // An NPY export, whose values the system copies file to file where it
    // can: a copy that stops within a value is finished the plain way.
    const std::string matrix = dir.file("n.mat"), npy = dir.file("n.npy");
    WriteFile(matrix, File5(Order::Little, {NumericVar(Order::Little, "n", mxDOUBLE, {1, 201}, Iota(201))}));
    const auto exportNpy = [&] {
        const support::FilePtr in(matOpen(matrix.c_str(), "r"));
        const support::ArrayPtr n(in ? matGetArray(in.get(), "n") : nullptr);
        return n && exporting::ExportArray(exporting::Format::Npy, n.get(), npy.c_str(), nullptr, nullptr) ==
                        exporting::Result::Ok ? 0 : 1;
    };
    ASSERT_EQ(exportNpy(), 0);
    ForEveryFailingCall(npy, Bytes(5000, 'o'), ReadFile(npy), exportNpy);
    // Again where the system makes no unnamed files: the named temporary's creation fails too.
    SwappedCalls swapped;
    swapped.calls.createUnnamedBeside = [](const char*, bool) -> FILE* { return nullptr; };
    ForEveryFailingCall(npy, Bytes(5000, 'o'), ReadFile(npy), exportNpy);
}

// The size an export is checked against the free space with is never more
// than the file it writes, in every format (else a disk with room would
// refuse it); with less room than that it is refused before anything is
// written, saying why.
TEST(UpdateFaults, AnExportThatCannotFitIsRefusedBeforeItWrites) {
    TempDir dir;
    const std::string mat = dir.file("v.mat"), out = dir.file("out");
    WriteFile(mat, File5(Order::Little, {NumericVar(Order::Little, "d", mxDOUBLE, {3, 4}, Iota(12)),
                                        NumericVar(Order::Little, "z", mxDOUBLE, {2, 1, 2}, {0, 1, 2, 3}, {1, 0, 1, 0}),
                                        NumericVar(Order::Little, "i", mxINT8, {1, 5}, {0, 0, 0, 0, 0}),
                                        NumericVar(Order::Little, "s", mxDOUBLE, {1, 1}, {7}),
                                        CharVar(Order::Little, "c", "ab"),
                                        SparseVar(Order::Little, "sz", 9, 2, {0, 8}, {0, 1, 2}, {1, 2}, {0, -1}),
                                        SparseVar(Order::Little, "sl", 9, 2, {0, 8}, {0, 1, 2}, {1, 1}, {}, kLogical)}));
    static uint64_t room = 0;
    for (const char* name : {"d", "z", "i", "s", "c", "sz", "sl"}) {
        for (const exporting::Format format : {exporting::Format::Csv, exporting::Format::Tsv, exporting::Format::Npy,
                                               exporting::Format::Json, exporting::Format::Mtx, exporting::Format::Png,
                                               exporting::Format::Svg}) {
            const support::FilePtr in(matOpen(mat.c_str(), "r"));
            const support::ArrayPtr array(in ? matGetArray(in.get(), name) : nullptr);
            ASSERT_NE(array, nullptr);
            if (!exporting::Refusal(format, array.get()).empty()) continue;
            SCOPED_TRACE(std::string(name) + " as " + exporting::FormatName(format));
            std::string why;
            ASSERT_EQ(exporting::ExportArray(format, array.get(), out.c_str(), nullptr, nullptr, &why), exporting::Result::Ok);
            const uint64_t least = exporting::LeastBytes(format, array.get());
            EXPECT_LE(least, std::filesystem::file_size(out));
            std::filesystem::remove(out);
            {
                SwappedCalls swapped;
                room = least - 1;
                swapped.calls.freeSpaceBeside = [](const char*, uint64_t* bytes) { return *bytes = room, 0; };
                EXPECT_EQ(exporting::ExportArray(format, array.get(), out.c_str(), nullptr, nullptr, &why), exporting::Result::NoRoom);
            }
            EXPECT_NE(why.find("at least " + std::to_string(least) + " bytes"), std::string::npos) << why;
            EXPECT_FALSE(std::filesystem::exists(out));
            EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
        }
    }
}

// A cell of texts whose element inflates beyond what is held in memory is
// read from a scratch copy, mapped: its CSV and JSON hold every text. Where
// the copy cannot be made, written, given room or mapped, the export fails
// saying why (no refusal of the variable), writes nothing and leaves no
// scratch file behind; a Cancel while it is made cancels the export.
TEST(UpdateFaults, LargeVariablesGoOutThroughAScratchCopyOrFailSayingWhy) {
    TempDir dir;
    const std::string mat = dir.file("texts.mat"), out = dir.file("out");
    std::vector<Bytes> cells;
    std::string csv, json = "[";
    for (int i = 0; i < 30000; ++i) {
        std::string text = "text " + std::to_string(i);
        while (text.size() < 300) text += " and more";
        cells.push_back(CharVar(Order::Little, "", text));
        csv += '"' + text + "\"\n";
        json += (i > 0 ? ",\"" : "\"") + text + '"';
    }
    json += ']';
    WriteFile(mat, File5(Order::Little, {Compressed(Order::Little, CellVar(Order::Little, "c", {30000, 1}, cells))}));
    static uint64_t room = 0;
    const auto exportAs = [&](exporting::Format format, std::string& why, std::function<bool()> keepGoing = {}) {
        const support::FilePtr in(matOpen(mat.c_str(), "r"));
        const support::ArrayPtr array(in ? matGetArray(in.get(), "c") : nullptr);
        if (array == nullptr) return exporting::Result::BadData;
        exporting::Prepared prepared;
        prepared.keepGoing = std::move(keepGoing);
        why = exporting::Refusal(format, array.get(), &prepared);
        if (!why.empty()) return exporting::Result::TooLarge;
        return exporting::ExportArray(format, array.get(), out.c_str(), nullptr, nullptr, &why, &prepared);
    };
    struct Case {
        const char* what;
        std::function<void(platform::FileSystemCalls&)> fault;
        const char* reason;
    };
    const Case cases[] = {
        {"no scratch file", [](platform::FileSystemCalls& c) { c.createScratchBeside = [](const char*) -> FILE* { return nullptr; }; },
         "no scratch file can be made"},
        {"no room", [](platform::FileSystemCalls& c) { c.freeSpaceBeside = [](const char*, uint64_t* b) { return *b = room, 0; }; },
         "MB of free disk space"},
        {"no mapping", [](platform::FileSystemCalls& c) { c.mapForReading = [](FILE*, uint64_t) -> const uint8_t* { return nullptr; }; },
         "could not be mapped"},
    };
    // The copy is mapped: it goes to a local disk, the temporary folder,
    // before the MAT-file's folder (a network share, maybe).
    static std::vector<std::string> places;
    static FILE* (*made)(const char*) = nullptr;
    for (const exporting::Format format : {exporting::Format::Csv, exporting::Format::Json}) {
        SCOPED_TRACE(exporting::FormatName(format));
        std::string why;
        {
            SwappedCalls swapped;
            made = swapped.saved.createScratchBeside;
            places.clear();
            swapped.calls.createScratchBeside = [](const char* path) { return places.push_back(path), made(path); };
            ASSERT_EQ(exportAs(format, why), exporting::Result::Ok) << why;
        }
        ASSERT_FALSE(places.empty());
        EXPECT_NE(places[0].rfind(dir.path(), 0), 0u) << places[0];
        EXPECT_EQ(support::ReadText(out), format == exporting::Format::Csv ? csv : json);
        std::filesystem::remove(out);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            {
                SwappedCalls swapped;
                c.fault(swapped.calls);
                EXPECT_EQ(exportAs(format, why), exporting::Result::NoRoom);
            }
            EXPECT_NE(why.find(c.reason), std::string::npos) << why;
            EXPECT_FALSE(std::filesystem::exists(out));
        }
        {
            faults::FaultInjector fault(Call::Write, 1, faults::Persistence::Once);   // the scratch copy's first piece
            EXPECT_EQ(exportAs(format, why), exporting::Result::NoRoom);
        }
        EXPECT_NE(why.find("could not be written"), std::string::npos) << why;
        EXPECT_FALSE(std::filesystem::exists(out));
        // Cancel pressed while the copy is made (asked between its pieces).
        int asked = 0;
        EXPECT_EQ(exportAs(format, why, [&] { return ++asked < 3; }), exporting::Result::Cancelled);
        EXPECT_EQ(asked, 3);
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
    }
}

// An export killed at its first progress report, its file written in part:
// nothing is left under the final name. Its file has no name where the
// system makes such files; where it does not, the named temporary the dead
// process left is removed by the next export into that folder.
TEST(UpdateFaults, KilledExportLeavesNothingBehind) {
    TempDir dir;
    const std::string matrix = dir.file("pages.mat"), csv = dir.file("out/pages.csv");
    WriteFile(matrix, File5(Order::Little, {NumericVar(Order::Little, "p", mxDOUBLE, {2, 2, 64}, Iota(256))}));
    std::filesystem::create_directory(dir.file("out"));
    const auto exportCsv = [&](exporting::ProgressFn progress) {
        const support::FilePtr in(matOpen(matrix.c_str(), "r"));
        const support::ArrayPtr p(in ? matGetArray(in.get(), "p") : nullptr);
        return p && exporting::ExportArray(exporting::Format::Csv, p.get(), csv.c_str(), progress, nullptr) ==
                        exporting::Result::Ok ? 0 : 1;
    };
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed" : "named");
        const int died = InChild([&] {
            if (!unnamed) platform::FileSystem().createUnnamedBeside = [](const char*, bool) -> FILE* { return nullptr; };
            return exportCsv([](void*, uint64_t, uint64_t) { return ::raise(SIGKILL); });
        });
        ASSERT_EQ(died, 128 + SIGKILL);
        EXPECT_FALSE(std::filesystem::exists(csv));
        EXPECT_EQ(support::StrayTemporaries(dir.file("out")).size(), unnamed ? 0u : 1u);
        ASSERT_EQ(exportCsv(nullptr), 0);
        EXPECT_TRUE(support::StrayTemporaries(dir.file("out")).empty());
        std::filesystem::remove(csv);
    }
}

// A CSV file of many numbers packed in: its values go to a file without a
// name beside it once they are many. Where that file cannot be made they
// stay in memory; where it cannot be written or flushed the CSV is refused,
// saying why, and nothing is packed.
TEST(UpdateFaults, CsvValuesThatCannotGoBesideItStayInMemoryOrRefuseTheFile) {
    TempDir dir;
    constexpr int kRows = 1100, kColumns = 500;   // more values than are held in memory
    std::string text;
    for (int r = 0; r < kRows; ++r) {
        for (int c = 0; c < kColumns; ++c) text += std::to_string((r * 7 + c) % 1000) + (c + 1 < kColumns ? "," : "\n");
    }
    const std::string csv = dir.file("many.csv"), out = dir.file("out.mat");
    WriteFile(csv, Bytes(text.begin(), text.end()));
    const struct {
        Call call;
        bool packed;
    } cases[] = {{Call::Any, true}, {Call::CreateUnnamed, true}, {Call::Write, false}, {Call::Flush, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(faults::CallName(c.call));
        std::string why;
        mxArray* imported = nullptr;
        {
            // Any #0: no call fails.
            faults::FaultInjector fault(c.call, c.call == Call::Any ? 0 : 1, faults::Persistence::ForGood);
            imported = importing::ImportFile(csv.c_str(), &why);
        }
        const support::ArrayPtr many(imported);
        if (!c.packed) {
            EXPECT_EQ(many, nullptr);
            EXPECT_NE(why.find("cannot be written beside it"), std::string::npos) << why;
            continue;
        }
        ASSERT_NE(many, nullptr) << why;
        MATFile* mfp = matOpen(out.c_str(), "w");
        ASSERT_NE(mfp, nullptr);
        EXPECT_EQ(matPutArray(mfp, many.get()), 0);
        ASSERT_EQ(matClose(mfp), 0);
        const support::FilePtr back(matOpen(out.c_str(), "r"));
        const support::ArrayPtr read(back ? matGetArray(back.get(), "many") : nullptr);
        ASSERT_NE(read, nullptr);
        ASSERT_EQ(mxGetNumberOfElements(read.get()), size_t{kRows} * kColumns);
        const double* values = static_cast<const double*>(mxGetPr(read.get()));
        int wrong = 0;
        for (int r = 0; r < kRows; ++r) {
            for (int c = 0; c < kColumns; ++c) wrong += values[static_cast<size_t>(c) * kRows + static_cast<size_t>(r)] != (r * 7 + c) % 1000;
        }
        EXPECT_EQ(wrong, 0);
    }
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
}

// The disk full for real (a file size limit), and a folder the caller may
// not write: both operations fail and leave everything as it was.
TEST(UpdateFaults, FullDiskAndReadOnlyFolderFailCleanly) {
    TempDir dir;
    const Bytes old = File5(Order::Little, Variables(20000));   // about 300 KB
    const std::string path = dir.file("f.mat"), source = dir.file("source.mat"), target = dir.file("a.mat");
    WriteFile(path, old);
    WriteFile(source, old);
    WriteFile(target, Bytes(100, 't'));
    EXPECT_EQ(InChild([&] {
                  ::signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{64 * 1024, 64 * 1024};
                  ::setrlimit(RLIMIT_FSIZE, &limit);
                  return support::Delete(path, {"c"}) > 0 && support::Extract(source, "a", target) >= 4 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(ReadFile(target), Bytes(100, 't'));
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());

    const std::string folder = dir.file("ro"), inside = folder + "/f.mat";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    WriteFile(inside, old);
    ASSERT_EQ(::chmod(inside.c_str(), 0666), 0);   // the folder alone stands in the way
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    EXPECT_EQ(AsNobody([&] { return support::Delete(inside, {"a"}) > 0 ? 0 : 1; }), 0);
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(ReadFile(inside), old);
    EXPECT_TRUE(support::StrayTemporaries(folder).empty());
}

// A deletion killed at random moments, from a multi-megabyte level-5 file
// and from a version 7.3 file (whose worker then writes on alone), and an
// addition of a megabyte to the level-5 file: the path holds the old file
// or the new one, never anything else. The temporaries the killed changes
// left do not outlive the next deletion, which removes only temporaries of
// dead processes of this machine, named as ours.
TEST(UpdateFaults, KilledChangeLeavesTheOldFileOrTheNewOne) {
    TempDir dir;
    const std::vector<Bytes> vars = Variables(400000);   // about 5 MB
    const std::string path = dir.file("f.mat"), v73 = testenv::TestDataDir() + "/hdf5storage/v73.mat";
    ASSERT_TRUE(std::filesystem::exists(v73)) << "no test data " << v73;
    const std::string source = dir.file("s.mat");
    WriteFile(source, File5(Order::Little, {NumericVar(Order::Little, "z", mxDOUBLE, {1, 131072}, std::vector<double>(131072, 2))}));
    const auto add = [&] {
        const support::FilePtr from(matOpen(source.c_str(), "r"));
        const support::ArrayPtr z(from ? matGetArray(from.get(), "z") : nullptr);
        MATFile* mfp = matOpen(path.c_str(), "u");
        if (mfp != nullptr && z && matPutArray(mfp, z.get()) == 0) return matClose(mfp);
        if (mfp != nullptr) matAbandon(mfp);
        return -1;
    };
    // Objects joining the target's: the subsystem data merged.
    const std::string objects = testenv::TestDataDir() + "/objects/struct_table_datetime.mat",
                      classdefs = testenv::TestDataDir() + "/objects/user_defined_classdefs.mat";
    ASSERT_TRUE(std::filesystem::exists(objects) && std::filesystem::exists(classdefs)) << "no test data objects";
    const auto merge = [&] {
        const support::FilePtr from(matOpen(classdefs.c_str(), "r"));
        const support::ArrayPtr o(from ? matGetArray(from.get(), "obj_array") : nullptr);
        MATFile* mfp = matOpen(path.c_str(), "u");
        if (mfp != nullptr && o && matPutArray(mfp, o.get()) == 0) return matClose(mfp);
        if (mfp != nullptr) matAbandon(mfp);
        return -1;
    };
    const struct {
        Bytes old;
        std::function<int()> change;
        int kills;   // a version 7.3 deletion takes longer: fewer, to bound the time
    } cases[] = {{File5(Order::Little, vars), [&] { return support::Delete(path, {"b"}); }, 40},
                 {ReadFile(v73), [&] { return support::Delete(path, {"h_cell"}); }, 16},
                 {File5(Order::Little, vars), add, 40},
                 {ReadFile(objects), merge, 20}};
    for (const auto& c : cases) {
        // How long one change takes, to spread the kills over it.
        WriteFile(path, c.old);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(InChild(c.change), 0);
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
        const Bytes changed = ReadFile(path);
        ASSERT_NE(changed, c.old);
        std::mt19937 random(20261206);
        std::uniform_int_distribution<long> moment(0, took.count() * 5 / 4);
        for (int kill = 0; kill < c.kills; ++kill) {
            WriteFile(path, c.old);
            const pid_t pid = ::fork();
            if (pid == 0) ::_exit(c.change());
            std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            const Bytes now = ReadFile(path);
            ASSERT_TRUE(now == c.old || now == changed) << "case " << (&c - cases) << " kill " << kill << ": " << now.size() << " bytes";
        }
    }
    const pid_t dead = ::fork();   // a process of this machine that is gone
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    auto planted = [](const std::string& who, long pid, const char* tail) { return ".matwcx-" + who + "-" + std::to_string(pid) + tail; };
    // Only the last is a temporary of ours whose process is gone.
    std::vector<std::string> kept = {planted(host, ::getppid(), "-0123abcd.tmp"), planted(std::string(host) + "x", dead, "-0123abcd.tmp"),
                                     planted(host, dead, "-notours.tmp"), planted(host, dead, "-0123abcd.tmp")};
    for (const std::string& name : kept) WriteFile(dir.file(name), Bytes(8, 't'));
    kept.pop_back();
    WriteFile(path, File5(Order::Little, vars));
    ASSERT_EQ(support::Delete(path, {"b"}), 0);
    std::vector<std::string> left = support::StrayTemporaries(dir.path());
    // A killed change's process id that the system has given to a new
    // process since keeps its temporary, rightly ("<pid>-0123abcd.tmp"); so
    // does a version 7.3 worker still writing.
    std::erase_if(left, [&](const std::string& name) {
        const size_t end = name.size() - std::strlen("-0123abcd.tmp"), start = name.rfind('-', end - 1) + 1;
        return std::find(kept.begin(), kept.end(), name) == kept.end() &&
               ::kill(static_cast<pid_t>(std::stol(name.substr(start, end - start))), 0) == 0;
    });
    std::sort(left.begin(), left.end());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(left, kept);
}

// Moves the file's time on by one nanosecond within its second, as a
// rewrite a clock tick later does: a check of whole seconds cannot see it.
void RewriteInPlace(const std::string& path, const Bytes& bytes) {
    FILE* other = std::fopen(path.c_str(), "r+b");
    std::fwrite(bytes.data(), 1, bytes.size(), other);
    std::fclose(other);
    const struct stat st = StatOf(path);
    timespec times[2] = {st.st_atim, st.st_mtim};
    times[1].tv_nsec = times[1].tv_nsec == 0 ? 1 : times[1].tv_nsec - 1;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Another program changes the file at the last moment of a deletion (after
// the new file is synced, before it goes in place): appended to, or
// rewritten in place with the same size within the same second. Or it
// rewrites an open file in place with the same size: before the variable is
// read, or between reading it and writing its copy. Either way nothing is
// replaced or extracted, and the engine says why.
TEST(UpdateSafety, AFileChangedUnderADeletionOrACopyIsNeitherReplacedNorCopied) {
    TempDir dir;
    const std::string path = dir.file("f.mat"), target = dir.file("a.mat");
    const std::vector<Bytes> vars = Variables(300);
    const Bytes old = File5(Order::Little, vars);
    Bytes appended = File5(Order::Little, {vars[0], vars[1], vars[2], CharVar(Order::Little, "d", "new")});
    Bytes rewritten = old;
    rewritten[rewritten.size() - 3] ^= 0x20;   // a letter of "last" changes case
    WriteFile(dir.file("e.mat"), File5(Order::Little, {CharVar(Order::Little, "e", "added")}));
    auto add = [&] {
        const support::FilePtr from(matOpen(dir.file("e.mat").c_str(), "r"));
        const support::ArrayPtr e(from ? matGetArray(from.get(), "e") : nullptr);
        MATFile* into = matOpen(path.c_str(), "u");
        if (into == nullptr || !e || matPutArray(into, e.get()) != 0) return matAbandon(into), 1;
        return matClose(into);
    };
    for (const auto& [changed, adding] : {std::pair{&appended, false}, {&rewritten, false}, {&appended, true}}) {
        WriteFile(path, old);
        static std::string changing;
        static const Bytes* newContent;
        changing = path;
        newContent = changed;
        platform::FileSystemCalls& calls = platform::FileSystem();
        const platform::FileSystemCalls saved = calls;
        calls.sync = [](FILE* file) {
            const int result = platform::RealFileSystem().sync(file);
            RewriteInPlace(changing, *newContent);
            return result;
        };
        const int result = adding ? add() : support::Delete(path, {"b"});
        calls = saved;
        EXPECT_NE(result, 0);
        EXPECT_EQ(ReadFile(path), *changed);
        ASSERT_NE(matLastError(), nullptr);
        EXPECT_NE(std::string(matLastError()).find(adding ? "nothing was added" : "nothing was deleted"), std::string::npos)
            << matLastError();
        EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
    }
    rewritten = old;
    rewritten[200] ^= 0xFF;
    for (bool afterReading : {false, true}) {
        WriteFile(path, old);
        MATFile* in = matOpen(path.c_str(), "r");
        ASSERT_NE(in, nullptr);
        mxArray* array = afterReading ? matGetArray(in, "a") : nullptr;
        RewriteInPlace(path, rewritten);
        if (!afterReading) {
            array = matGetArray(in, "a");
            EXPECT_EQ(array, nullptr);
        } else {
            MATFile* out = matOpen(target.c_str(), "w");
            ASSERT_NE(out, nullptr);
            EXPECT_NE(matPutArray(out, array), 0);
            EXPECT_NE(matClose(out), 0);
            EXPECT_FALSE(std::filesystem::exists(target));
        }
        EXPECT_NE(matLastError(), nullptr);
        mxDestroyArray(array);
        matClose(in);
    }
}

// A move whose sources cannot be removed keeps the target (the variables
// are in) and the sources, and is no success: the host would count it done.
TEST(UpdateFaults, AMoveWhoseSourceStaysIsNoSuccess) {
    TempDir dir;
    const std::string target = dir.file("t.mat"), source = dir.file("s.mat");
    WriteFile(target, File5(Order::Little, {CharVar(Order::Little, "a", "kept")}));
    WriteFile(source, File5(Order::Little, {CharVar(Order::Little, "b", "moved")}));
    const std::string list("s.mat\0", 7);
    int result = 0;
    ::testing::internal::CaptureStderr();
    {
        faults::FaultInjector fault(Call::Remove, 1, faults::Persistence::ForGood);
        result = AddVariables(target.c_str(), "", dir.path().c_str(), list.c_str(), PK_PACK_MOVE_FILES, ProgressText());
    }
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, E_EWRITE);
    EXPECT_NE(said.find("could not be removed:\n" + source), std::string::npos) << said;
    EXPECT_TRUE(std::filesystem::exists(source));
    EXPECT_EQ(support::VariableNames(target), (std::vector<std::string>{"a", "b"}));
}

// Two processes deleting different variables at once: whatever reports
// success has happened, nothing else.
TEST(UpdateSafety, ConcurrentDeletionsReportOnlyWhatTheyDid) {
    TempDir dir;
    const std::string path = dir.file("f.mat");
    const std::vector<Bytes> vars = Variables(100000);   // about 1.5 MB
    for (int round = 0; round < 12; ++round) {
        WriteFile(path, File5(Order::Little, vars));
        int go[2];
        ASSERT_EQ(::pipe(go), 0);
        pid_t pids[2];
        for (int i = 0; i < 2; ++i) {
            if ((pids[i] = ::fork()) == 0) {
                char byte;
                ::close(go[1]);   // both start when the pipe closes
                ::_exit(::read(go[0], &byte, 1) != 0 ? 3 : support::Delete(path, {i == 0 ? "a" : "c"}) == 0 ? 0 : 1);
            }
        }
        ::close(go[0]);
        ::close(go[1]);
        bool done[2];
        for (int i = 0; i < 2; ++i) {
            int status = 0;
            ::waitpid(pids[i], &status, 0);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << status;
            done[i] = WEXITSTATUS(status) == 0;
        }
        std::vector<Bytes> left = {vars[1]};
        if (!done[0]) left.insert(left.begin(), vars[0]);
        if (!done[1]) left.push_back(vars[2]);
        ASSERT_EQ(ReadFile(path), File5(Order::Little, left)) << "round " << round << ": " << done[0] << done[1];
    }
}

std::map<std::string, std::string> ExtendedAttributes(const std::string& path) {
    std::map<std::string, std::string> found;
    char names[4096];
    const ssize_t size = ::listxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        char value[4096];
        const ssize_t length = ::getxattr(path.c_str(), names + at, value, sizeof value);
        found[names + at] = std::string(value, length > 0 ? static_cast<size_t>(length) : 0);
    }
    return found;
}

// Root deletes from a user's private file: the new file is still the user's,
// with the same bits, attributes and access list (the owner reads and
// writes, user 1234 reads, the group and others nothing). Then nobody may
// not change root's file, even in a folder everybody may write.
TEST(UpdateSafety, OwnerModeAttributesAndTheRightToWriteAreKept) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TempDir dir;
    const std::string path = dir.file("f.mat");
    const std::vector<Bytes> vars = Variables(10);
    WriteFile(path, File5(Order::Little, vars));
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    const Order o = Order::Little;
    Bytes acl = U32(o, 2);
    const struct { uint16_t tag, perm; uint32_t id; } entries[] = {
        {0x01, 6, 0xFFFFFFFFu}, {0x02, 4, 1234}, {0x04, 0, 0xFFFFFFFFu}, {0x10, 4, 0xFFFFFFFFu}, {0x20, 0, 0xFFFFFFFFu}};
    for (const auto& e : entries) acl = Cat({acl, U16(o, e.tag), U16(o, e.perm), U32(o, e.id)});
    const bool haveAttributes = ::setxattr(path.c_str(), "user.origin", "lab 4", 5, 0) == 0 &&
                                ::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
    const struct stat before = StatOf(path);
    const auto attributesBefore = ExtendedAttributes(path);
    ASSERT_EQ(support::Delete(path, {"b"}), 0);
    const struct stat after = StatOf(path);
    EXPECT_EQ(ReadFile(path), Without(vars, 1));
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, kNobody);
    EXPECT_EQ(after.st_gid, kNobody);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(ExtendedAttributes(path), attributesBefore);

    const Bytes old = File5(Order::Little, vars);
    WriteFile(path, old);
    ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    EXPECT_EQ(AsNobody([&] { return support::Delete(path, {"a"}) == -1 && matLastError() != nullptr ? 0 : 1; }), 0);
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(StatOf(path).st_uid, 0u);
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
    if (!haveAttributes) GTEST_SKIP() << "this file system keeps no (user) extended attributes";
}

// An export over an existing file keeps that file's permission bits, as a
// MAT-file does; a new one gets the usual bits.
TEST(UpdateSafety, AnExportOverAFileKeepsItsPermissionBits) {
    TempDir dir;
    const std::string matrix = dir.file("n.mat");
    WriteFile(matrix, File5(Order::Little, {NumericVar(Order::Little, "n", mxDOUBLE, {2, 3}, Iota(6))}));
    const support::FilePtr in(matOpen(matrix.c_str(), "r"));
    const support::ArrayPtr n(in ? matGetArray(in.get(), "n") : nullptr);
    ASSERT_TRUE(n);
    for (const auto& [format, name] : {std::pair{exporting::Format::Csv, "n.csv"}, std::pair{exporting::Format::Npy, "n.npy"}}) {
        const std::string path = dir.file(name);
        WriteFile(path, Bytes(10, 'o'));
        ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
        ASSERT_EQ(exporting::ExportArray(format, n.get(), path.c_str(), nullptr, nullptr), exporting::Result::Ok);
        EXPECT_EQ(StatOf(path).st_mode & 07777, 0640u) << name;
        EXPECT_NE(ReadFile(path), Bytes(10, 'o'));
        std::filesystem::remove(path);
        const mode_t mask = ::umask(022);
        ASSERT_EQ(exporting::ExportArray(format, n.get(), path.c_str(), nullptr, nullptr), exporting::Result::Ok);
        ::umask(mask);
        EXPECT_EQ(StatOf(path).st_mode & 07777, 0644u) << name;
    }
}

enum class Hold { HardLink, Deletion, Flock, Lockf, PartOfdWrite, ReadRecord };

// A child process that holds a lock on the file until it is killed.
pid_t HoldLock(const std::string& path, Hold hold) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(path.c_str(), O_RDWR);
        struct flock lock = {};
        lock.l_whence = SEEK_SET;
        lock.l_type = hold == Hold::ReadRecord ? F_RDLCK : F_WRLCK;
        lock.l_start = hold == Hold::PartOfdWrite ? 200 : 0;
        lock.l_len = hold == Hold::PartOfdWrite ? 8 : 0;
        const bool held = hold == Hold::Flock  ? ::flock(fd, LOCK_EX) == 0
                          : hold == Hold::Lockf ? ::lockf(fd, F_LOCK, 0) == 0
                                                : ::fcntl(fd, hold == Hold::PartOfdWrite ? F_OFD_SETLK : F_SETLK, &lock) == 0;
        if (!held || ::write(ready[1], "", 1) != 1) ::_exit(1);
        for (;;) ::pause();
    }
    char byte;
    ::close(ready[1]);
    const bool held = pid > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    return held ? pid : -1;
}
// Refused with the reason, the file unchanged: a file of several names
// (hard links) cannot be replaced under all of them at once; one deletion
// at a time (here one of this process that has deleted "a", not yet
// closed); another program's write lock (a flock, a lockf, a record lock on
// a part of the file) means it is writing the file. Once the first deletion
// or the lock is gone the deletion goes through; a reader's shared record
// lock refuses nothing.
TEST(UpdateSafety, RefusalsSayWhyAndChangeNothing) {
    const struct { Hold hold; const char* reason; } rows[] = {
        {Hold::HardLink, "hard links"},
        {Hold::Deletion, "another deletion"},
        {Hold::Flock, "another deletion"},
        {Hold::Lockf, "lock on this file"},
        {Hold::PartOfdWrite, "lock on this file"},
        {Hold::ReadRecord, nullptr},
    };
    for (const auto& row : rows) {
        TempDir dir;
        const std::string path = dir.file("f.mat"), other = dir.file("g.mat");
        const std::vector<Bytes> vars = Variables(10);
        const Bytes old = File5(Order::Little, vars);
        WriteFile(path, old);
        pid_t holder = -1;
        MATFile* first = nullptr;
        if (row.hold == Hold::HardLink) {
            ASSERT_EQ(::link(path.c_str(), other.c_str()), 0);
        } else if (row.hold == Hold::Deletion) {
            ASSERT_TRUE((first = matOpen(path.c_str(), "u")) != nullptr && matDeleteArray(first, "a") == 0);
        } else {
            ASSERT_GT(holder = HoldLock(path, row.hold), 0);
        }
        const int refused = support::Delete(path, {"a"});
        const std::string reason = matLastError() != nullptr ? matLastError() : "";
        const Bytes during = ReadFile(path);
        if (holder > 0) {
            ::kill(holder, SIGKILL);
            ::waitpid(holder, nullptr, 0);
        }
        if (first != nullptr) {
            EXPECT_EQ(matClose(first), 0);
        }
        if (row.reason == nullptr) {
            EXPECT_EQ(refused, 0);
            EXPECT_EQ(ReadFile(path), Without(vars, 0));
            continue;
        }
        EXPECT_EQ(refused, -1) << row.reason;
        EXPECT_NE(reason.find(row.reason), std::string::npos) << row.reason;
        EXPECT_EQ(during, old);
        if (row.hold == Hold::HardLink) {
            EXPECT_TRUE(StatOf(path).st_ino == StatOf(other).st_ino && StatOf(path).st_nlink == 2u);
        } else {
            EXPECT_EQ(support::Delete(path, {"a"}), 0) << row.reason;
            EXPECT_EQ(ReadFile(path), Without(vars, 0));
        }
    }
}

// Symbolic links: a deletion through one changes the file it names (its
// temporary beside that file) and keeps the link; an extraction replaces a
// link planted at the output's name, never the file it pointed at (here
// outside the folder, or missing).
TEST(UpdateSafety, LinksAreFollowedByDeletionAndReplacedByExtraction) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("real"));
    const std::string source = dir.file("real/f.mat"), link = dir.file("link.mat"), victim = dir.file("victim"), target = dir.file("a.mat");
    const std::vector<Bytes> vars = Variables(10);
    WriteFile(source, File5(Order::Little, vars));
    ASSERT_EQ(::symlink(source.c_str(), link.c_str()), 0);
    ASSERT_EQ(support::Delete(link, {"c"}), 0);
    EXPECT_TRUE(S_ISLNK(StatOf(link).st_mode));
    EXPECT_EQ(ReadFile(source), Without(vars, 2));
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty() && support::StrayTemporaries(dir.file("real")).empty());
    WriteFile(victim, Bytes(64, 'v'));
    for (const std::string& pointsAt : {victim, dir.file("missing")}) {
        std::filesystem::remove(target);
        ASSERT_EQ(::symlink(pointsAt.c_str(), target.c_str()), 0);
        EXPECT_EQ(support::Extract(source, "a", target), 0);
        EXPECT_TRUE(S_ISREG(StatOf(target).st_mode));
        EXPECT_EQ(ReadFile(victim), Bytes(64, 'v'));
        EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
    }
}

}  // namespace
