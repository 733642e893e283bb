// Runs the installer once on the virtual switch, set up as start-up leaves
// the board (I2C buses, flash partitions, crypto, key files), so that a
// test can drive it as the rescue menu and the USB boot do:
//
//   install_driver FILE SAME_VERSION SLOT [LOG_NAME LOG_SOURCE]
//
// Prints "image_install: N" with the result, and how many of the arrays
// the install allocated (its piece buffers, a component's bytes), of the
// descriptors it opened and of the mappings of FILE it made it did not
// give back: the rescue menu installs again and again in one process.
// With a log name and source, a successful run writes the install-log
// line as the callers do.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "auth/crypto/toolkit.h"
#include "auth/keystore.h"
#include "board/i2c.h"
#include "board/mtd.h"
#include "image/install.h"
#include "image/install_log.h"
#include "platform/sandbox/descriptors.h"

namespace {
long arrays_held = 0;
// How many of this process's mappings are of the file at `path`.
int mappings_of(const char* path) {
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr) {
        return -1;
    }
    int count = 0;
    std::size_t name = std::strlen(path);
    char line[4096];
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        std::size_t length = std::strcspn(line, "\n");
        count += length >= name && std::memcmp(line + length - name, path, name) == 0 ? 1 : 0;
    }
    std::fclose(maps);
    return count;
}
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    void* p = std::malloc(size > 0 ? size : 1);
    arrays_held += p != nullptr ? 1 : 0;
    return p;
}
void* operator new[](std::size_t size) {
    void* p = operator new[](size, std::nothrow);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void operator delete[](void* p) noexcept {
    arrays_held -= p != nullptr ? 1 : 0;
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    operator delete[](p);
}

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        std::fputs("usage: install_driver FILE SAME_VERSION SLOT [LOG_NAME LOG_SOURCE]\n", stderr);
        return 2;
    }
    i2c_open_buses();
    mtd_open_partitions();
    TOOLKIT_init();
    imgsign_loadSystemKeys();
    long held = arrays_held;
    int open = sandbox_test::open_descriptors();
    int mapped = mappings_of(argv[1]);
    int result = image_install(argv[1], std::atoi(argv[2]), std::atoi(argv[3]));
    std::printf("\nimage_install: %d\nkept: %ld arrays, %d descriptors, %d mappings\n", result,
                arrays_held - held, sandbox_test::open_descriptors() - open,
                mappings_of(argv[1]) - mapped);
    if (result == 1 && argc == 6) {
        install_log_write(argv[4], argv[5]);
    }
    return 0;
}
