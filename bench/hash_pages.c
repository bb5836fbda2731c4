/* hash_pages: what hashing every byte of a file costs, beside touch_pages.
 *
 *   cc -O2 -o hash_pages hash_pages.c -lxxhash
 *   hash_pages [-r] [-w KiB] FILE...
 *
 * Maps each file in windows of KiB (default 1024, as touch_pages does) and
 * feeds every byte to XXH3-128 through xxHash's runtime dispatch (the widest
 * vector code the processor has), in one update per window. With -r it reads
 * the files into a 128 KiB buffer instead and hashes each block, as
 * touch_pages -r touches it. Prints the digest, so that the work cannot be
 * optimised away.
 */
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#if defined(__x86_64__) || defined(__i386__)
#include <xxh_x86dispatch.h>
#define UPDATE XXH3_128bits_update_dispatch
#else
#define UPDATE XXH3_128bits_update
#endif
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    int use_read = 0;
    size_t window = (size_t)1024 << 10;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (strcmp(argv[i], "-r") == 0) {
            use_read = 1;
        } else if (strcmp(argv[i], "-w") == 0 && i + 1 < argc) {
            window = (size_t)strtoul(argv[++i], NULL, 10) << 10;
        } else {
            window = 0;
            break;
        }
    }
    if (i >= argc || window == 0) {
        fprintf(stderr, "usage: hash_pages [-r] [-w KiB] FILE...\n");
        return 2;
    }
    static unsigned char buffer[128 * 1024];
    XXH3_state_t state;
    XXH3_128bits_reset(&state);
    for (; i < argc; ++i) {
        int fd = open(argv[i], O_RDONLY);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            perror(argv[i]);
            return 1;
        }
        if (use_read) {
            ssize_t got;
            while ((got = read(fd, buffer, sizeof buffer)) > 0) {
                UPDATE(&state, buffer, (size_t)got);
            }
            close(fd);
            continue;
        }
        size_t size = (size_t)st.st_size;
        for (size_t at = 0; at < size; at += window) {
            size_t len = size - at < window ? size - at : window;
            unsigned char* p = mmap(NULL, len, PROT_READ, MAP_PRIVATE, fd, (off_t)at);
            if (p == MAP_FAILED) {
                perror("mmap");
                return 1;
            }
            madvise(p, len, MADV_SEQUENTIAL);
            UPDATE(&state, p, len);
            munmap(p, len);
        }
        close(fd);
    }
    XXH128_hash_t h = XXH3_128bits_digest(&state);
    printf("%016llx%016llx\n", (unsigned long long)h.high64, (unsigned long long)h.low64);
    return 0;
}
