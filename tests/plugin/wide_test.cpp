// The UTF-16 calls and the long records: paths in any script and of any
// length, 64-bit sizes, names up to 1023 characters, and nothing written
// where the hosts' layouts differ.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "support/support.h"
#include "wcx/extension.h"

namespace {

using namespace matbuild;
using matwcx::Narrow;
using matwcx::Wide;
using matwcx::WideString;
using support::Path;
namespace fs = std::filesystem;

class Wide16 : public support::PluginTest {
protected:
    // OpenArchiveW; the handle or null with *result.
    HANDLE Open(const WideString& path, int mode, int* result) {
        WideString name = path;
        tOpenArchiveDataW data{};
        data.ArcName = name.data();
        data.OpenMode = mode;
        HANDLE handle = nullptr;
        testhost::CaptureStdout([&] { handle = plugin.OpenArchiveW(&data); });
        *result = data.OpenResult;
        return handle;
    }
};

// Paths in any script, over 300 bytes of UTF-8, open, list, extract and
// delete; a lone surrogate names no file: each call says so and makes nothing.
TEST_F(Wide16, LongPathsInAnyScriptWorkAndIllFormedOnesAreRefused) {
    const std::string folder = Path("данные", std::string(200, 'd'));
    fs::create_directories(matbuild::FsPath(Path(dir.path(), folder)));
    const std::string path = Write(Path(folder, "測定.mat"),
                                   File5(Order::Little, {NumericVar(Order::Little, "A", mxDOUBLE, {1, 2}, {1, 2}),
                                                         NumericVar(Order::Little, "B", mxINT8, {1, 1}, {7})}));
    WideString broken = Wide(Path(dir.path(), "x"));
    broken.push_back(0xD800);
    int result = -1;
    EXPECT_EQ(Open(broken, PK_OM_LIST, &result), nullptr);
    EXPECT_EQ(result, E_EOPEN);
    HANDLE handle = Open(Wide(path), PK_OM_EXTRACT, &result);
    ASSERT_NE(handle, nullptr) << result;
    auto header = std::make_unique<tHeaderDataExW>();
    ASSERT_EQ(plugin.ReadHeaderExW(handle, header.get()), 0);
    EXPECT_EQ(Narrow(header->FileName), "A.double [2x1] ");
    EXPECT_EQ(Narrow(header->ArcName), path);
    const std::string out = Path(Path(dir.path(), "выход"), "A.double [2x1] ");
    WideString destination = Wide(out);
    EXPECT_EQ(plugin.ProcessFileW(handle, PK_EXTRACT, nullptr, destination.data()), 0);
    EXPECT_EQ(plugin.ProcessFileW(handle, PK_EXTRACT, nullptr, broken.data()), E_ECREATE);
    EXPECT_EQ(plugin.CloseArchive(handle), 0);
    EXPECT_EQ(support::VariableNames(out + ".mat"), std::vector<std::string>{"A"});

    // Lists of one name as the host hands them: two NULs at the end.
    WideString packed = Wide(path), list = Wide("B.int8 [1x1] ") + WideString(2, 0), brokenList = broken + WideString(2, 0);
    EXPECT_EQ(plugin.CanYouHandleThisFileW(packed.data()), 1);
    EXPECT_EQ(plugin.CanYouHandleThisFileW(broken.data()), 0);
    EXPECT_EQ(plugin.DeleteFilesW(broken.data(), brokenList.data()), E_EOPEN);
    EXPECT_EQ(plugin.DeleteFilesW(packed.data(), brokenList.data()), E_NO_FILES);
    EXPECT_EQ(plugin.DeleteFilesW(packed.data(), list.data()), 0);
    EXPECT_EQ(support::VariableNames(path), std::vector<std::string>{"A"});
    EXPECT_EQ(support::Entries(dir.path()).size(), 3u);   // the two folders and wcx.ini
}

// The three records list the same entries; the long ones carry 64-bit sizes
// and names up to 1023 characters, the short one clamps and shortens. Each
// writes nothing past FileAttr but its own fields, and MfileTime only for a
// Double Commander that reads it (form 3).
TEST_F(Wide16, TheThreeRecordsAgreeWithinTheirLimits) {
    const Order o = Order::Little;
    const std::string n300(300, 'p');
    const Bytes one = NumericVar(o, n300, mxDOUBLE, {1, 1}, {1});
    const Bytes big = Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, {600000000, 1}), NameElement(o, "big"),
                                     Tag(o, miDOUBLE, 0)}));
    const std::string path =
        Write("big.mat", File5(o, {one, big}, "MATLAB 5.0 MAT-file, written by Octave 7.3.0, 2026-12-07 02:59:32 UTC"));
    const uint64_t mfileTime = 134410859720000000;   // that time in 100 ns since 1601
    std::vector<unsigned char> startup(sizeof(tExtensionStartupInfo), 0);
    const uint32_t structSize = sizeof(tExtensionStartupInfo);
    const uintptr_t versionApi = 5;
    std::memcpy(startup.data(), &structSize, sizeof structSize);
    std::memcpy(startup.data() + offsetof(tExtensionStartupInfo, VersionAPI), &versionApi, sizeof versionApi);
    // "big" claims 4.8 GB of values; its header is all the listing reads.
    const struct { std::string name; uint64_t packSize, unpSize; } longRows[] = {
        {n300 + ".double [1x1] ", one.size(), 8}, {"big.double [1x600000000] ", big.size(), 4800000000ull}};
    const std::string shortNames[] = {std::string(117, 'p') + "%~1.double [1x1] ", "big.double [1x600000000] "};
    const auto size64 = [](uint32_t high, uint32_t low) { return uint64_t{high} << 32 | low; };
    int result = -1;
    for (int form = 0; form < 4; ++form) {
        SCOPED_TRACE(form);
        if (form == 3) plugin.ExtensionInitialize(reinterpret_cast<tExtensionStartupInfo*>(startup.data()));
        HANDLE handle = Open(Wide(path), PK_OM_LIST, &result);
        ASSERT_NE(handle, nullptr) << result;
        for (size_t i = 0; i < 2; ++i) {
            std::string name;
            uint64_t packSize = 0, unpSize = 0;
            std::vector<unsigned char> record(std::max(sizeof(tHeaderDataExW), kMfileTimeOffset + 8), 0x5A);
            size_t writtenEnd = kHeaderDataExWWrittenEnd;
            if (form == 0) {
                auto* h = reinterpret_cast<tHeaderData*>(record.data());
                ASSERT_EQ(plugin.ReadHeader(handle, h), 0);
                name = h->FileName, packSize = static_cast<uint64_t>(h->PackSize), unpSize = static_cast<uint64_t>(h->UnpSize);
                writtenEnd = kHeaderDataWrittenEnd;
            } else if (form == 1) {
                auto* h = reinterpret_cast<tHeaderDataEx*>(record.data());
                ASSERT_EQ(plugin.ReadHeaderEx(handle, h), 0);
                name = h->FileName, packSize = size64(h->PackSizeHigh, h->PackSize), unpSize = size64(h->UnpSizeHigh, h->UnpSize);
                writtenEnd = kHeaderDataExWrittenEnd;
            } else {
                auto* h = reinterpret_cast<tHeaderDataExW*>(record.data());
                ASSERT_EQ(plugin.ReadHeaderExW(handle, h), 0);
                name = Narrow(h->FileName), packSize = size64(h->PackSizeHigh, h->PackSize), unpSize = size64(h->UnpSizeHigh, h->UnpSize);
            }
            EXPECT_EQ(name, form == 0 ? shortNames[i] : longRows[i].name);
            EXPECT_EQ(packSize, longRows[i].packSize);
            EXPECT_EQ(unpSize, form == 0 ? std::min<uint64_t>(longRows[i].unpSize, INT32_MAX) : longRows[i].unpSize);
            if (form == 3) {
                uint64_t time = 0;
                std::memcpy(&time, record.data() + kMfileTimeOffset, sizeof time);
                EXPECT_EQ(time, mfileTime);
                std::fill_n(record.begin() + static_cast<std::ptrdiff_t>(kMfileTimeOffset), 8, 0x5A);
            }
            for (size_t b = writtenEnd; b < record.size(); ++b) ASSERT_EQ(record[b], 0x5A) << "byte " << b;
        }
        EXPECT_EQ(plugin.CloseArchive(handle), 0);
    }
    plugin.ExtensionFinalize(nullptr);
}

}  // namespace
