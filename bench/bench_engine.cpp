// Our engine alone: bench_engine headers FILE
// Opens FILE and reads every variable's header with matGetNextArrayHeader.
#include <cstdio>
#include <cstring>

#include "bench/bench_timer.h"
#include "matlib/mat.h"

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "headers") != 0) {
        std::fprintf(stderr, "usage: bench_engine headers FILE\n");
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
