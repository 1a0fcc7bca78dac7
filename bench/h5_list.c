/* The floor a version 7.3 listing is measured against: a bare libhdf5 loop
 * that does what a lister must and no more. It iterates the root group's
 * links, opens each object, reads its MATLAB_class attribute and, for a
 * dataset, its dataspace's dimensions. No checks of the file's bytes, no
 * worker, the default (sec2) driver.
 *   h5_list FILE */
#include <hdf5.h>
#include <stdio.h>

#include "bench/bench_timer.h"

static long long listed = 0;
static hsize_t dimsSeen = 0;

static herr_t Variable(hid_t root, const char* name, const H5L_info_t* info, void* data) {
    (void)info;
    (void)data;
    if (name[0] == '#') return 0;
    hid_t object = H5Oopen(root, name, H5P_DEFAULT);
    if (object < 0) return -1;
    char className[64] = "";
    hid_t attribute = H5Aopen(object, "MATLAB_class", H5P_DEFAULT);
    if (attribute >= 0) {
        hid_t type = H5Aget_type(attribute);
        hid_t memory = H5Tcopy(H5T_C_S1);
        H5Tset_size(memory, sizeof className - 1);
        if (H5Tis_variable_str(type) <= 0) H5Aread(attribute, memory, className);
        H5Tclose(memory);
        H5Tclose(type);
        H5Aclose(attribute);
    }
    if (H5Iget_type(object) == H5I_DATASET) {
        hid_t space = H5Dget_space(object);
        hsize_t dims[H5S_MAX_RANK];
        const int rank = H5Sget_simple_extent_dims(space, dims, NULL);
        for (int d = 0; d < rank; ++d) dimsSeen += dims[d];
        H5Sclose(space);
    }
    H5Oclose(object);
    ++listed;
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: h5_list FILE\n");
        return 2;
    }
    const double start = bench_now();
    hid_t file = H5Fopen(argv[1], H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0 || H5Literate(file, H5_INDEX_NAME, H5_ITER_INC, NULL, Variable, NULL) < 0) {
        fprintf(stderr, "h5_list: cannot list %s\n", argv[1]);
        return 1;
    }
    H5Fclose(file);
    bench_report(bench_now() - start, listed);
    return dimsSeen == 0;   /* the dimensions were read, not skipped */
}
