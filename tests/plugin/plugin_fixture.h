// Shared by the tests that drive the built plug-in: a folder of the test's
// own, a settings file handed to the plug-in, and small MAT-files.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "plugin/archive_slots.h"
#include "support/mat_builder.h"
#include "support/plugin_loader.h"
#include "support/test_env.h"

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testhost::loaded(plugin));
        ASSERT_TRUE(plugin.SetDefaultParams(dir.file("wcx.ini")));
    }

    // The handle is the slot's address; the slot's layout is ours.
    static const ArchiveSlot& Slot(HANDLE handle) { return *static_cast<const ArchiveSlot*>(handle); }

    // A level-5 file holding the doubles A (3-by-4) and B (1-by-2), with
    // MATLAB's header text (created Fri Feb 18 10:28:03 2005).
    std::string WriteAB(const std::string& name = "ab.mat") {
        using namespace matbuild;
        const std::string path = dir.file(name);
        WriteFile(path, File5(Order::Little, {NumericVar(Order::Little, "A", mxDOUBLE, {3, 4}, Iota(12)),
                                              NumericVar(Order::Little, "B", mxDOUBLE, {1, 2}, Iota(2))}));
        return path;
    }

    // A level-5 file with one variable and the given header text.
    std::string WriteWithHeaderText(const std::string& name, const std::string& text) {
        using namespace matbuild;
        const std::string path = dir.file(name);
        WriteFile(path, File5(Order::Little, {NumericVar(Order::Little, "x", mxDOUBLE, {1, 1}, {7})}, text));
        return path;
    }

    // A version 4 file with one 2-by-3 matrix.
    std::string WriteV4(const std::string& name = "v4.mat") {
        using namespace matbuild;
        const std::string path = dir.file(name);
        WriteFile(path, V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Full, "m", 2, 3, Iota(6)));
        return path;
    }

    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    testenv::TempDir dir;
};
