// Opening and listing through the built plug-in, as a host drives it: the
// opening report, the archive slots, the entries' names, sizes, dates and
// attributes, names that a crafted file holds, and the end of the listing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <cstring>
#include <ctime>
#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <sys/resource.h>
#endif
#include <filesystem>
#include <random>
#include <set>

#include <zlib.h>

#include "os/file_time.h"
#include "support/support.h"

namespace {

using namespace matbuild;
using support::PluginTest;
using testhost::Archive;

const std::string kSep(1, platform::kPathSeparator);
const Order le = Order::Little;

Bytes Scalar(Order o, const std::string& name, double value) { return NumericVar(o, name, mxDOUBLE, {1, 1}, {value}); }
// A struct without fields holds no data whatever its dimensions.
Bytes FieldlessStruct(Order o, const std::string& name, const std::vector<int32_t>& dims) { return StructVar(o, name, dims, {}, {}); }
Bytes V4() { return V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Full, "m", 2, 3, Iota(6)); }

// The host's FileTime of a local date and time (DOS form: seconds halved).
int32_t HostTime(int year, int month, int day, int hour, int minute, int second) {
    return platform::HostFileTime(static_cast<uint32_t>(((year - 1980) & 127) << 25 | month << 21 | day << 16 |
                                                        hour << 11 | minute << 5 | second / 2));
}
int32_t HostTimeOfUtc(int year, int month, int day, int hour, int minute, int second) {
    platform::LocalDateTime local{};
    if (!platform::LocalFromUtc({year, month, day, hour, minute, second}, &local)) return -1;
    return HostTime(local.year, local.month, local.day, local.hour, local.minute, local.second);
}

#if defined(_WIN32)
// Whether a handle to the file is open anywhere: Windows then refuses an
// open that shares nothing (the plug-in's own opens share reading and
// writing). A count of the process's descriptors will not do under Wine,
// which opens some of its own lazily, at any time.
bool HeldOpen(const std::string& path) {
    const HANDLE file = ::CreateFileW(std::filesystem::path(path).wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_SHARING_VIOLATION;
    ::CloseHandle(file);
    return false;
}
#else
int OpenDescriptorCount() {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end; ++it) ++count;
    return count;
}
#endif

class Listing : public PluginTest {
protected:
    std::string AB() {
        return Write("ab.mat", File5(le, {NumericVar(le, "A", mxDOUBLE, {3, 4}, Iota(12)), NumericVar(le, "B", mxDOUBLE, {1, 2}, Iota(2))}));
    }
};

// The opening report names the file and its variables, or says it cannot
// be opened; a refusal leaves nothing open and keeps no slot.
TEST_F(Listing, OpeningReportsTheVariablesAndRefusalsKeepNoSlot) {
    HANDLE firstSlot = Archive(plugin, AB(), PK_OM_LIST).handle();
    for (const auto& [path, names] : {std::pair{AB(), std::string("A\nB\n")}, {Write("empty.mat", Header5(le)), ""}}) {
        Archive archive(plugin, path, PK_OM_LIST);
        EXPECT_EQ(archive.openResult(), 0);
        EXPECT_EQ(support::Unix(archive.openOutput()), "Reading file " + path + "...\n\nDirectory of " + path + ":\n" + names + "Done\n");
        int last = 0;
        EXPECT_EQ(archive.ReadAll(&last).size(), names.size() / 2);
        EXPECT_EQ(last, E_END_ARCHIVE);
    }
    Bytes v73 = Header5(le);   // version 7.3: a MAT header with version 0x0200, and no HDF5 data behind it
    v73[124] = 0x00, v73[125] = 0x02;
    v73.resize(1024, 0);
    Bytes cutShort = File5(le, {NumericVar(le, "A", mxDOUBLE, {4, 3}, Iota(12))});
    cutShort.resize(cutShort.size() - 8);
    const std::string noHdf5 = Write("v73.mat", v73), cut = Write("cut.mat", cutShort);
    std::memcpy(v73.data() + 512, "\x89HDF\r\n\x1a\n", 8);   // the HDF5 signature, then nothing HDF5 can read
    const std::string hdf5 = Write("hdf5.mat", v73);
    v73[0] = 0;   // a header's text never starts with a zero byte
    const std::string noText = Write("notext.mat", v73);
    const std::vector<std::pair<std::string, int>> refused = {
        {Write("notes.txt", Text("MATLAB is not in this file, only text.\n")), E_UNKNOWN_FORMAT},
        {Write("empty", {}), E_UNKNOWN_FORMAT},
        {noHdf5, E_BAD_ARCHIVE},
        {noText, E_UNKNOWN_FORMAT},
        // damaged, or in a build that reads no version 7.3 file of an unknown format
        {hdf5, !matOpen(hdf5.c_str(), "r") && matLastOpenFailure() == MAT_OPEN_VERSION_73 ? E_UNKNOWN_FORMAT : E_BAD_ARCHIVE},
        {cut, E_BAD_ARCHIVE},   // its first variable runs past the end
        {support::Path(dir.path(), "missing.mat"), E_EOPEN},
        {dir.path(), E_EOPEN}};
    const auto refuseAll = [&] {
        for (const auto& [path, code] : refused) {
            Archive archive(plugin, path, PK_OM_LIST);
            EXPECT_FALSE(archive.ok()) << path;
            EXPECT_EQ(archive.openResult(), code) << path;
            // A MAT-file the plug-in cannot list, and any file named
            // "*.mat", is still taken, so that opening it can say why.
            EXPECT_EQ(plugin.CanHandle(path), path.ends_with(".mat") && std::filesystem::exists(path)) << path;
            if (code == E_BAD_ARCHIVE) continue;   // it opens and lists nothing
            EXPECT_EQ(support::Unix(archive.openOutput()), "Reading file " + path + "...\n\nError opening file " + path + "\n");
        }
    };
#if defined(_WIN32)
    refuseAll();
    for (const auto& [path, code] : refused) EXPECT_FALSE(HeldOpen(path)) << path;   // nothing left open
#else
    // A first round lets the runtime open what it opens lazily.
    refuseAll();
    const int descriptors = OpenDescriptorCount();
    refuseAll();
#endif
    tOpenArchiveData data{};
    EXPECT_EQ(plugin.OpenArchive(&data), nullptr);   // no name
    EXPECT_EQ(data.OpenResult, E_EOPEN);
    EXPECT_EQ(plugin.CanYouHandleThisFile(nullptr), 0);
#if !defined(_WIN32)
    EXPECT_EQ(OpenDescriptorCount(), descriptors);   // nothing left open
#endif
    EXPECT_TRUE(plugin.CanHandle(Write("v4.mat", V4())));
#if !defined(_WIN32)
    // Taking a version 7.3 file starts no reader (whose page faults, hundreds
    // from its first instructions on, would count here): the host asks for every file it shows.
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    EXPECT_TRUE(plugin.CanHandle(hdf5));
    getrusage(RUSAGE_CHILDREN, &after);
    EXPECT_EQ(after.ru_minflt, before.ru_minflt);
#endif
    // No refusal kept a slot: the next opening takes the first one again.
    const std::string good = AB();
    EXPECT_TRUE(plugin.CanHandle(good));
    EXPECT_EQ(Archive(plugin, good, PK_OM_LIST).handle(), firstSlot);
}

// Version 7.3 files are read by the worker program beside the plug-in; the
// plug-in alone in a folder declines them, naming the missing worker.
// Octave's save -zip: the whole MAT-file in one gzip stream. It lists as
// the plain file does on every system (unpacked into a scratch file that
// nothing outlives), and the folder keeps nothing of it.
TEST_F(Listing, AGzipWrappedFileListsAsThePlainOne) {
    const Bytes plain = File5(Order::Little, {NumericVar(Order::Little, "A", mxDOUBLE, {4, 3}, Iota(12)), CharVar(Order::Little, "s", "text")});
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);   // +16: a gzip wrapper
    Bytes packed(deflateBound(&z, static_cast<uLong>(plain.size())) + 32);
    z.next_in = const_cast<Bytef*>(plain.data());
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = packed.data();
    z.avail_out = static_cast<uInt>(packed.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    packed.resize(z.total_out);
    deflateEnd(&z);
    const std::string path = dir.file("octave-zip.mat");
    WriteFile(path, packed);
    EXPECT_EQ(support::VariableNames(path), (std::vector<std::string>{"A", "s"}));
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
}

TEST_F(Listing, Version73FilesNeedTheWorkerBesideThePlugin) {
    const std::string v73 = testenv::TestDataDir() + "/hdf5storage/v73.mat";
    const support::ToolRun listed = support::RunTool(dir, {"list", "--json", v73});
    if (listed.status != 0) GTEST_SKIP() << "this build reads no version 7.3 file";
    // The listing does not read a dataset's storage: packed is the values' bytes, no made-up ratio.
    EXPECT_NE(listed.out.find(R"("variable": "h_cell", "packSize": 16, "unpSize": 16,)"), std::string::npos) << listed.out;
    const std::string alone = support::Path(dir.path(), "alone");
    ASSERT_TRUE(std::filesystem::create_directory(alone));
    const std::string copy = support::Path(alone, std::filesystem::path(testenv::Get("MATWCX_PLUGIN")).filename().string());
    std::filesystem::copy_file(testenv::Get("MATWCX_PLUGIN"), copy);
    const support::ToolRun run = support::RunTool(dir, {"--plugin", copy, "list", v73});
#if !defined(_WIN32)
    EXPECT_NE(run.err.find("its worker program matwcx_v73 is missing beside the plug-in"), std::string::npos) << run.err;
#endif
    EXPECT_NE(run.err.find("(E_UNKNOWN_FORMAT)"), std::string::npos) << run.err;
}

// Archives open at once each have a slot of their own; a closed, foreign or
// misplaced handle is refused by every call, the others stay as they were;
// a closed archive's slot and descriptors are freed for the next opening.
// Past the table's bound (4096 open archives) the answer is "no memory".
TEST_F(Listing, ManyArchivesAtOnceAndSlotsReused) {
    const std::string path = AB();
#if !defined(_WIN32)
    List(path);   // warms the runtime up before descriptors are counted
    const int descriptors = OpenDescriptorCount();
#endif
    std::vector<std::unique_ptr<Archive>> open;
    std::set<HANDLE> handles;
    for (int i = 0; i < 6; ++i) {
        open.push_back(std::make_unique<Archive>(plugin, path, i % 2 == 0 ? PK_OM_LIST : PK_OM_EXTRACT));
        ASSERT_TRUE(open.back()->ok()) << i;
        handles.insert(open.back()->handle());
    }
    EXPECT_EQ(handles.size(), 6u);
    const HANDLE closed = open[2]->handle();
    testhost::Entry entry;
    ASSERT_EQ(testhost::ReadOneHeader(plugin, closed, &entry), 0);
    ASSERT_EQ(testhost::ReadOneHeader(plugin, open[3]->handle(), &entry), 0);
    EXPECT_EQ(open[2]->Close(), 0);
    int foreign = 0;
    char name[] = "x";
    const HANDLE inside = static_cast<char*>(open[3]->handle()) + 8;   // within an open archive's slot
    for (HANDLE handle : {closed, static_cast<HANDLE>(&foreign), static_cast<HANDLE>(nullptr), inside}) {
        tHeaderData header{};
        EXPECT_EQ(plugin.ReadHeader(handle, &header), E_BAD_ARCHIVE);
        EXPECT_EQ(plugin.ProcessFile(handle, PK_EXTRACT, nullptr, name), E_BAD_ARCHIVE);
        EXPECT_EQ(plugin.CloseArchive(handle), E_BAD_ARCHIVE);
    }
    EXPECT_EQ(foreign, 0);
    EXPECT_EQ(open[3]->ReadAll().size(), 1u);   // B: where it was
    open[2] = std::make_unique<Archive>(plugin, Write("v4.mat", V4()), PK_OM_LIST);
    EXPECT_EQ(open[2]->handle(), closed);
    EXPECT_EQ(open[2]->ReadAll().size(), 1u);
    open.clear();
#if defined(_WIN32)
    for (const std::string& file : {path, dir.file("v4.mat")}) EXPECT_FALSE(HeldOpen(file)) << file;
#else
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    constexpr size_t kBound = 4096;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit before = limit;
    if (limit.rlim_cur < kBound + 64 && limit.rlim_max >= kBound + 64) limit.rlim_cur = kBound + 64;
    if (limit.rlim_cur < kBound + 64 || setrlimit(RLIMIT_NOFILE, &limit) != 0) GTEST_SKIP() << "too few descriptors";
    std::vector<HANDLE> all;
    testhost::CaptureStdout([&] {
        std::string copy = path;
        for (HANDLE handle = nullptr; all.size() < kBound; all.push_back(handle)) {
            tOpenArchiveData data{};
            data.ArcName = copy.data();
            if ((handle = plugin.OpenArchive(&data)) == nullptr) break;
        }
    });
    EXPECT_EQ(std::set<HANDLE>(all.begin(), all.end()).size(), kBound);
    {
        // A full table is not an unreadable file: refused at once, nothing printed.
        Archive refused(plugin, path, PK_OM_LIST);
        EXPECT_EQ(refused.openResult(), E_NO_MEMORY);
        EXPECT_EQ(refused.openOutput(), "");
    }
    for (HANDLE handle : all) EXPECT_EQ(plugin.CloseArchive(handle), 0);
    setrlimit(RLIMIT_NOFILE, &before);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
#endif
}

// Every element size and flag, the dimension order, in either byte order,
// plain or compressed: name, sizes, attributes, the header's date on each.
// Sizes saturate at the largest the record holds; the dimensions of a name
// too long are shortened to fit 259 characters.
TEST_F(Listing, EntriesOfEveryClass) {
    struct Var { Bytes element; std::string name; int unpSize, bits; };
    std::vector<int32_t> dims(64, 1000000);   // the most dimensions a file may have
    dims.front() = 0;                         // empty: the element count stays within 64 bits
    dims.back() = 7;
    std::string shortened = "v.struct [7";
    for (int i = 0; i < 30; ++i) shortened += "x1000000";
    for (Order o : {Order::Little, Order::Big}) {
        const std::vector<Var> vars = {
            {NumericVar(o, "cube", mxDOUBLE, {2, 3, 5}, Iota(30)), "cube.double [5x3x2] ", 240, 0x20},
            {NumericVar(o, "e", mxDOUBLE, {0, 0}, {}), "e.double [0x0] ", 0, 0x20},
            {NumericVar(o, "z", mxDOUBLE, {2, 2}, Iota(4), Iota(4)), "z.double [2x2] ", 32, 0x21},
            {NumericVar(o, "g", mxDOUBLE, {1, 1}, {7}, {}, kGlobal), "g.DOUBLE [1x1] ", 8, 0x24},
            {NumericVar(o, "gz", mxDOUBLE, {1, 2}, {1, 2}, {3, 4}, kGlobal), "gz.DOUBLE [2x1] ", 16, 0x25},
            {NumericVar(o, "b", mxUINT8, {1, 3}, {1, 0, 1}, {}, kLogical), "b.logical [3x1] ", 3, 0x22},
            {NumericVar(o, "gb", mxUINT8, {1, 1}, {1}, {}, kLogical | kGlobal), "gb.LOGICAL [1x1] ", 1, 0x26},
            {NumericVar(o, "s", mxSINGLE, {1, 1}, {1.5}), "s.single [1x1] ", 4, 0x20},
            {NumericVar(o, "i8", mxINT8, {2, 1}, {-1, 1}), "i8.int8 [1x2] ", 2, 0x20},
            {NumericVar(o, "i64", mxINT64, {1, 2}, {1, 2}), "i64.int64 [2x1] ", 16, 0x20},
            {NumericVar(o, "u64", mxUINT64, {1, 1}, {1}, {3}), "u64.uint64 [1x1] ", 8, 0x21},
            {NumericVar(o, "small", mxDOUBLE, {2, 2}, Iota(4), {}, 0, miUINT8), "small.double [2x2] ", 32, 0x20},
            {CharVar(o, "c", "hello"), "c.char [5x1] ", 10, 0x20},
            {SparseVar(o, "sp", 3, 2, {0, 2}, {0, 1, 2}, {5, 6}), "sp.double [2x3] ", 48, 0x20},
            {FieldlessStruct(o, "v", dims), shortened + "x...x0] ", 0, 0x20},
            // Sizes: one that fits, exactly the largest, 2^31, one that wraps to 65536 in 32 bits,
            // one whose bytes pass 64 bits, and the empty one of huge dimensions.
            {FieldlessStruct(o, "s1", {46341, 46340}), "s1.struct [46340x46341] ", INT32_MAX, 0x20},
            {FieldlessStruct(o, "s2", {1, INT32_MAX}), "s2.struct [2147483647x1] ", INT32_MAX, 0x20},
            {FieldlessStruct(o, "s3", {65536, 32768}), "s3.struct [32768x65536] ", INT32_MAX, 0x20},
            {FieldlessStruct(o, "s4", {65536, 65537}), "s4.struct [65537x65536] ", INT32_MAX, 0x20},
            {FieldlessStruct(o, "s5", {INT32_MAX, INT32_MAX, 4}), "s5.struct [4x2147483647x2147483647] ", INT32_MAX, 0x20},
            {FieldlessStruct(o, "s6", {0, INT32_MAX, INT32_MAX, INT32_MAX}), "s6.struct [2147483647x2147483647x2147483647x0] ", 0, 0x20},
        };
        for (bool compressed : {false, true}) {
            SCOPED_TRACE(std::string(o == Order::Big ? "big" : "little") + (compressed ? ", compressed" : ""));
            std::vector<Bytes> elements;
            for (const Var& v : vars) elements.push_back(compressed ? Compressed(o, v.element) : v.element);
            const std::string path = Write("classes.mat", File5(o, elements));
            Archive archive(plugin, path, PK_OM_LIST);
            const std::vector<testhost::Entry> entries = archive.ReadAll();
            ASSERT_EQ(entries.size(), vars.size());
            for (size_t i = 0; i < vars.size(); ++i) {
                const testhost::Entry& e = entries[i];
                EXPECT_EQ(e.fileName, vars[i].name);
                EXPECT_EQ(e.arcName, path);
                EXPECT_EQ(e.packSize, static_cast<int>(elements[i].size())) << e.fileName;   // the bytes in the file
                EXPECT_EQ(e.unpSize, vars[i].unpSize) << e.fileName;
                EXPECT_EQ(e.fileAttr, platform::HostFileAttr(vars[i].bits)) << e.fileName;
                EXPECT_EQ(e.fileTime, HostTime(2005, 2, 18, 10, 28, 3)) << e.fileName;   // kHeaderText's
                EXPECT_TRUE(e.fileCRC == 0 && e.flags == 0);
                EXPECT_TRUE(e.tailUntouched) << e.fileName;
            }
        }
    }
}

// The header's date in the forms MATLAB, scipy, matio and Octave write; a
// header without a readable one, and a version 4 file, give the file's
// modification time, never 1970.
TEST_F(Listing, DateFromEveryWritersHeaderOrTheFile) {
    const int32_t fileTime = HostTime(2010, 7, 15, 13, 45, 58);
    const struct { const char* text; int32_t time; int fileYear = 2010; } cases[] = {
        // scipy's form, a day padded with a blank as asctime writes it.
        {"MATLAB 5.0 MAT-file Platform: posix, Created on: Fri Feb  4 10:28:03 2005", HostTime(2005, 2, 4, 10, 28, 3)},
        {"MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: Tue Dec 31 23:59:59 2024", HostTime(2024, 12, 31, 23, 59, 59)},
        {"MATLAB 5.0 MAT-file, Platform: x86_64, Created by: libmatio v1.5.23 on Fri Feb 18 10:28:03 2005",
         HostTime(2005, 2, 18, 10, 28, 3)},
        {"MATLAB 5.0 MAT-file, Platform: Windows 7, CREATED on: Tue Feb 26 11:20:36 GMT 2013", HostTimeOfUtc(2013, 2, 26, 11, 20, 36)},
        {"MATLAB 5.0 MAT-file, written by Octave 7.3.0, 2026-12-07 02:59:32 UTC", HostTimeOfUtc(2026, 12, 7, 2, 59, 32)},
        {"MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: Fri February 18 10:28:03 2005", fileTime},
        {"MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: Fri Feb 18 10:28:03", fileTime},
        {"MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: Fri Feb 99999999999 10:28:03 2005", fileTime},
        {"MATLAB 5.0 MAT-file, written by Octave, 2026-13-07 02:59:32 UTC", fileTime},
        // 116 characters without a blank: the scan must end within the block.
        {"MATLAB_5.0_MAT-file,_Platform:_PCWIN,_Created_on:_Fri_Feb_18_10:28:03_2005"
         "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX", fileTime},
        {nullptr, fileTime},   // version 4: no header date
        {nullptr, HostTime(1979, 7, 15, 13, 45, 58), 1979},
    };
    for (const auto& c : cases) {
        const std::string path = Write("h.mat", c.text ? File5(le, {Scalar(le, "x", 7)}, c.text) : V4());
        // The file's modification time: 15 July, 13:45:59 local time.
        std::tm local{};
        local.tm_year = c.fileYear - 1900, local.tm_mon = 6, local.tm_mday = 15;
        local.tm_hour = 13, local.tm_min = 45, local.tm_sec = 59, local.tm_isdst = -1;
        const time_t when = std::mktime(&local);
        utimbuf times{when, when};
        ASSERT_EQ(::utime(path.c_str(), &times), 0);
        Archive archive(plugin, path, PK_OM_LIST);
        const std::vector<testhost::Entry> entries = archive.ReadAll();
        ASSERT_EQ(entries.size(), 1u) << (c.text ? c.text : "v4");
        EXPECT_EQ(entries[0].fileTime, c.time) << (c.text ? c.text : "v4");
    }
}

TEST_F(Listing, TheEndLeavesTheRecordAloneAndTheListingIsWhatTheOpeningIndexed) {
    const Bytes x = NumericVar(le, "x", mxDOUBLE, {1, 20000}, Iota(20000));
    Bytes broken = Scalar(le, "y", 2);
    const Bytes bigTag = Tag(le, miMATRIX, 0x7FFFFFF0);
    std::copy(bigTag.begin(), bigTag.end(), broken.begin());
    const std::string path = Write("three.mat", File5(le, {x, Scalar(le, "y", 2), Scalar(le, "w", 3)}));
    {
        Archive archive(plugin, path, PK_OM_LIST);
        EXPECT_EQ(archive.ReadAll().size(), 3u);
        for (int i = 0; i < 3; ++i) {
            tHeaderData header;
            std::memset(&header, 0x5A, sizeof header);
            EXPECT_EQ(plugin.ReadHeader(archive.handle(), &header), E_END_ARCHIVE);
            const auto* bytes = reinterpret_cast<const unsigned char*>(&header);
            EXPECT_EQ(std::count(bytes, bytes + sizeof header, 0x5A), static_cast<long>(sizeof header));
        }
    }
    // Every header is read once, when the archive opens: a file damaged in
    // place afterwards lists as it was (extracting from it is refused).
    Archive archive(plugin, path, PK_OM_EXTRACT);
    testhost::Entry entry;
    for (const char* name : {"x.double [20000x1] ", "y.double [1x1] ", "w.double [1x1] "}) {
        ASSERT_EQ(testhost::ReadOneHeader(plugin, archive.handle(), &entry), 0);
        EXPECT_EQ(entry.fileName, name);
        if (name[0] == 'x') WriteFile(path, File5(le, {x, broken}));
        if (name[0] == 'y') {
            EXPECT_EQ(Process(archive, PK_EXTRACT, nullptr, dir.file("y.mat")), E_EREAD);
        }
    }
}

// Random byte strings as names: every listed name is safe, no two are the
// same, and each deletes its own variable (the names a crafted file holds
// and the spellings no listing makes: the next case).
TEST_F(Listing, EveryNameRoundTripsAndNoTwoShareAListedName) {
    std::mt19937 random(20240611);
    std::vector<Bytes> vars;
    std::vector<std::string> names;
    for (int i = 0; i < 200; ++i) {
        std::string name(1 + random() % 12, '\0');
        for (char& c : name) c = static_cast<char>(1 + random() % 255);   // no NUL
        if (i % 7 == 0) name = std::string(1, "aZ9_.%#/\\"[random() % 9]);
        vars.push_back(Scalar(le, name, i));
        names.push_back(name);
    }
    const std::string path = Write("random.mat", File5(le, vars));
    const std::vector<std::string> listed = List(path);
    ASSERT_EQ(listed.size(), vars.size());
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()).size(), listed.size());
    std::vector<std::string> deleted, kept;
    for (size_t i = 0; i < listed.size(); ++i) {
        for (char c : listed[i].substr(0, listed[i].find('.'))) {
            const auto u = static_cast<unsigned char>(c);
            ASSERT_TRUE(u > 0x20 && u < 0x7f && c != '/' && c != '\\' && c != ':') << listed[i];
        }
        (i % 3 == 0 ? deleted : kept).push_back(i % 3 == 0 ? listed[i] : names[i]);
    }
    EXPECT_EQ(plugin.Delete(path, deleted), 0);
    EXPECT_EQ(support::VariableNames(path), kept);
}

// Structs and cells list as directories when the switch is on (a class
// called "Cell" is no cell); a name fits whole up to 259 characters, else
// the directory form goes, then the name is shortened with its position
// ("%~N") and leads back; class texts are cut, made safe and lower case.
// Names only a crafted file holds list escaped, never as a path; spellings
// no listing makes lead nowhere.
TEST_F(Listing, NamesFollowTheSwitchAndFitOrAreShortened) {
    const Order o = Order::Big;
    const std::string n122(122, 'n'), n123(123, 'm'), n245(245, 'k'), shortened = std::string(117, 'p') + "%~9.double [1x1] ";
    std::vector<int32_t> fit(60, 3);   // "3x3x...x0": 119 characters, fits whole
    fit.front() = 0;
    std::string fitText;
    for (size_t i = 1; i < fit.size(); ++i) fitText += "3x";
    const struct { Bytes element; std::string flat; const char* folder; } rows[] = {
        {StructVar(o, "st", {1, 1}, {"f"}, {Scalar(o, "", 1)}), "st.struct [1x1] ", "st"},
        {Compressed(o, CellVar(o, "c", {2, 3}, std::vector<Bytes>(6, NumericVar(o, "", mxDOUBLE, {0, 0}, {})), kGlobal)), "c.CELL [3x2] ", "c"},
        {StructVar(o, "gs", {1, 1}, {"f"}, {Scalar(o, "", 1)}, kGlobal), "gs.STRUCT [1x1] ", "gs"},
        {ObjectVar(o, "obj", "Cell", {1, 1}, {"f"}, {Scalar(o, "", 1)}), "obj.cell [1x1] ", nullptr},
        {Scalar(o, "d", 1), "d.double [1x1] ", nullptr},
        {FieldlessStruct(o, n122, {1, 1}), n122 + ".struct [1x1] ", n122.c_str()},   // 259 characters
        {FieldlessStruct(o, n123, {1, 1}), n123 + ".struct [1x1] ", nullptr},        // one more
        {Scalar(o, n245, 1), n245 + ".double [1x1] ", nullptr},
        {Scalar(o, std::string(300, 'p'), 2), shortened, nullptr},
        {ObjectVar(o, "o2", "../x/y\\z:\x01" "a b." + std::string(80, 'Q'), {1, 1}, {"f"}, {Scalar(o, "", 1)}),
         "o2..._x_y_z__a_b." + std::string(49, 'q') + " [1x1] ", nullptr},
        {FieldlessStruct(o, "w", fit), "w.struct [" + fitText + "0] ", "w"},
        {Scalar(o, "../up", 1), "%2E%2E%2Fup.double [1x1] ", nullptr},
        {Scalar(o, "a/b", 1), "a%2Fb.double [1x1] ", nullptr},
        {Scalar(o, "a\\b", 1), "a%5Cb.double [1x1] ", nullptr},
        {Scalar(o, "\x01" "ctl", 1), "%01ctl.double [1x1] ", nullptr},
        {Scalar(o, "a.b", 1), "a%2Eb.double [1x1] ", nullptr},
        {Scalar(o, "..", 1), "%2E%2E.double [1x1] ", nullptr},
        {Scalar(o, "C:", 1), "C%3A.double [1x1] ", nullptr},
        {Scalar(o, "", 1), "%__function_workspace__.double [1x1] ", nullptr},
        {Scalar(o, "A", 1), "A.double [1x1] ", nullptr},
        {Scalar(o, "A", 2), "A%#2.double [1x1] ", nullptr},
        {Scalar(o, "%41", 1), "%2541.double [1x1] ", nullptr},
        {Scalar(o, "ok_1", 1), "ok_1.double [1x1] ", nullptr},
    };
    std::vector<Bytes> vars;
    for (const auto& row : rows) vars.push_back(row.element);
    const std::string path = Write("names.mat", File5(o, vars));
    for (const bool folded : {false, true}) {
        UseSettings(folded, true);
        std::vector<std::string> listed = List(path);
        // The parts a folder lists after its variable (AFolderListsItsPartsAsVariables).
        std::erase_if(listed, [](const std::string& name) { return name.find(" [1x1] " + kSep + "f.") != std::string::npos ||
                                                                   name.find(" [3x2] " + kSep + "c_") != std::string::npos; });
        ASSERT_EQ(listed.size(), std::size(rows));
        for (size_t i = 0; i < listed.size(); ++i) {
            EXPECT_EQ(listed[i], rows[i].flat + (folded && rows[i].folder ? kSep + rows[i].folder : ""));
        }
    }
    const std::vector<std::string> spellings = {
        std::string(117, 'p') + "%~8", std::string(117, 'q') + "%~9", std::string(116, 'p') + "%~9", "%~9",
        std::string(116, 'p') + "%~09", std::string(117, 'p') + "%~1", "A%#3.double [1x1] ", "%41.double [1x1] ",
        "%2e%2e.double [1x1] ", "%2", "%", "%G0", "A%#1", "A%#", "A%#02", "A%#x", "A%#2%#3", "%00", "A%#99999999999",
        "%__function_workspace_", "%_", support::Path("x", "A.double [1x1] ")};
    for (const std::string& bad : spellings) EXPECT_EQ(plugin.Delete(path, {bad}), E_NO_FILES) << bad;
    // The struct goes by its entry inside the directory, the cell by the
    // directory itself; the struct and the shortened one named again by
    // another form of their entries go once; of the crafted names, only the
    // variable each listed name names goes: "../up", the unnamed one, the second "A".
    EXPECT_EQ(plugin.Delete(path, {shortened, rows[0].flat + kSep + "st", rows[1].flat + kSep, rows[0].flat,
                                   std::string(117, 'p') + "%~9", rows[11].flat, rows[18].flat, rows[20].flat}),
              0);
    EXPECT_EQ(support::VariableNames(path), (std::vector<std::string>{"gs", "obj", "d", n122, n123, n245, "o2", "w", "a/b", "a\\b",
                                                                      "\x01" "ctl", "a.b", "..", "C:", "A", "%41", "ok_1"}));
    support::FilePtr file(matOpen(path.c_str(), "r"));
    support::ArrayPtr first(matGetArray(file.get(), "A"));
    EXPECT_EQ(support::ReadReal(first.get(), 1), std::vector<double>{1});
}

// With structs and cells as folders, a struct's folder lists its fields and
// a cell's its elements, named like variables, after the whole variable's
// own entry; each extracts and exports as a variable of its own, and a part
// deleted alone deletes nothing, while its folder goes whole.
TEST_F(Listing, AFolderListsItsPartsAsVariables) {
    UseSettings(true, true);
    const std::string table = Write("t.mat", ReadFile(testenv::Get("MATWCX_SOURCE_DIR") +
                                                      "/tests/data/matlab-files/v7/struct_table_datetime.mat"));
    const std::string cells = Write("c.mat", File5(le, {Compressed(le, CellVar(le, "c", {1, 3}, {Scalar(le, "", 1), CharVar(le, "", "abc"),
                                                                                              StructVar(le, "", {1, 2}, {"f"}, {Scalar(le, "", 2), Scalar(le, "", 3)})}))}));
    const std::string s = "s.struct [1x1] " + kSep, c = "c.cell [3x1] " + kSep;
    EXPECT_EQ(List(table), (std::vector<std::string>{s + "s", s + "testDatetime.datetime [1x1] ", s + "testTable.table [1x1] ",
                                                     s + "testDatetimeComplex.datetime [1x1] ", "%__function_workspace__.uint8 [5992x1] "}));
    EXPECT_EQ(List(cells), (std::vector<std::string>{c + "c", c + "c_1.double [1x1] ", c + "c_2.char [3x1] ", c + "c_3.struct [2x1] "}));
    // Its version 7.3 twin's folder lists the same parts (read from an image of the variable).
    const std::string table73 = Write("t73.mat", ReadFile(testenv::Get("MATWCX_SOURCE_DIR") +
                                                          "/tests/data/matlab-files/v7.3/struct_table_datetime.mat"));
    EXPECT_EQ(List(table73), (std::vector<std::string>{s + "s", s + "testDatetime.datetime [1x1] ", s + "testTable.table [1x1] ",
                                                       s + "testDatetimeComplex.datetime [1x1] "}));

    const std::string out = dir.file("out");
    std::string fileName;
    auto archive = testhost::OpenAt(plugin, table, s + "testTable", &fileName);
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, support::Path(out, "testTable.json")), 0);
    EXPECT_NE(support::ReadText(support::Path(out, "testTable.json")).find(R"({"FlightNum":1261,"Customer":"Jones",)"), std::string::npos);
    archive = testhost::OpenAt(plugin, cells, c + "c_2", &fileName);
    EXPECT_EQ(Process(*archive, PK_EXTRACT, nullptr, support::Path(out, fileName)), 0);
#if defined(_WIN32)   // into the folder as Windows makes it, without the blank at its end
    const std::string written = support::Path(out, "c.cell [3x1]\\c_2.char [3x1] .mat");
#else
    const std::string written = support::Path(out, fileName) + ".mat";
#endif
    EXPECT_EQ(support::VariableNames(written), std::vector<std::string>{"c_2"});
    archive.reset();

    EXPECT_NE(plugin.Delete(cells, {c + "c_2.char [3x1] "}), 0);
    EXPECT_EQ(support::VariableNames(cells), std::vector<std::string>{"c"});
    EXPECT_EQ(plugin.Delete(cells, {c + "c", c + "c_1.double [1x1] "}), 0);
    EXPECT_TRUE(support::VariableNames(cells).empty());
}

}  // namespace
