// How many descriptors a test program has open: a call that leaves one open
// shows as a count one higher afterwards. For the unit tests and the
// installer's test driver alike.
#pragma once

#include <fcntl.h>

namespace sandbox_test {

inline int open_descriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    }
    return count;
}

}  // namespace sandbox_test
