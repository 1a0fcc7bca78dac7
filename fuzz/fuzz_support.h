// What the fuzz targets share: a private working folder for the process,
// files written from the fuzzer's bytes, and a check that stops the fuzzer
// with a message when a property that must hold for every input does not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzsupport {

// The process's own folder below $TMPDIR (or /tmp), made on first use and
// removed at normal exit. A crashed run leaves it behind: its name says whose.
const std::string& WorkDir();

// WorkDir()/name.
std::string PathIn(const std::string& name);

// A version 7.3 worker that does not answer is given up after 3 s, well
// inside libFuzzer's -timeout (scripts/fuzz_smoke.sh: 10 s): a libhdf5 that
// loops on a damaged file is an error code, not a finding.
void BoundWorkerWaits();

// Writes the bytes as the file at path (replacing it); aborts when it cannot,
// since every later result would be meaningless.
void WriteBytes(const std::string& path, const uint8_t* data, size_t size);
std::string ReadBytes(const std::string& path);
void CopyFile(const std::string& from, const std::string& to);

// Removes path and everything below it; a missing path is fine.
void RemoveAll(const std::string& path);

// Makes an empty folder at path (removing what stood there).
void FreshFolder(const std::string& path);

// The names in a folder (not recursive), sorted.
std::string ListFolder(const std::string& path);

// The engine on the file at path (size bytes): every reading, writing and
// deleting operation, with the properties each must keep (engine_drive.cpp).
void DriveEngine(const std::string& path, size_t size);

// A property every input must keep: prints what broke and aborts, so that
// libFuzzer records the input as a finding.
[[noreturn]] void Fail(const char* what, const std::string& detail = "");
inline void Require(bool holds, const char* what, const std::string& detail = "") {
    if (!holds) Fail(what, detail);
}

}  // namespace fuzzsupport
