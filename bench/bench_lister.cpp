// The lister as Double Commander's Qt build loads it, timed: ListLoad of one
// file into a parent widget on Qt's offscreen platform, which returns with
// the whos table filled and the first picture (plot or image) computed.
// Usage: bench_lister LISTER FILE; prints "result seconds=S count=1" and the
// process's peak memory after the load ("rss_kb=K", beside the same process
// before it: "base_kb=K").
#include <dlfcn.h>

#include <QApplication>
#include <QWidget>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/bench_timer.h"

namespace {

long PeakKilobytes() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(status);
    return kb;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_lister LISTER FILE\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    QWidget parent;
    parent.resize(1000, 600);
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    auto load = library != nullptr ? reinterpret_cast<void* (*)(void*, char*, int)>(dlsym(library, "ListLoad")) : nullptr;
    auto close = library != nullptr ? reinterpret_cast<void (*)(void*)>(dlsym(library, "ListCloseWindow")) : nullptr;
    if (load == nullptr || close == nullptr) {
        std::fprintf(stderr, "bench_lister: cannot load %s\n", argv[1]);
        return 1;
    }
    const long base = PeakKilobytes();
    const double start = bench_now();
    void* window = load(&parent, argv[2], 0);
    const double seconds = bench_now() - start;
    if (window == nullptr) {
        std::fprintf(stderr, "bench_lister: %s declined\n", argv[2]);
        return 1;
    }
    bench_report(seconds, 1);
    std::fprintf(stderr, "base_kb=%ld rss_kb=%ld\n", base, PeakKilobytes());
    close(window);
    return 0;
}
