// Where the tests find what the build and the test-data writers made.
#pragma once

#include <string>

namespace testenv {

// The value of an environment variable that ctest sets, or "" when unset:
// MATWCX_PLUGIN (the built plug-in), MATWCX_TOOL (the matwcx command).
std::string Get(const char* name);
// The folder of third-party files.
std::string TestDataDir();

// A fresh empty folder below the system's temporary folder, removed with
// everything in it when the object goes. In memory (/dev/shm where there is
// one) for tests that write many small files and test nothing of the disk:
// there a flush to the disk costs nothing.
class TempDir {
public:
    enum class Where { Disk, Memory };
    explicit TempDir(Where where = Where::Disk);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace testenv
