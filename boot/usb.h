// USB stick handling at start-up, and the rejected list that keeps a stick
// left plugged in from booting its OS image again and again.
#pragma once

#include <cstddef>
#include <cstdint>

// USB handling is enabled for this start (board byte 213, stick mounted).
// Start-up sets it; usb_wait_mounted reads it.
extern std::uint8_t usb_enabled;

// MD5 digest of a file as busybox md5sum prints it: 32 lower-case hex
// digits and a NUL into `out` (33 bytes). 1, or 0 when it could not be had.
// It digests a file opened with image_open_file (-1 gives 0), so that what
// is digested is what is installed or booted.
int image_md5(int fd, char out[33]);

// Whether the file's digest is in the rejected list (/user/images/rejected).
int rejected_contains(const char* path);
int rejected_contains(int fd);
// Adds the file's digest to the rejected list; entries are never removed.
void rejected_add(const char* path);
void rejected_add(int fd);

// Asks `question` and waits up to 5 seconds at a time for y or n on the
// console; 1 for yes, 0 for no or no answer.
int confirm_timed(const char* question);

// The stick at start-up, in the order main calls them.
int usb_wait_mounted();
void usb_install_boot_image();
int usb_check_images();
