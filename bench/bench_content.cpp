// The content plug-in's column cost over a folder of MAT-files, against the
// least a file manager pays per file anyway (a stat and the first 4 KB).
// Usage: bench_content column PLUGIN DIR FIELD...   (a fresh process: no cached summaries)
//        bench_content stat4k DIR
#include <sys/stat.h>

#include <algorithm>
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

int main(int argc, char** argv) {
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
    std::fprintf(stderr, "usage: bench_content column PLUGIN DIR FIELD... | stat4k DIR\n");
    return 2;
}
