// Which files are taken in, and the name each gives.
#include "import/import.h"

#include <cctype>
#include <cstring>

#include "os/file_io.h"

namespace importing {

namespace {

enum class Kind { None, Npy, Csv };

// The extension after the last dot of the last component, lowercase.
Kind KindOf(const char* path, std::string* stem) {
    if (path == nullptr) return Kind::None;
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    const char* dot = std::strrchr(base, '.');
    if (dot == nullptr) return Kind::None;
    std::string extension;
    for (const char* p = dot + 1; *p != '\0'; ++p) extension += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    if (stem != nullptr) stem->assign(base, dot);
    if (extension == "npy") return Kind::Npy;
    if (extension == "csv") return Kind::Csv;
    return Kind::None;
}

}  // namespace

bool IsImportable(const char* path) { return KindOf(path, nullptr) != Kind::None; }

mxArray* ImportFile(const char* path, std::string* why) {
    std::string stem;
    const Kind kind = KindOf(path, &stem);
    if (kind == Kind::None) {
        *why = "not a MAT-file, NPY or CSV file";
        return nullptr;
    }
    FILE* stream = platform::FileSystem().open(path, "rb");
    platform::FileStatus status;
    if (stream == nullptr) {
        *why = "cannot be read";
        return nullptr;
    }
    if (platform::FileSystem().fileStatus(stream, &status) != 0 || !status.isRegularFile) {
        platform::FileSystem().close(stream);
        *why = "cannot be read";
        return nullptr;
    }
    const std::string name = ValidName(stem);
    return kind == Kind::Npy ? ImportNpy(stream, path, name, why) : ImportCsv(stream, path, name, why);
}

}  // namespace importing
