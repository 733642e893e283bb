#include "image/durable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

// The file beside the target: the same directory, so that the rename
// never crosses filesystems, and a name no launcher pattern matches
// ("rm /user/*.pem" leaves a stale one of a key file alone, and the
// next write of that file truncates it).
constexpr const char kBeside[] = ".new";
constexpr std::size_t kPathRoom = 256;

bool beside_path(const char* path, char (&out)[kPathRoom]) {
    std::size_t length = std::strlen(path);
    if (length + sizeof kBeside > sizeof out) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(out, path, length);
    std::memcpy(out + length, kBeside, sizeof kBeside);
    return true;
}

bool write_all(int fd, const std::uint8_t* bytes, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes the pieces to a new file beside `path`, syncs it and renames it
// over `path`. The file beside is removed again when anything failed.
DurableResult replace_with(const char* path, const void* head, std::size_t head_length,
                           const void* tail, std::size_t tail_length) {
    char beside[kPathRoom];
    if (!beside_path(path, beside)) {
        return DurableResult::OpenFailed;
    }
    // A directory at the path cannot be opened as a file, so it cannot be
    // replaced by one either. Anything else there (a link, a FIFO) is
    // replaced by the rename, never written through.
    struct stat info {};
    if (lstat(path, &info) == 0 && S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return DurableResult::OpenFailed;
    }
    int fd = open(beside, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return DurableResult::OpenFailed;
    }
    bool good = write_all(fd, static_cast<const std::uint8_t*>(head), head_length) &&
                write_all(fd, static_cast<const std::uint8_t*>(tail), tail_length) &&
                fsync(fd) == 0;
    int err = errno;
    good = close(fd) == 0 && good;
    if (good && rename(beside, path) != 0) {
        err = errno;
        good = false;
    }
    if (!good) {
        unlink(beside);
        errno = err;
        return DurableResult::WriteFailed;
    }
    // The rename is on the card only once the directory is.
    if (!durable_sync_dir_of(path)) {
        return DurableResult::WriteFailed;
    }
    return DurableResult::Written;
}

// The whole content of a small file, in memory the caller releases with
// delete[]. A missing file is empty. false when it exists but cannot be read.
bool read_whole(const char* path, std::uint8_t** bytes, std::size_t* length) {
    *bytes = nullptr;
    *length = 0;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        close(fd);
        errno = EINVAL;
        return false;
    }
    std::size_t size = static_cast<std::size_t>(info.st_size);
    std::uint8_t* buffer = new (std::nothrow) std::uint8_t[size > 0 ? size : 1];
    std::size_t got = 0;
    while (buffer != nullptr && got < size) {
        ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    if (buffer == nullptr) {
        errno = ENOMEM;
        return false;
    }
    *bytes = buffer;
    *length = got;
    return true;
}

}  // namespace

DurableResult durable_replace(const char* path, const void* data, std::size_t length) {
    return replace_with(path, data, length, nullptr, 0);
}

DurableResult durable_append(const char* path, const void* data, std::size_t length) {
    std::uint8_t* old = nullptr;
    std::size_t old_length = 0;
    if (!read_whole(path, &old, &old_length)) {
        return DurableResult::OpenFailed;
    }
    DurableResult result = replace_with(path, old, old_length, data, length);
    int err = errno;
    delete[] old;
    errno = err;
    return result;
}

bool durable_close(std::FILE* file) {
    bool good = std::fflush(file) == 0;
    int err = errno;
    if (good && fsync(fileno(file)) != 0) {
        err = errno;
        good = false;
    }
    if (std::fclose(file) != 0 && good) {
        err = errno;
        good = false;
    }
    errno = err;
    return good;
}

bool durable_sync_dir_of(const char* path) {
    char dir[kPathRoom];
    const char* slash = std::strrchr(path, '/');
    std::size_t length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path);
    if (length >= sizeof dir) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (slash == nullptr) {
        dir[0] = '.';
        length = 1;
    } else if (length == 0) {
        dir[0] = '/';
        length = 1;
    } else {
        std::memcpy(dir, path, length);
    }
    dir[length] = '\0';
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool good = fsync(fd) == 0;
    int err = errno;
    close(fd);
    errno = err;
    return good;
}

bool durable_sync_path(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    bool good = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && fsync(fd) == 0;
    int err = errno;
    close(fd);
    errno = err;
    return good && durable_sync_dir_of(path);
}
