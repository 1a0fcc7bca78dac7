// Shared by the write and update suites: running the engine's extraction and
// deletion the way the plug-in does, looking for stray temporary files, and
// asking scipy whether it agrees.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "matlib/mat.h"
#include "support/mat_builder.h"
#include "support/test_env.h"

namespace wu {

// Extracts the named variable of `source` into a new MAT-file `target`, as
// extraction does: 0 on success, else which step failed (1 open source, 2
// create target, 3 read, 4 put, 5 close target).
inline int Extract(const std::string& source, const char* name, const std::string& target) {
    MATFile* in = matOpen(source.c_str(), "r");
    if (in == nullptr) return 1;
    MATFile* out = matOpen(target.c_str(), "w");
    if (out == nullptr) {
        matClose(in);
        return 2;
    }
    mxArray* array = matGetArray(in, name);
    int result = 0;
    if (array == nullptr) result = 3;
    else if (matPutArray(out, array) != 0) result = 4;
    if (matClose(out) != 0 && result == 0) result = 5;
    mxDestroyArray(array);
    matClose(in);
    return result;
}

// Deletes the named variables as deletion does: -1 when the file cannot be
// opened for update, else matClose's result. `notFound` counts the names
// matDeleteArray refused.
inline int Delete(const std::string& path, const std::vector<std::string>& names, int* notFound = nullptr) {
    MATFile* mfp = matOpen(path.c_str(), "u");
    if (mfp == nullptr) return -1;
    int refused = 0;
    for (const std::string& name : names) {
        if (matDeleteArray(mfp, name.c_str()) != 0) ++refused;
    }
    if (notFound != nullptr) *notFound = refused;
    return matClose(mfp);
}

// Files in the folder whose names the engine gives its temporary files.
inline std::vector<std::string> StrayTemporaries(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        const std::string name = item.path().filename().string();
        // ".matwcx-..." here, "~mw....." on Windows (short for MAX_PATH).
        if (name.rfind(".matwcx-", 0) == 0 || name.rfind("~mw", 0) == 0) found.push_back(name);
    }
    return found;
}

inline std::string Python() {
    const std::string configured = testenv::Get("MATWCX_PYTHON");
    return configured.empty() ? "/usr/bin/python3" : configured;
}

inline bool HavePython() {
    return std::system((Python() + " -c 'import scipy.io' >/dev/null 2>&1").c_str()) == 0;
}

// Runs a python script (scipy and numpy imported as sio and np, `files` the
// list of arguments); true when it exits 0. Its output goes to *output.
inline bool RunScipy(const testenv::TempDir& dir, const std::string& body, const std::vector<std::string>& files,
                     std::string* output) {
    const std::string script = dir.file("check.py");
    const std::string log = dir.file("check.log");
    {
        std::ofstream out(script);
        out << "import sys, numpy as np, scipy.io as sio\nfiles = sys.argv[1:]\n" << body << "\n";
    }
    std::string command = Python() + " '" + script + "'";
    for (const std::string& file : files) command += " '" + file + "'";
    command += " >'" + log + "' 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(log);
    output->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return status == 0;
}

}  // namespace wu
