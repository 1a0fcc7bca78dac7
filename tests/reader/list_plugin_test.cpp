// Listing through the built plug-in, as Double Commander drives it: the
// option read from the settings file, the record's tail left alone, the end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host_rules.h"
#include "support/mat_builder.h"
#include "support/plugin_loader.h"
#include "support/test_env.h"

namespace {

using namespace matbuild;

std::vector<std::string> ListThroughPlugin(const testhost::Plugin& plugin, const std::string& path,
                                           bool structCellAsDirs) {
    testenv::TempDir settings;
    WriteFile(settings.file("wcx.ini"),
              Text(std::string("[MATlab]\nStructCellasDirs=") + (structCellAsDirs ? "1" : "0") +
                   "\nDeleteEnabled=1\n"));
    EXPECT_TRUE(plugin.SetDefaultParams(settings.file("wcx.ini")));
    testhost::Archive archive(plugin, path, PK_OM_LIST);
    EXPECT_TRUE(archive.ok()) << archive.openResult();
    if (!archive.ok()) return {};
    int last = 0;
    std::vector<std::string> names;
    const std::vector<testhost::Entry> entries = archive.ReadAll(&last);
    EXPECT_EQ(last, E_END_ARCHIVE);
    for (const testhost::Entry& entry : entries) {
        names.push_back(entry.fileName);
        EXPECT_TRUE(entry.tailUntouched) << entry.fileName;
        EXPECT_EQ(entry.arcName, path);
        EXPECT_EQ(entry.fileTime, entries.front().fileTime);
        EXPECT_EQ(entry.hostOS, entries.front().hostOS);
    }
    // However often the host asks again, the listing stays at its end.
    testhost::Entry entry;
    EXPECT_EQ(testhost::ReadOneHeader(plugin, archive.handle(), &entry), E_END_ARCHIVE);
    EXPECT_EQ(testhost::ReadOneHeader(plugin, archive.handle(), &entry), E_END_ARCHIVE);
    return names;
}

TEST(ListPlugin, EntriesAndTheStructCellSwitch) {
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    if (!testhost::loaded(plugin)) return;
    const Order o = Order::Big;
    testenv::TempDir dir;
    const std::string path = dir.file("plugin.mat");
    WriteFile(path, File5(o, {NumericVar(o, "A", mxDOUBLE, {3, 4}, Iota(12)),
                              Compressed(o, StructVar(o, "st", {1, 1}, {"f"}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {1})})),
                              CellVar(o, "c", {2, 3}, std::vector<Bytes>(6, NumericVar(o, "", mxDOUBLE, {0, 0}, {})), kGlobal)}));
    const std::string sep(1, platform::kPathSeparator);
    EXPECT_EQ(ListThroughPlugin(plugin, path, false),
              (std::vector<std::string>{"A.double [4x3] ", "st.struct [1x1] ", "c.CELL [3x2] "}));
    EXPECT_EQ(ListThroughPlugin(plugin, path, true),
              (std::vector<std::string>{"A.double [4x3] ", "st.struct [1x1] " + sep + "st",
                                        "c.CELL [3x2] " + sep + "c"}));
}

}  // namespace
