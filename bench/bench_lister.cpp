// The lister as Double Commander's Qt build loads it, timed: ListLoad of one
// file into a parent widget on Qt's offscreen platform (the whos table
// filled), then the first picture (plot or image, whole or partial: it is
// computed on a thread and shown as it grows), then the whole picture.
// Usage: bench_lister LISTER FILE; prints "result seconds=S count=1" (the
// first picture), "table=S whole=S", and the process's peak memory before
// the load and after the whole picture ("base_kb=K rss_kb=K").
// bench_lister LISTER FOLDER: quick view moving through the folder's files,
// the first by ListLoad and each next one by ListLoadNext into the same
// window, each shown whole; "result seconds=S count=N".
#include <dlfcn.h>

#include <QApplication>
#include <QWidget>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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

// Whether any view of the window holds a dynamic property set true.
bool AnyView(QWidget* window, const char* property) {
    for (const char* name : {"plot", "image"}) {
        QWidget* view = window->findChild<QWidget*>(name);
        if (view != nullptr && view->property(property).toBool()) return true;
    }
    return false;
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
    if (std::filesystem::is_directory(argv[2])) {
        auto next = reinterpret_cast<int (*)(void*, void*, char*, int)>(dlsym(library, "ListLoadNext"));
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(argv[2])) files.push_back(entry.path().string());
        if (next == nullptr || files.empty()) return 1;
        const double start = bench_now();
        auto* window = static_cast<QWidget*>(load(&parent, files[0].data(), 0));
        for (size_t i = 0; window != nullptr && i < files.size(); ++i) {
            if (i > 0 && next(&parent, window, files[i].data(), 0) != 0) return 1;
            while (AnyView(window, "busy")) app.processEvents(QEventLoop::AllEvents, 5);
        }
        if (window == nullptr) return 1;
        bench_report(bench_now() - start, static_cast<long long>(files.size()));
        close(window);
        return 0;
    }
    const long base = PeakKilobytes();
    const double start = bench_now();
    auto* window = static_cast<QWidget*>(load(&parent, argv[2], 0));
    const double table = bench_now() - start;
    if (window == nullptr) {
        std::fprintf(stderr, "bench_lister: %s declined\n", argv[2]);
        return 1;
    }
    double first = -1;
    while (AnyView(window, "busy")) {
        app.processEvents(QEventLoop::AllEvents, 5);
        if (first < 0 && AnyView(window, "shown")) first = bench_now() - start;
    }
    const double whole = bench_now() - start;
    if (first < 0) first = whole;
    bench_report(first, 1);
    std::fprintf(stderr, "table=%.6f whole=%.6f base_kb=%ld rss_kb=%ld\n", table, whole, base, PeakKilobytes());
    close(window);
    return 0;
}
