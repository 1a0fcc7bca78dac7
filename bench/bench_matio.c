/* libmatio, the reader a user would otherwise pick.
 *   bench_matio headers FILE            Mat_VarReadNextInfo over every variable
 *   bench_matio extract FILE VAR OUT    Mat_VarRead, then Mat_VarWrite into a new file
 *                                       (compressed when the variable was)
 *   bench_matio delete FILE VAR...      Mat_VarDelete for each VAR, in place */
#include <matio.h>
#include <stdio.h>
#include <string.h>

#include "bench/bench_timer.h"

static int headers(const char* path) {
    double start = bench_now();
    mat_t* mat = Mat_Open(path, MAT_ACC_RDONLY);
    if (mat == NULL) return 1;
    long long count = 0;
    matvar_t* var;
    while ((var = Mat_VarReadNextInfo(mat)) != NULL) {
        ++count;
        Mat_VarFree(var);
    }
    Mat_Close(mat);
    bench_report(bench_now() - start, count);
    return 0;
}

static int extract(const char* path, const char* name, const char* out) {
    double start = bench_now();
    mat_t* mat = Mat_Open(path, MAT_ACC_RDONLY);
    if (mat == NULL) return 1;
    matvar_t* var = Mat_VarRead(mat, name);
    if (var == NULL) {
        Mat_Close(mat);
        return 1;
    }
    mat_t* dst = Mat_CreateVer(out, NULL, MAT_FT_MAT5);
    int rc = dst == NULL || Mat_VarWrite(dst, var, var->compression) != 0;
    if (dst != NULL) Mat_Close(dst);
    Mat_VarFree(var);
    Mat_Close(mat);
    bench_report(bench_now() - start, 1);
    return rc;
}

static int delete_vars(const char* path, char** names, int n) {
    double start = bench_now();
    mat_t* mat = Mat_Open(path, MAT_ACC_RDWR);
    if (mat == NULL) return 1;
    int rc = 0;
    for (int i = 0; i < n; ++i) {
        if (Mat_VarDelete(mat, names[i]) != 0) rc = 1;
    }
    Mat_Close(mat);
    bench_report(bench_now() - start, n);
    return rc;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "headers") == 0) return headers(argv[2]);
    if (argc == 5 && strcmp(argv[1], "extract") == 0) return extract(argv[2], argv[3], argv[4]);
    if (argc >= 4 && strcmp(argv[1], "delete") == 0) return delete_vars(argv[2], argv + 3, argc - 3);
    fprintf(stderr, "usage: bench_matio headers FILE | extract FILE VAR OUT | delete FILE VAR...\n");
    return 2;
}
