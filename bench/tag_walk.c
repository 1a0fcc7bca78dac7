/* The floor a listing is measured against: a bare walk over a level-5 file's
 * variables that reads each one's 8-byte tag with read() after an lseek to
 * it (what a reader without a buffer of its own does), and steps to the next
 * by the tag's size. Little-endian files only; no checks beyond the file's
 * end.
 *   tag_walk FILE */
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bench/bench_timer.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: tag_walk FILE\n");
        return 2;
    }
    const double start = bench_now();
    const int fd = open(argv[1], O_RDONLY);
    struct stat st;
    unsigned char header[128];
    if (fd < 0 || fstat(fd, &st) != 0 || read(fd, header, sizeof header) != (ssize_t)sizeof header) {
        fprintf(stderr, "tag_walk: cannot read %s\n", argv[1]);
        return 1;
    }
    const uint64_t size = (uint64_t)st.st_size;
    uint64_t offset = sizeof header;
    long long count = 0;
    while (offset + 8 <= size) {
        unsigned char tag[8];
        uint32_t type, bytes;
        if (lseek(fd, (off_t)offset, SEEK_SET) < 0 || read(fd, tag, 8) != 8) break;
        memcpy(&type, tag, 4);
        memcpy(&bytes, tag + 4, 4);
        offset += 8 + (uint64_t)bytes;
        if (type == 14) offset += (8 - bytes % 8) % 8;   /* uncompressed elements are padded */
        ++count;
    }
    close(fd);
    bench_report(bench_now() - start, count);
    return 0;
}
