// Our engine alone:
//   bench_engine headers FILE          every variable's header (matGetNextArrayHeader)
//   bench_engine extract FILE VAR OUT  VAR into a file of its own (matGetArray,
//                                      matPutArray, matClose), with the subsystem
//                                      data when VAR refers to it
#include <cstdio>
#include <cstring>

#include "bench/bench_timer.h"
#include "matlib/mat.h"

namespace {

int Extract(const char* path, const char* name, const char* out) {
    const double start = bench_now();
    MATFile* mat = matOpen(path, "r");
    mxArray* array = mat != nullptr ? matGetArray(mat, name) : nullptr;
    MATFile* target = array != nullptr ? matOpen(out, "w") : nullptr;
    const bool ok = target != nullptr && matPutArray(target, array) == 0 && matClose(target) == 0;
    if (array != nullptr) mxDestroyArray(array);
    if (mat != nullptr) matClose(mat);
    if (!ok) {
        std::fprintf(stderr, "bench_engine: cannot extract %s from %s\n", name, path);
        return 1;
    }
    bench_report(bench_now() - start, 1);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "extract") == 0) return Extract(argv[2], argv[3], argv[4]);
    if (argc != 3 || std::strcmp(argv[1], "headers") != 0) {
        std::fprintf(stderr, "usage: bench_engine headers FILE | bench_engine extract FILE VAR OUT\n");
        return 2;
    }
    const double start = bench_now();
    MATFile* mat = matOpen(argv[2], "r");
    if (mat == nullptr) {
        std::fprintf(stderr, "bench_engine: cannot open %s\n", argv[2]);
        return 1;
    }
    long long count = 0;
    while (mxArray* header = matGetNextArrayHeader(mat)) {
        ++count;
        mxDestroyArray(header);
    }
    matClose(mat);
    bench_report(bench_now() - start, count);
    return 0;
}
