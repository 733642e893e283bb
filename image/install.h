// The image installer: the one way a new image reaches the switch's flash
// partitions, image slots and eMMC partitions.
#pragma once

#include <cstddef>

// Installs every component of the container at `path` in file order.
// `same_version` non-zero skips components whose installed version equals
// theirs; `slot` is 1 or 2, or 0 to ask the operator when a component needs
// a slot. 1 when the end of the file was reached with at least one component
// installed, else 0. Booting an application without storing it does not
// return.
int image_install(const char* path, int same_version, int slot);

// The same for a container the caller opened with image_open_file (a
// descriptor it hands over, closed here; -1 gives 0): a file that was
// looked at (its digest taken) is the file installed. `path` names it in
// messages and tells whether it is in RAM.
int image_install_fd(int fd, const char* path, int same_version, int slot);

// Writes `length` bytes to a new file with a progress display. 1, or 0 after
// the failure line.
int file_write_progress(const char* path, const void* data, std::size_t length);

// Copies `source` to `destination` with a progress display. 1, or 0 after
// the failure line.
int file_copy_progress(const char* source, const char* destination);
