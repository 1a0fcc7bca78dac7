/* Writes the matio-made MAT-files of the test data through libmatio.
 *
 * Usage: matio_writer OUTDIR
 * Writes OUTDIR/v4.mat, OUTDIR/v5.mat and OUTDIR/v5_compressed.mat (matio's
 * own zlib compression). scripts/testdata/README.md lists every variable. */
#include <matio.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures;

static void put(mat_t* mat, matvar_t* var, enum matio_compression comp) {
    if (var == NULL) {
        fprintf(stderr, "matio_writer: could not create a variable\n");
        failures++;
        return;
    }
    if (Mat_VarWrite(mat, var, comp) != 0) {
        fprintf(stderr, "matio_writer: could not write %s\n", var->name ? var->name : "?");
        failures++;
    }
    Mat_VarFree(var);
}

static matvar_t* numeric(const char* name, enum matio_classes cls, enum matio_types type,
                         size_t m, size_t n, const void* data, int opt) {
    size_t dims[2] = {m, n};
    return Mat_VarCreate(name, cls, type, 2, dims, (void*)data, opt);
}

static matvar_t* text(const char* name, const char* s) {
    size_t dims[2] = {1, strlen(s)};
    return Mat_VarCreate(name, MAT_C_CHAR, MAT_T_UINT8, 2, dims, (void*)s, 0);
}

static const double kMatrix[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  /* 3x4, column-major */
static const double kRe[4] = {1, -5, 3, 0};
static const double kIm[4] = {2, 0.5, -4, -1};

/* 4x3 sparse double: (2,1)=1, (1,2)=2, (4,3)=3.5 (one-based) */
static mat_sparse_t* sparse_double(void) {
    static mat_uint32_t ir[3] = {1, 0, 3};
    static mat_uint32_t jc[4] = {0, 1, 2, 3};
    static double data[3] = {1, 2, 3.5};
    static mat_sparse_t sp;
    sp.nzmax = 3;
    sp.ir = ir;
    sp.nir = 3;
    sp.jc = jc;
    sp.njc = 4;
    sp.ndata = 3;
    sp.data = data;
    return &sp;
}

static void write_v4(const char* path) {
    mat_t* mat = Mat_CreateVer(path, NULL, MAT_FT_MAT4);
    if (mat == NULL) {
        fprintf(stderr, "matio_writer: cannot create %s\n", path);
        failures++;
        return;
    }
    mat_complex_split_t z = {(void*)kRe, (void*)kIm};
    size_t dims[2] = {4, 3};
    put(mat, numeric("m4_double", MAT_C_DOUBLE, MAT_T_DOUBLE, 3, 4, kMatrix, 0), MAT_COMPRESSION_NONE);
    put(mat, numeric("m4_complex", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, 2, &z, MAT_F_COMPLEX), MAT_COMPRESSION_NONE);
    put(mat, text("m4_char", "matio v4"), MAT_COMPRESSION_NONE);
    put(mat, Mat_VarCreate("m4_sparse", MAT_C_SPARSE, MAT_T_DOUBLE, 2, dims, sparse_double(), 0),
        MAT_COMPRESSION_NONE);
    Mat_Close(mat);
}

/* The same variables as level 5, or as version 7.3 (HDF5) with MAT_FT_MAT73. */
static void write_v5(const char* path, enum matio_compression comp, enum mat_ft version) {
    mat_t* mat = Mat_CreateVer(path, NULL, version);
    if (mat == NULL) {
        fprintf(stderr, "matio_writer: cannot create %s\n", path);
        failures++;
        return;
    }
    static const float kSingle[6] = {1.5f, -1.0f, 2.5f, 0.0f, 3.5f, 1e30f};
    static const int8_t kI8[4] = {-128, -1, 0, 127};
    static const uint8_t kU8[4] = {0, 1, 254, 255};
    static const int16_t kI16[3] = {-32768, 0, 32767};
    static const uint16_t kU16[2] = {0, 65535};
    static const int32_t kI32[3] = {INT32_MIN, 0, INT32_MAX};
    static const uint32_t kU32[2] = {0, UINT32_MAX};
    static const int64_t kI64[3] = {INT64_MIN, -1, INT64_MAX};
    static const uint64_t kU64[2] = {0, UINT64_MAX};
    static const uint8_t kLogical[6] = {1, 0, 0, 0, 1, 1};  /* 2x3 */
    static const int16_t kCRe[3] = {1, -2, 300};
    static const int16_t kCIm[3] = {-1, 2, 0};
    mat_complex_split_t z = {(void*)kRe, (void*)kIm};
    mat_complex_split_t zi = {(void*)kCRe, (void*)kCIm};

    put(mat, numeric("m_double", MAT_C_DOUBLE, MAT_T_DOUBLE, 3, 4, kMatrix, 0), comp);
    put(mat, numeric("m_single", MAT_C_SINGLE, MAT_T_SINGLE, 2, 3, kSingle, 0), comp);
    put(mat, numeric("m_int8", MAT_C_INT8, MAT_T_INT8, 1, 4, kI8, 0), comp);
    put(mat, numeric("m_uint8", MAT_C_UINT8, MAT_T_UINT8, 1, 4, kU8, 0), comp);
    put(mat, numeric("m_int16", MAT_C_INT16, MAT_T_INT16, 1, 3, kI16, 0), comp);
    put(mat, numeric("m_uint16", MAT_C_UINT16, MAT_T_UINT16, 1, 2, kU16, 0), comp);
    put(mat, numeric("m_int32", MAT_C_INT32, MAT_T_INT32, 1, 3, kI32, 0), comp);
    put(mat, numeric("m_uint32", MAT_C_UINT32, MAT_T_UINT32, 1, 2, kU32, 0), comp);
    put(mat, numeric("m_int64", MAT_C_INT64, MAT_T_INT64, 1, 3, kI64, 0), comp);
    put(mat, numeric("m_uint64", MAT_C_UINT64, MAT_T_UINT64, 1, 2, kU64, 0), comp);
    put(mat, numeric("m_complex", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, 2, &z, MAT_F_COMPLEX), comp);
    put(mat, numeric("m_complex_int16", MAT_C_INT16, MAT_T_INT16, 1, 3, &zi, MAT_F_COMPLEX), comp);
    put(mat, numeric("m_logical", MAT_C_UINT8, MAT_T_UINT8, 2, 3, kLogical, MAT_F_LOGICAL), comp);
    put(mat, text("m_char", "matio text"), comp);
    put(mat, numeric("m_global", MAT_C_DOUBLE, MAT_T_DOUBLE, 1, 1, kMatrix, MAT_F_GLOBAL), comp);
    {
        size_t dims[2] = {4, 3};
        put(mat, Mat_VarCreate("m_sparse", MAT_C_SPARSE, MAT_T_DOUBLE, 2, dims, sparse_double(), 0),
            comp);
    }
    {
        size_t dims3[3] = {2, 3, 2};
        put(mat, Mat_VarCreate("m_3d", MAT_C_DOUBLE, MAT_T_DOUBLE, 3, dims3, (void*)kMatrix, 0), comp);
    }
    {   /* m_cell = {[1 2 3 ... 12] as 3x4, 'cell text', sparse 4x3, 0x3 double, complex int16, logical} */
        size_t dims[2] = {1, 6};
        size_t sparse_dims[2] = {4, 3};
        size_t empty_dims[2] = {0, 3};
        matvar_t* cell = Mat_VarCreate("m_cell", MAT_C_CELL, MAT_T_CELL, 2, dims, NULL, 0);
        Mat_VarSetCell(cell, 0, numeric(NULL, MAT_C_DOUBLE, MAT_T_DOUBLE, 3, 4, kMatrix, 0));
        Mat_VarSetCell(cell, 1, text(NULL, "cell text"));
        Mat_VarSetCell(cell, 2, Mat_VarCreate(NULL, MAT_C_SPARSE, MAT_T_DOUBLE, 2, sparse_dims, sparse_double(), 0));
        Mat_VarSetCell(cell, 3, Mat_VarCreate(NULL, MAT_C_DOUBLE, MAT_T_DOUBLE, 2, empty_dims, NULL, 0));
        Mat_VarSetCell(cell, 4, numeric(NULL, MAT_C_INT16, MAT_T_INT16, 1, 3, &zi, MAT_F_COMPLEX));
        Mat_VarSetCell(cell, 5, numeric(NULL, MAT_C_UINT8, MAT_T_UINT8, 2, 3, kLogical, MAT_F_LOGICAL));
        put(mat, cell, comp);
    }
    {   /* m_struct: 1x1 with fields a (double 1x1), b (char), c (int8 1x4) */
        const char* fields[3] = {"a", "b", "c"};
        size_t dims[2] = {1, 1};
        matvar_t* st = Mat_VarCreateStruct("m_struct", 2, dims, fields, 3);
        Mat_VarSetStructFieldByName(st, "a", 0, numeric(NULL, MAT_C_DOUBLE, MAT_T_DOUBLE, 1, 1, kMatrix, 0));
        Mat_VarSetStructFieldByName(st, "b", 0, text(NULL, "field text"));
        Mat_VarSetStructFieldByName(st, "c", 0, numeric(NULL, MAT_C_INT8, MAT_T_INT8, 1, 4, kI8, 0));
        put(mat, st, comp);
    }
    {   /* m_struct_array: 1x2 with field v: 1, then 2 */
        const char* fields[1] = {"v"};
        size_t dims[2] = {1, 2};
        matvar_t* st = Mat_VarCreateStruct("m_struct_array", 2, dims, fields, 1);
        Mat_VarSetStructFieldByName(st, "v", 0, numeric(NULL, MAT_C_DOUBLE, MAT_T_DOUBLE, 1, 1, &kMatrix[0], 0));
        Mat_VarSetStructFieldByName(st, "v", 1, numeric(NULL, MAT_C_DOUBLE, MAT_T_DOUBLE, 1, 1, &kMatrix[1], 0));
        put(mat, st, comp);
    }
    {   /* m_nested: struct {inner: struct {list: cell {cell {'deep'}, int32 [INT32_MIN 0 INT32_MAX]}}} */
        size_t one[2] = {1, 1};
        size_t two[2] = {1, 2};
        const char* outer_fields[1] = {"inner"};
        const char* inner_fields[1] = {"list"};
        matvar_t* deepest = Mat_VarCreate(NULL, MAT_C_CELL, MAT_T_CELL, 2, one, NULL, 0);
        Mat_VarSetCell(deepest, 0, text(NULL, "deep"));
        matvar_t* list = Mat_VarCreate(NULL, MAT_C_CELL, MAT_T_CELL, 2, two, NULL, 0);
        Mat_VarSetCell(list, 0, deepest);
        Mat_VarSetCell(list, 1, numeric(NULL, MAT_C_INT32, MAT_T_INT32, 1, 3, kI32, 0));
        matvar_t* inner = Mat_VarCreateStruct(NULL, 2, one, inner_fields, 1);
        Mat_VarSetStructFieldByName(inner, "list", 0, list);
        matvar_t* outer = Mat_VarCreateStruct("m_nested", 2, one, outer_fields, 1);
        Mat_VarSetStructFieldByName(outer, "inner", 0, inner);
        put(mat, outer, comp);
    }
    {   /* m_empty: double 0x3 */
        size_t dims[2] = {0, 3};
        put(mat, Mat_VarCreate("m_empty", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dims, NULL, 0), comp);
    }
    Mat_Close(mat);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: matio_writer OUTDIR\n");
        return 2;
    }
    size_t len = strlen(argv[1]) + 32;
    char* path = malloc(len);
    if (path == NULL) return 1;
    snprintf(path, len, "%s/v4.mat", argv[1]);
    write_v4(path);
    snprintf(path, len, "%s/v5.mat", argv[1]);
    write_v5(path, MAT_COMPRESSION_NONE, MAT_FT_MAT5);
    snprintf(path, len, "%s/v5_compressed.mat", argv[1]);
    write_v5(path, MAT_COMPRESSION_ZLIB, MAT_FT_MAT5);
    snprintf(path, len, "%s/v73.mat", argv[1]);
    write_v5(path, MAT_COMPRESSION_ZLIB, MAT_FT_MAT73);
    free(path);
    return failures == 0 ? 0 : 1;
}
