// The archive slots, the callbacks and the small exports, through the built
// plug-in.
#include <dirent.h>

#include <cstring>
#include <memory>

#include "plugin_fixture.h"

namespace {

using testhost::Archive;

int WCX_CALL ProgressA(char*, int) { return 1; }
int WCX_CALL ProgressB(char*, int) { return 1; }
int WCX_CALL VolumeA(char*, int) { return 0; }

// Progress texts that DeleteFiles reported, by callback.
std::vector<std::string> progressSeenByWide;
std::vector<std::string> progressSeenBySlot;
int WCX_CALL RecordWide(char* text, int) {
    progressSeenByWide.push_back(text != nullptr ? text : "");
    return 1;
}
int WCX_CALL RecordSlot(char* text, int) {
    progressSeenBySlot.push_back(text != nullptr ? text : "");
    return 1;
}

int OpenDescriptorCount() {
    int count = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    while (::readdir(fds) != nullptr) ++count;
    ::closedir(fds);
    return count;
}

class SlotTest : public PluginTest {};

TEST_F(SlotTest, TwoSlotsThenRefusalThenReuse) {
    const std::string path = WriteAB();
    auto first = std::make_unique<Archive>(plugin, path, PK_OM_LIST);
    Archive second(plugin, path, PK_OM_EXTRACT);
    ASSERT_TRUE(first->ok());
    ASSERT_TRUE(second.ok());
    EXPECT_NE(first->handle(), second.handle());
    const HANDLE slot0 = first->handle();

    // A third opening fails at once: nothing opened, nothing printed.
    Archive third(plugin, path, PK_OM_LIST);
    EXPECT_FALSE(third.ok());
    EXPECT_EQ(third.openResult(), E_EOPEN);
    EXPECT_EQ(third.openOutput(), "");

    // Closing slot 0 while slot 1 stays open: the next opening takes slot 0.
    EXPECT_EQ(first->Close(), 0);
    first = std::make_unique<Archive>(plugin, path, PK_OM_LIST);
    ASSERT_TRUE(first->ok());
    EXPECT_EQ(first->handle(), slot0);
    EXPECT_EQ(Slot(second.handle()).inUse, 1u);
}

TEST_F(SlotTest, BothFreeTakesSlotZeroAndReuseStartsFromZero) {
    const std::string ab = WriteAB();
    HANDLE slot0 = nullptr;
    {
        Archive archive(plugin, ab, PK_OM_EXTRACT);
        ASSERT_TRUE(archive.ok());
        slot0 = archive.handle();
        plugin.SetChangeVolProc(archive.handle(), VolumeA);
        plugin.SetProcessDataProc(archive.handle(), ProgressA);
        testhost::Entry entry;
        testhost::ReadOneHeader(plugin, archive.handle(), &entry);
    }
    EXPECT_EQ(Slot(slot0).inUse, 0u);
    // After closing, the fields keep their values until the slot is claimed again.
    EXPECT_EQ(Slot(slot0).processDataProc, &ProgressA);

    const std::string v4 = WriteV4();
    Archive archive(plugin, v4, PK_OM_LIST);
    ASSERT_TRUE(archive.ok());
    ASSERT_EQ(archive.handle(), slot0);
    const ArchiveSlot& slot = Slot(archive.handle());
    EXPECT_EQ(slot.variableCount, 1);
    EXPECT_EQ(slot.nextVariableIndex, 0);
    EXPECT_EQ(slot.openMode, PK_OM_LIST);
    EXPECT_EQ(slot.changeVolProc, nullptr);
    EXPECT_EQ(slot.processDataProc, nullptr);
    EXPECT_STREQ(slot.archivePath, v4.c_str());
    EXPECT_NE(slot.archiveTimeStamp, 0x32525381u);   // the v4 file's own time, not the old header's
    for (size_t i = 20; i < sizeof slot.headerBlock; ++i) ASSERT_EQ(slot.headerBlock[i], 0) << i;
}

TEST_F(SlotTest, CloseIsHarmlessOnNullAndOnAClosedHandle) {
    EXPECT_EQ(plugin.CloseArchive(nullptr), 0);
    const std::string path = WriteAB();
    HANDLE handle;
    {
        Archive archive(plugin, path, PK_OM_LIST);
        ASSERT_TRUE(archive.ok());
        handle = archive.handle();
    }
    // Outside the host's order, but a second close must not close the freed
    // library handle again.
    EXPECT_EQ(plugin.CloseArchive(handle), 0);
    Archive again(plugin, path, PK_OM_LIST);
    EXPECT_TRUE(again.ok());
}

TEST_F(SlotTest, CallbacksGoToTheProcessOrToTheSlot) {
    const std::string path = WriteAB();
    Archive archive(plugin, path, PK_OM_LIST);
    ASSERT_TRUE(archive.ok());
    const ArchiveSlot& slot = Slot(archive.handle());

    plugin.SetChangeVolProc(testhost::ProcessWideHandle(), VolumeA);
    plugin.SetProcessDataProc(testhost::ProcessWideHandle(), ProgressA);
    EXPECT_EQ(slot.changeVolProc, nullptr);
    EXPECT_EQ(slot.processDataProc, nullptr);

    plugin.SetChangeVolProc(archive.handle(), VolumeA);
    plugin.SetProcessDataProc(archive.handle(), ProgressB);
    EXPECT_EQ(slot.changeVolProc, &VolumeA);
    EXPECT_EQ(slot.processDataProc, &ProgressB);
    plugin.SetProcessDataProc(nullptr, ProgressA);   // ignored, no crash
}

TEST_F(SlotTest, DeletionReportsThroughTheProcessWideCallbackOnly) {
    const std::string path = WriteAB();
    Archive archive(plugin, WriteAB("other.mat"), PK_OM_LIST);
    ASSERT_TRUE(archive.ok());
    progressSeenByWide.clear();
    progressSeenBySlot.clear();
    plugin.SetProcessDataProc(testhost::ProcessWideHandle(), RecordWide);
    plugin.SetProcessDataProc(archive.handle(), RecordSlot);
    int result = -1;
    testhost::CaptureStdout([&] { result = plugin.Delete(path, {"B.double [2x1] "}); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(progressSeenByWide, std::vector<std::string>{"seeking [0%] B"});
    EXPECT_TRUE(progressSeenBySlot.empty());
    plugin.SetProcessDataProc(testhost::ProcessWideHandle(), nullptr);
}

TEST_F(SlotTest, CapsAre351) {
    EXPECT_EQ(plugin.GetPackerCaps(), 351);
    EXPECT_EQ(plugin.GetPackerCaps(), 351);
}

TEST_F(SlotTest, CanYouHandleThisFileAsksTheEngine) {
    const std::string v5 = WriteAB();
    const std::string v4 = WriteV4();
    const std::string text = dir.file("notes.txt");
    matbuild::WriteFile(text, matbuild::Text("x = [1 2 3];\n"));
    const std::string empty = dir.file("empty.mat");
    matbuild::WriteFile(empty, {});

    const auto askAll = [&] {
        EXPECT_TRUE(plugin.CanHandle(v5));
        EXPECT_TRUE(plugin.CanHandle(v4));
        EXPECT_FALSE(plugin.CanHandle(text));
        EXPECT_FALSE(plugin.CanHandle(empty));
        EXPECT_FALSE(plugin.CanHandle(dir.file("missing.mat")));
        EXPECT_FALSE(plugin.CanHandle(dir.path()));
        EXPECT_EQ(plugin.CanYouHandleThisFile(nullptr), 0);
    };
    // A first round lets the runtime open what it opens lazily (a new Wine
    // prefix opens registry and device files on first use); only the second
    // round's descriptors are the plug-in's.
    askAll();
    const int before = OpenDescriptorCount();
    std::string output = testhost::CaptureStdout(askAll);
    EXPECT_EQ(output, "");
    EXPECT_EQ(OpenDescriptorCount(), before);   // nothing left open

    // It uses no slot: two archives still open.
    Archive first(plugin, v5, PK_OM_LIST);
    Archive second(plugin, v5, PK_OM_LIST);
    EXPECT_TRUE(first.ok());
    EXPECT_TRUE(second.ok());
}

}  // namespace
