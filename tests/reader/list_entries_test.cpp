// ListNextVariable on files built byte by byte: entry names, sizes, attribute
// bits, the time stamp, the end of the listing and its failures.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "list_helpers.h"
#include "platform/host_rules.h"
#include "support/mat_builder.h"
#include "support/test_env.h"

namespace {

using namespace matbuild;
using listtest::ListedFile;

struct Expected {
    std::string fileName;
    int packSize;
    int unpSize;
    int attributeBits;
};

// Every numeric class, the flags and the dimension order, in either byte
// order, plain or compressed.
class ListClasses : public ::testing::TestWithParam<std::tuple<Order, bool>> {};

TEST_P(ListClasses, NamesSizesAndAttributes) {
    const Order o = std::get<0>(GetParam());
    const bool compressed = std::get<1>(GetParam());
    struct Var {
        Bytes element;
        Expected expected;
    };
    const std::vector<Var> vars = {
        {NumericVar(o, "A", mxDOUBLE, {3, 4}, Iota(12)), {"A.double [4x3] ", 12, 96, 0x20}},
        {NumericVar(o, "row", mxDOUBLE, {1, 10}, Iota(10)), {"row.double [10x1] ", 10, 80, 0x20}},
        {NumericVar(o, "cube", mxDOUBLE, {2, 3, 5}, Iota(30)), {"cube.double [5x3x2] ", 30, 240, 0x20}},
        {NumericVar(o, "e", mxDOUBLE, {0, 0}, {}), {"e.double [0x0] ", 0, 0, 0x20}},
        {NumericVar(o, "z", mxDOUBLE, {2, 2}, Iota(4), Iota(4)), {"z.double [2x2] ", 4, 32, 0x21}},
        {NumericVar(o, "g", mxDOUBLE, {1, 1}, {7}, {}, kGlobal), {"g.DOUBLE [1x1] ", 1, 8, 0x24}},
        {NumericVar(o, "gz", mxDOUBLE, {1, 2}, {1, 2}, {3, 4}, kGlobal), {"gz.DOUBLE [2x1] ", 2, 16, 0x25}},
        {NumericVar(o, "b", mxUINT8, {1, 3}, {1, 0, 1}, {}, kLogical), {"b.logical [3x1] ", 3, 3, 0x22}},
        {NumericVar(o, "gb", mxUINT8, {1, 1}, {1}, {}, kLogical | kGlobal), {"gb.LOGICAL [1x1] ", 1, 1, 0x26}},
        {NumericVar(o, "s", mxSINGLE, {1, 1}, {1.5}), {"s.single [1x1] ", 1, 4, 0x20}},
        {NumericVar(o, "i8", mxINT8, {2, 1}, {-1, 1}), {"i8.int8 [1x2] ", 2, 2, 0x20}},
        {NumericVar(o, "u8", mxUINT8, {1, 1}, {1}), {"u8.uint8 [1x1] ", 1, 1, 0x20}},
        {NumericVar(o, "i16", mxINT16, {1, 1}, {1}), {"i16.int16 [1x1] ", 1, 2, 0x20}},
        {NumericVar(o, "u16", mxUINT16, {1, 1}, {1}), {"u16.uint16 [1x1] ", 1, 2, 0x20}},
        {NumericVar(o, "i32", mxINT32, {1, 1}, {1}), {"i32.int32 [1x1] ", 1, 4, 0x20}},
        {NumericVar(o, "u32", mxUINT32, {1, 1}, {1}), {"u32.uint32 [1x1] ", 1, 4, 0x20}},
        {NumericVar(o, "i64", mxINT64, {1, 2}, {1, 2}), {"i64.int64 [2x1] ", 2, 16, 0x20}},
        {NumericVar(o, "u64", mxUINT64, {1, 1}, {1}, {3}), {"u64.uint64 [1x1] ", 1, 8, 0x21}},
        {NumericVar(o, "small", mxDOUBLE, {2, 2}, Iota(4), {}, 0, miUINT8), {"small.double [2x2] ", 4, 32, 0x20}},
        {CharVar(o, "c", "hello"), {"c.char [5x1] ", 5, 10, 0x20}},
        {SparseVar(o, "sp", 3, 2, {0, 2}, {0, 1, 2}, {5, 6}), {"sp.double [2x3] ", 6, 48, 0x20}},
    };
    std::vector<Bytes> elements;
    for (const Var& v : vars) elements.push_back(compressed ? Compressed(o, v.element) : v.element);
    testenv::TempDir dir;
    WriteFile(dir.file("classes.mat"), File5(o, elements));

    ListedFile file(dir.file("classes.mat"));
    ASSERT_TRUE(file.ok());
    ASSERT_EQ(file.slot()->variableCount, static_cast<int>(vars.size()));
    tHeaderData header;
    for (const Var& v : vars) {
        ASSERT_EQ(file.Next(&header), 0) << v.expected.fileName;
        EXPECT_STREQ(header.FileName, v.expected.fileName.c_str());
        EXPECT_STREQ(header.ArcName, dir.file("classes.mat").c_str());
        EXPECT_EQ(header.PackSize, v.expected.packSize) << v.expected.fileName;
        EXPECT_EQ(header.UnpSize, v.expected.unpSize) << v.expected.fileName;
        EXPECT_EQ(header.FileAttr, platform::HostFileAttr(v.expected.attributeBits)) << v.expected.fileName;
        EXPECT_EQ(header.FileTime, platform::HostFileTime(listtest::kDosTime));
        EXPECT_EQ(header.FileCRC, 0);
        EXPECT_EQ(header.Flags, 0);
    }
    EXPECT_EQ(file.Next(&header), E_END_ARCHIVE);
}

INSTANTIATE_TEST_SUITE_P(ByteOrderAndCompression, ListClasses,
                         ::testing::Combine(::testing::Values(Order::Little, Order::Big),
                                            ::testing::Bool()));

TEST(ListEntries, AttributeBitsAndTheirPosixForm) {
    for (int bits = 0; bits < 8; ++bits) {
        const bool global = bits & 1, complex = bits & 2, logical = bits & 4;
        const int32_t attr = EntryAttributeBits(global, complex, logical);
        EXPECT_EQ(attr, 0x20 | (global ? 0x04 : 0) | (complex ? 0x01 : 0) | (logical ? 0x02 : 0));
        EXPECT_EQ(attr & 0x10, 0);   // never a directory
    }
#if !defined(_WIN32)
    // Double Commander reads a POSIX mode: a regular file, read-only when complex.
    EXPECT_EQ(platform::HostFileAttr(0x20), static_cast<int32_t>(S_IFREG | 0644));
    EXPECT_EQ(platform::HostFileAttr(0x25), static_cast<int32_t>(S_IFREG | 0444));
    EXPECT_EQ(platform::HostFileAttr(0x26), static_cast<int32_t>(S_IFREG | 0644));
    // ...and Unix time: the same local date and time.
    std::tm local{};
    local.tm_year = 105, local.tm_mon = 1, local.tm_mday = 18;
    local.tm_hour = 10, local.tm_min = 28, local.tm_sec = 2, local.tm_isdst = -1;
    EXPECT_EQ(platform::HostFileTime(listtest::kDosTime), static_cast<int32_t>(std::mktime(&local)));
#endif
}

TEST(ListEntries, StructAndCellDirectoriesFollowTheSwitch) {
    const Order o = Order::Little;
    testenv::TempDir dir;
    WriteFile(dir.file("dirs.mat"),
              File5(o, {StructVar(o, "st", {1, 1}, {"f"}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {1})}),
                        Compressed(o, CellVar(o, "c", {2, 3}, std::vector<Bytes>(6, NumericVar(o, "", mxDOUBLE, {0, 0}, {})), kGlobal)),
                        StructVar(o, "gs", {1, 1}, {"f"}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {1})}, kGlobal),
                        ObjectVar(o, "obj", "Cell", {1, 1}, {"f"}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {1})}),
                        NumericVar(o, "d", mxDOUBLE, {1, 1}, {1})}));
    const std::string sep(1, platform::kPathSeparator);

    listtest::SetStructCellAsDirs(false);
    {
        ListedFile file(dir.file("dirs.mat"));
        ASSERT_TRUE(file.ok());
        EXPECT_EQ(file.Names(), (std::vector<std::string>{"st.struct [1x1] ", "c.CELL [3x2] ",
                                                         "gs.STRUCT [1x1] ", "obj.cell [1x1] ",
                                                         "d.double [1x1] "}));
    }
    listtest::SetStructCellAsDirs(true);
    {
        ListedFile file(dir.file("dirs.mat"));
        ASSERT_TRUE(file.ok());
        tHeaderData header;
        ASSERT_EQ(file.Next(&header), 0);
        EXPECT_EQ(header.FileName, "st.struct [1x1] " + sep + "st");
        EXPECT_EQ(header.FileAttr, platform::HostFileAttr(0x20));   // no directory bit
        ASSERT_EQ(file.Next(&header), 0);
        EXPECT_EQ(header.FileName, "c.CELL [3x2] " + sep + "c");
        ASSERT_EQ(file.Next(&header), 0);
        EXPECT_EQ(header.FileName, "gs.STRUCT [1x1] " + sep + "gs");
        // An object whose class is called "Cell" is no cell.
        ASSERT_EQ(file.Next(&header), 0);
        EXPECT_STREQ(header.FileName, "obj.cell [1x1] ");
        ASSERT_EQ(file.Next(&header), 0);
        EXPECT_STREQ(header.FileName, "d.double [1x1] ");
    }
    listtest::SetStructCellAsDirs(false);
}

TEST(ListEntries, EndOfListingLeavesTheRecordAloneForever) {
    const Order o = Order::Big;
    testenv::TempDir dir;
    WriteFile(dir.file("three.mat"), File5(o, {NumericVar(o, "x", mxDOUBLE, {1, 1}, {1}),
                                               NumericVar(o, "y", mxDOUBLE, {1, 1}, {2}),
                                               NumericVar(o, "w", mxDOUBLE, {1, 1}, {3})}));
    ListedFile file(dir.file("three.mat"));
    ASSERT_TRUE(file.ok());
    int last = 0;
    EXPECT_EQ(file.Names(&last),
              (std::vector<std::string>{"x.double [1x1] ", "y.double [1x1] ", "w.double [1x1] "}));
    EXPECT_EQ(last, E_END_ARCHIVE);
    for (int i = 0; i < 3; ++i) {
        tHeaderData header;
        std::memset(&header, 0x5A, sizeof header);
        EXPECT_EQ(ListNextVariable(file.slot(), &header), E_END_ARCHIVE);
        for (size_t b = 0; b < sizeof header; ++b) {
            ASSERT_EQ(reinterpret_cast<unsigned char*>(&header)[b], 0x5A) << "byte " << b;
        }
    }
    EXPECT_EQ(file.slot()->nextVariableIndex, 3);

    WriteFile(dir.file("empty.mat"), File5(o, std::vector<Bytes>{}));
    ListedFile empty(dir.file("empty.mat"));
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.Names(&last).empty());
    EXPECT_EQ(last, E_END_ARCHIVE);
}

TEST(ListEntries, DamagedSecondHeaderFailsWithItsLineAndKeepsTheIndex) {
    const Order o = Order::Little;
    testenv::TempDir dir;
    // The second variable claims more bytes than the file holds.
    Bytes broken = NumericVar(o, "y", mxDOUBLE, {1, 1}, {2});
    const Bytes bigTag = Tag(o, miMATRIX, 0x7FFFFFF0);
    std::copy(bigTag.begin(), bigTag.end(), broken.begin());
    WriteFile(dir.file("broken.mat"), File5(o, {NumericVar(o, "x", mxDOUBLE, {1, 1}, {1}), broken,
                                                NumericVar(o, "w", mxDOUBLE, {1, 1}, {3})}));
    // The first pass of opening counted three variables (the file was whole then).
    ArchiveSlot slot{};
    const std::string path = dir.file("broken.mat");
    std::memcpy(slot.archivePath, path.c_str(), path.size() + 1);
    slot.matFile = matOpen(path.c_str(), "r");
    ASSERT_NE(slot.matFile, nullptr);
    slot.variableCount = 3;

    tHeaderData header;
    std::memset(&header, 0, sizeof header);
    ASSERT_EQ(ListNextVariable(&slot, &header), 0);
    EXPECT_STREQ(header.FileName, "x.double [1x1] ");

    std::memset(&header, 0x5A, sizeof header);
    testing::internal::CaptureStdout();
    const int result = ListNextVariable(&slot, &header);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, E_EREAD);
    EXPECT_EQ(printed, "Error reading in file " + path + "\n");
    EXPECT_EQ(slot.nextVariableIndex, 1);
    EXPECT_STREQ(header.ArcName, path.c_str());
    for (size_t b = offsetof(tHeaderData, FileName); b < sizeof header; ++b) {
        ASSERT_EQ(reinterpret_cast<unsigned char*>(&header)[b], 0x5A) << "byte " << b;
    }
    matClose(slot.matFile);
}

// Double Commander's 64-bit record is 576 bytes; the natural one 584. Nothing
// past FileAttr may be written, and HostOS is not ours either.
TEST(ListEntries, NothingPastFileAttrIsWritten) {
    const Order o = Order::Little;
    testenv::TempDir dir;
    listtest::SetStructCellAsDirs(true);
    WriteFile(dir.file("guard.mat"),
              File5(o, {StructVar(o, "st", {1, 1}, {"f"}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {1})})}));
    ListedFile file(dir.file("guard.mat"));
    ASSERT_TRUE(file.ok());
    alignas(8) unsigned char record[576 + 64];
    std::memset(record, 0xA5, sizeof record);
    ASSERT_EQ(ListNextVariable(file.slot(), reinterpret_cast<tHeaderData*>(record)), 0);
    listtest::SetStructCellAsDirs(false);
    for (size_t b = offsetof(tHeaderData, HostOS); b < offsetof(tHeaderData, FileCRC); ++b) {
        EXPECT_EQ(record[b], 0xA5) << "HostOS byte " << b;
    }
    for (size_t b = kHeaderDataWrittenEnd; b < sizeof record; ++b) {
        ASSERT_EQ(record[b], 0xA5) << "byte " << b << " past FileAttr";
    }
    EXPECT_STREQ(reinterpret_cast<const char*>(record + offsetof(tHeaderData, FileName)),
                 ("st.struct [1x1] " + std::string(1, platform::kPathSeparator) + "st").c_str());
}

}  // namespace
