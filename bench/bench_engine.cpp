// Our engine alone:
//   bench_engine headers FILE          every variable's header (matGetNextArrayHeader)
//   bench_engine extract FILE VAR OUT  VAR into a file of its own (matGetArray,
//                                      matPutArray, matClose), with the subsystem
//                                      data when VAR refers to it
//   bench_engine inflate FILE VAR [BYTES]
//                                      inflates VAR's compressed element with zlib
//                                      alone into a 1 MB buffer (what any reader
//                                      that checks the data must at least do); with
//                                      BYTES, only its first BYTES inflated bytes
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_timer.h"
#include "matlib/mat.h"
#include "matlib/mat_internal.h"

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

int Headers(const char* path) {
    const double start = bench_now();
    MATFile* mat = matOpen(path, "r");
    if (mat == nullptr) {
        std::fprintf(stderr, "bench_engine: cannot open %s\n", path);
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

int Inflate(const char* path, const char* name, unsigned long long wanted) {
    const double start = bench_now();
    MATFile* mat = matOpen(path, "r");
    mxArray* array = mat != nullptr ? matGetArray(mat, name) : nullptr;
    if (array == nullptr || !array->data.compressed) {
        std::fprintf(stderr, "bench_engine: no compressed variable %s in %s\n", name, path);
        return 1;
    }
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr || std::fseek(file, static_cast<long>(array->data.streamOffset), SEEK_SET) != 0) return 1;
    std::vector<unsigned char> in(1 << 20), out(1 << 20);
    z_stream zs{};
    inflateInit(&zs);
    unsigned long long left = array->data.streamSize, produced = 0;
    int rc = Z_OK;
    while (rc == Z_OK && left > 0 && produced < wanted) {
        zs.avail_in = static_cast<uInt>(std::fread(in.data(), 1, left < in.size() ? left : in.size(), file));
        if (zs.avail_in == 0) break;
        left -= zs.avail_in;
        zs.next_in = in.data();
        do {
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&zs, Z_NO_FLUSH);
            produced += out.size() - zs.avail_out;
        } while (rc == Z_OK && zs.avail_out == 0 && produced < wanted);
    }
    inflateEnd(&zs);
    std::fclose(file);
    mxDestroyArray(array);
    matClose(mat);
    bench_report(bench_now() - start, static_cast<long long>(produced));
    return rc == Z_STREAM_END || (rc == Z_OK && produced >= wanted) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "headers") == 0) return Headers(argv[2]);
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "inflate") == 0) {
        return Inflate(argv[2], argv[3], argc == 5 ? std::strtoull(argv[4], nullptr, 10) : ~0ull);
    }
    if (argc == 5 && std::strcmp(argv[1], "extract") == 0) return Extract(argv[2], argv[3], argv[4]);
    std::fprintf(stderr, "usage: bench_engine headers FILE | inflate FILE VAR [BYTES] | extract FILE VAR OUT\n");
    return 2;
}
