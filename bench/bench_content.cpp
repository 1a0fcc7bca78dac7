// The content plug-in's column cost over a folder of MAT-files, against the
// least a file manager pays per file anyway (a stat and the first 4 KB).
// Usage: bench_content column PLUGIN DIR FIELD...   (a fresh process: no cached summaries)
//        bench_content stat4k DIR
//        bench_content names DIR
// `names` is the least a reader of variable names pays: a stat, the whole
// file read in one call, a walk over the variables' tags, and for each
// compressed one zlib inflating the first 64 bytes, where its name lies
// (one inflater reset per variable, nothing checked, nothing kept).
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_timer.h"
#include "tools/content_host.h"
#include "tools/plugin_host.h"

namespace {

std::vector<std::string> MatFiles(const std::string& dir) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".mat") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

// Variables whose first bytes were inflated, or -1 when the file cannot be read.
long long InflateNameBytes(const std::string& file, std::vector<unsigned char>& bytes, z_stream& z) {
    struct stat st;
    if (stat(file.c_str(), &st) != 0) return -1;
    FILE* f = std::fopen(file.c_str(), "rb");
    if (f == nullptr) return -1;
    bytes.resize(static_cast<size_t>(st.st_size));
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    long long inflated = 0;
    size_t at = 128;
    while (got >= 8 && at <= got - 8) {
        uint32_t type = 0, size = 0;
        std::memcpy(&type, bytes.data() + at, 4);
        std::memcpy(&size, bytes.data() + at + 4, 4);
        if (size > got - at - 8) break;
        if (type == 15) {
            unsigned char out[64];
            inflateReset(&z);
            z.next_in = bytes.data() + at + 8;
            z.avail_in = size;
            z.next_out = out;
            z.avail_out = sizeof out;
            if (inflate(&z, Z_NO_FLUSH) >= 0) ++inflated;
        }
        at += 8 + size + (type == 14 ? (8 - size % 8) % 8 : 0);
    }
    return inflated;
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "names") {
        const std::vector<std::string> files = MatFiles(argv[2]);
        std::vector<unsigned char> bytes;
        z_stream z{};
        if (inflateInit(&z) != Z_OK) return 1;
        long long read = 0;
        const double start = bench_now();
        for (const std::string& file : files) read += InflateNameBytes(file, bytes, z) >= 0 ? 1 : 0;
        bench_report(bench_now() - start, read);
        inflateEnd(&z);
        return read > 0 ? 0 : 1;
    }
    if (argc >= 3 && std::string(argv[1]) == "stat4k") {
        const std::vector<std::string> files = MatFiles(argv[2]);
        char block[4096];
        long long bytes = 0;
        const double start = bench_now();
        for (const std::string& file : files) {
            struct stat st;
            if (stat(file.c_str(), &st) != 0) continue;
            FILE* f = std::fopen(file.c_str(), "rb");
            if (f == nullptr) continue;
            bytes += static_cast<long long>(std::fread(block, 1, sizeof block, f));
            std::fclose(f);
        }
        bench_report(bench_now() - start, static_cast<long long>(files.size()));
        return bytes > 0 ? 0 : 1;
    }
    if (argc >= 5 && std::string(argv[1]) == "column") {
        matwcx::ContentHost host;
        std::string error;
        if (!host.Load(argv[2], &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        std::vector<int> fields;
        for (int i = 4; i < argc; ++i) fields.push_back(host.FieldIndex(argv[i]));
        const std::vector<std::string> files = MatFiles(argv[3]);
        std::vector<unsigned char> buffer(2049);
        long long answered = 0;
        const double start = bench_now();
        for (const std::string& file : files) {
            const matwcx::WideString wide = matwcx::Wide(file);
            for (int field : fields) {
                const int r = host.api().ContentGetValueW(const_cast<WCHAR*>(wide.c_str()), field, 0, buffer.data(), 2048, 0);
                if (r > 0) ++answered;
            }
        }
        bench_report(bench_now() - start, answered);
        return 0;
    }
    std::fprintf(stderr, "usage: bench_content column PLUGIN DIR FIELD... | stat4k DIR | names DIR\n");
    return 2;
}
