// Files other programs wrote (scipy.io; MATLAB itself, as Debian's scipy ships
// them for its own tests) list fully, each entry as the independent header
// walker of the test data (the .json beside each file) describes it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "list_helpers.h"
#include "platform/host_rules.h"
#include "support/test_env.h"

namespace {

// Turns the .json descriptions into one line per variable:
//   file <TAB> listed name <TAB> class text or "*" <TAB> dimensions <TAB> attribute bits
// or "file <TAB> !" for a file the walker could not walk.
const char* const kExpectedEntries = R"PY(
import glob, json, os, sys
def listed(raw, occurrence):
    if raw == b"":
        text = "%__function_workspace__"
    else:
        text = "".join(chr(b) if chr(b).isascii() and (chr(b).isalnum() or b == 95)
                       else "%%%02X" % b for b in raw)
    return text + ("%%#%d" % occurrence if occurrence > 1 else "")
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*.json"))):
    d = json.load(open(path, encoding="utf-8"))
    mat = d.get("file") or os.path.basename(path)[:-5] + ".mat"
    if "error" in d or "variables" not in d:
        print("%s\t!" % mat)
        continue
    seen = {}
    for v in d["variables"]:
        try:
            raw = v["name"].encode("latin1")   # the walker reads name bytes as latin1
        except UnicodeEncodeError:
            raw = v["name"].encode("utf-8")
        seen[raw] = seen.get(raw, 0) + 1
        cls = v["class"]
        if cls == "object":
            cls = v.get("classname", "*")
        if cls in ("opaque",):
            cls = "*"
        if cls != "*":
            cls = cls.upper() if v["global"] else cls.lower()
        dims = "x".join(str(x) for x in reversed(v["dims"]))
        if v.get("sparse") and v.get("stored_dims", [0, 0])[1] == 4:
            v["complex"] = True   # version 4 keeps a complex sparse matrix in four columns
        bits = 0x20 | (4 if v["global"] else 0) | (1 if v["complex"] else 0) | (2 if v["logical"] else 0)
        print("%s\t%s\t%s\t%s\t%d" % (mat, listed(raw, seen[raw]), cls, dims, bits))
)PY";

struct ExpectedEntry {
    std::string listedName, classText, dims;
    int bits = 0;
};

struct ExpectedFile {
    std::string file;
    bool walkable = true;
    std::vector<ExpectedEntry> entries;
};

std::vector<ExpectedFile> Describe(const std::string& folder) {
    testenv::TempDir scratch;
    const std::string script = scratch.file("expected.py");
    FILE* out = std::fopen(script.c_str(), "w");
    if (out == nullptr) return {};
    std::fputs(kExpectedEntries, out);
    std::fclose(out);
    const std::string command = "/usr/bin/python3 " + script + " '" + folder + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return {};
    std::string text;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) text.append(buffer, got);

    std::vector<ExpectedFile> files;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '\t')) fields.push_back(field);
        if (fields.empty()) continue;
        if (files.empty() || files.back().file != fields[0]) files.push_back({fields[0], true, {}});
        if (fields.size() == 2 && fields[1] == "!") {
            files.back().walkable = false;
        } else if (fields.size() == 5) {
            files.back().entries.push_back({fields[1], fields[2], fields[3], std::stoi(fields[4])});
        }
    }
    return files;
}

void ListsAsDescribed(const std::string& folder, size_t minimumFiles) {
    if (testenv::TestDataDir().empty()) GTEST_SKIP() << "no test data (run through ctest)";
    listtest::SetStructCellAsDirs(false);
    const std::vector<ExpectedFile> files = Describe(folder);
    ASSERT_GE(files.size(), minimumFiles) << folder;
    for (const ExpectedFile& expected : files) {
        SCOPED_TRACE(expected.file);
        listtest::ListedFile file(folder + "/" + expected.file);
        // Deliberately broken files, or no level 4/5 file: listing them must
        // only not crash. bad_miuint32.mat has a negative dimension.
        if (!expected.walkable || expected.file == "bad_miuint32.mat") {
            int last = 0;
            if (file.ok()) file.Names(&last);
            EXPECT_TRUE(!file.ok() || last == E_END_ARCHIVE || last == E_EREAD) << last;
            continue;
        }
        if (!file.ok() || file.slot()->variableCount != static_cast<int>(expected.entries.size())) {
            ADD_FAILURE() << "opened " << file.ok() << ", variables counted "
                          << file.slot()->variableCount << " of " << expected.entries.size();
            continue;
        }
        for (const ExpectedEntry& entry : expected.entries) {
            tHeaderData header;
            ASSERT_EQ(file.Next(&header), 0) << entry.listedName;
            const std::string name = header.FileName;
            const std::string head = entry.listedName + ".";
            const std::string tail = " [" + entry.dims + "] ";
            if (entry.classText != "*") {
                EXPECT_EQ(name, head + entry.classText + tail);
            } else {
                EXPECT_EQ(name.rfind(head, 0), 0u) << name;
                EXPECT_TRUE(name.size() > tail.size() &&
                            name.compare(name.size() - tail.size(), tail.size(), tail) == 0)
                    << name;
            }
            EXPECT_EQ(header.FileAttr, platform::HostFileAttr(entry.bits)) << name;
        }
        tHeaderData header;
        EXPECT_EQ(file.Next(&header), E_END_ARCHIVE);
    }
}

TEST(ListInterop, ScipyWrittenFiles) { ListsAsDescribed(testenv::TestDataDir() + "/scipy", 3); }

TEST(ListInterop, OctaveWrittenFiles) {
    if (!testenv::TestDataDir().empty() && Describe(testenv::TestDataDir() + "/octave").empty()) {
        GTEST_SKIP() << "no Octave files (octave-cli not installed)";
    }
    ListsAsDescribed(testenv::TestDataDir() + "/octave", 1);
}

TEST(ListInterop, MatlabWrittenFiles) { ListsAsDescribed(testenv::TestDataDir() + "/matlab", 90); }

}  // namespace
