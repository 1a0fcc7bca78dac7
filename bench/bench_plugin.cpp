// The plug-in as a file manager drives it, loaded with dlopen.
//   bench_plugin PLUGIN list FILE             OpenArchive, ReadHeader (+ ProcessFile
//                                             PK_SKIP, as hosts call it) to the end, CloseArchive
//   bench_plugin PLUGIN extract FILE VAR DIR  the same, with PK_EXTRACT for VAR into DIR
//   bench_plugin PLUGIN view FILE VAR DIR     extract into DIR/_tc with ShowContents on:
//                                             the viewer's text as MATLAB lays it out
//   bench_plugin PLUGIN delete FILE VAR...    DeleteFiles with the entries of VAR...
// The plug-in's diagnostic lines go to standard output; the result line to
// standard error (bench_timer.h).
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_timer.h"
#include "wcx/plugin_api.h"

namespace {

struct Api {
    decltype(&::OpenArchive) OpenArchive;
    decltype(&::ReadHeader) ReadHeader;
    decltype(&::ProcessFile) ProcessFile;
    decltype(&::CloseArchive) CloseArchive;
    decltype(&::SetProcessDataProc) SetProcessDataProc;
    decltype(&::DeleteFiles) DeleteFiles;
    decltype(&::PackSetDefaultParams) PackSetDefaultParams;
};

template <typename F>
bool Bind(void* lib, const char* name, F& out) {
    out = reinterpret_cast<F>(dlsym(lib, name));
    if (out == nullptr) std::fprintf(stderr, "bench_plugin: no export %s\n", name);
    return out != nullptr;
}

int ContinueProgress(char*, int) { return 1; }

// A settings file of our own with deletion allowed, handed over as a host does.
bool Configure(const Api& api, std::string& iniPath, bool showContents) {
    char path[] = "/tmp/matwcx-bench-XXXXXX.ini";
    int fd = mkstemps(path, 4);
    if (fd < 0) return false;
    const std::string text = std::string("[MATlab]\nStructCellasDirs=0\nDeleteEnabled=1\n") +
                             (showContents ? "ShowContents=1\n" : "");
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    iniPath = path;
    PackDefaultParamStruct dps{};
    dps.size = sizeof dps;
    dps.PluginInterfaceVersionLow = 22;
    dps.PluginInterfaceVersionHi = 2;
    std::snprintf(dps.DefaultIniName, sizeof dps.DefaultIniName, "%s", path);
    api.PackSetDefaultParams(&dps);
    return ok;
}

std::string VariableOf(const char* entry) {
    const char* dot = std::strchr(entry, '.');
    return dot ? std::string(entry, dot) : std::string(entry);
}

// Walks the archive; PK_EXTRACT for the entry of `extractVar` into `dir`
// (when given), PK_SKIP for the rest. Counts the entries, and collects their
// names when `entries` is given (listing keeps none: its memory is the
// plug-in's alone).
int Walk(const Api& api, const char* file, const char* extractVar, const std::string& dir,
         std::vector<std::string>* entries, long long& count, std::string& written) {
    std::string arcName = file;
    tOpenArchiveData open{};
    open.ArcName = arcName.data();
    open.OpenMode = extractVar ? PK_OM_EXTRACT : PK_OM_LIST;
    HANDLE h = api.OpenArchive(&open);
    if (h == nullptr) {
        std::fprintf(stderr, "bench_plugin: OpenArchive failed (%d)\n", open.OpenResult);
        return 1;
    }
    int rc = 0;
    for (;;) {
        tHeaderData header{};
        int r = api.ReadHeader(h, &header);
        if (r == E_END_ARCHIVE) break;
        if (r != E_SUCCESS) {
            std::fprintf(stderr, "bench_plugin: ReadHeader failed (%d)\n", r);
            rc = 1;
            break;
        }
        ++count;
        if (entries != nullptr) entries->emplace_back(header.FileName);
        if (extractVar != nullptr && VariableOf(header.FileName) == extractVar) {
            std::string dest = dir + "/" + header.FileName;
            r = api.ProcessFile(h, PK_EXTRACT, nullptr, dest.data());
            if (r != E_SUCCESS) {
                std::fprintf(stderr, "bench_plugin: ProcessFile failed (%d)\n", r);
                rc = 1;
            }
            written = dest;   // the viewer's text has the entry's name
            if (dest.find("/_dc~~~/") == std::string::npos) written += ".mat";
        } else {
            api.ProcessFile(h, PK_SKIP, nullptr, nullptr);
        }
    }
    api.CloseArchive(h);
    return rc;
}

}  // namespace

// Resident memory of this process, in kB (0 when it cannot be told).
long ResidentKb() {
    long kb = 0;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr && std::sscanf(line, "VmRSS: %ld", &kb) != 1) {
        }
        std::fclose(status);
    }
    return kb;
}

// What loading the plug-in costs a host, against loading another library
// (e.g. libz) in the same run: both loads' seconds and the resident memory
// the plug-in's load added.
int MeasureLoad(const char* plugin, const char* reference) {
    double start = bench_now();
    void* other = dlopen(reference, RTLD_NOW | RTLD_LOCAL);
    const double referenceSeconds = bench_now() - start;
    const long before = ResidentKb();
    start = bench_now();
    void* lib = dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
    const double seconds = bench_now() - start;
    if (lib == nullptr || other == nullptr) {
        std::fprintf(stderr, "bench_plugin: %s\n", dlerror());
        return 1;
    }
    std::fprintf(stderr, "load plugin=%.6f reference=%.6f ratio=%.1f rss_added_kb=%ld rss_kb=%ld\n", seconds,
                 referenceSeconds, referenceSeconds > 0 ? seconds / referenceSeconds : 0.0, ResidentKb() - before,
                 ResidentKb());
    bench_report(seconds, 1);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[2]) == "load") return MeasureLoad(argv[1], argv[3]);
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_plugin PLUGIN list FILE | extract FILE VAR DIR | delete FILE VAR... | load LIBRARY\n");
        return 2;
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::fprintf(stderr, "bench_plugin: %s\n", dlerror());
        return 1;
    }
    Api api{};
    if (!Bind(lib, "OpenArchive", api.OpenArchive) || !Bind(lib, "ReadHeader", api.ReadHeader) ||
        !Bind(lib, "ProcessFile", api.ProcessFile) || !Bind(lib, "CloseArchive", api.CloseArchive) ||
        !Bind(lib, "SetProcessDataProc", api.SetProcessDataProc) || !Bind(lib, "DeleteFiles", api.DeleteFiles) ||
        !Bind(lib, "PackSetDefaultParams", api.PackSetDefaultParams)) {
        return 1;
    }
    std::string ini;
    const bool view = std::string(argv[2]) == "view";
    if (!Configure(api, ini, view)) {
        std::fprintf(stderr, "bench_plugin: cannot write a settings file\n");
        return 1;
    }
    const std::string mode = argv[2];
    const char* file = argv[3];
    std::vector<std::string> entries;
    std::string written;
    long long count = 0;
    int rc = 2;
    if (mode == "list" && argc == 4) {
        const double start = bench_now();
        rc = Walk(api, file, nullptr, "", nullptr, count, written);
        bench_report(bench_now() - start, count);
    } else if ((mode == "extract" || mode == "view") && argc == 6) {
        // The viewer's text goes only into the host's viewer folder,
        // "<temp>/_dc~~~/<n>/"; DIR is not used for it.
        std::string folder = argv[5];
        if (view) {
            const char* tmp = std::getenv("TMPDIR");
            const std::string root = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/_dc~~~";
            mkdir(root.c_str(), 0700);
            folder = root + "/bench-" + std::to_string(getpid());
            mkdir(folder.c_str(), 0700);
        }
        const double start = bench_now();
        rc = Walk(api, file, argv[4], folder.c_str(), nullptr, count, written);
        const double seconds = bench_now() - start;
        struct stat st{};
        if (written.empty() || stat(written.c_str(), &st) != 0) {
            std::fprintf(stderr, "bench_plugin: nothing extracted for %s\n", argv[4]);
            rc = 1;
        }
        std::fprintf(stderr, "output %s %lld\n", written.c_str(), static_cast<long long>(st.st_size));
        bench_report(seconds, 1);
    } else if (mode == "delete" && argc >= 5) {
        rc = Walk(api, file, nullptr, "", &entries, count, written);   // entry names, not timed
        std::string list;
        int wanted = 0;
        for (int i = 4; i < argc; ++i) {
            for (const std::string& e : entries) {
                if (VariableOf(e.c_str()) == argv[i]) {
                    list += e;
                    list.push_back('\0');
                    ++wanted;
                    break;
                }
            }
        }
        list.push_back('\0');
        if (wanted != argc - 4) {
            std::fprintf(stderr, "bench_plugin: not every variable was listed\n");
            rc = 1;
        } else {
            std::string packed = file;
            api.SetProcessDataProc(reinterpret_cast<HANDLE>(-1), ContinueProgress);
            const double start = bench_now();
            const int r = api.DeleteFiles(packed.data(), list.data());
            bench_report(bench_now() - start, wanted);
            if (r != E_SUCCESS) std::fprintf(stderr, "bench_plugin: DeleteFiles failed (%d)\n", r);
            rc = r == E_SUCCESS ? rc : 1;
        }
    }
    unlink(ini.c_str());
    if (rc == 2) std::fprintf(stderr, "bench_plugin: bad arguments\n");
    return rc;
}
