// What is installed on the switch now, component type by component type:
// the header the same-version test and the version display compare with.
#pragma once

#include <cstdint>

#include "image/container.h"

// Fills `buffer` (16 bytes) with the installed header of the type `magic`
// names, exactly as stored (the flag bit makes a type unknown):
//   Application      the first 16 bytes of "/user/images/image%d" (`slot`)
//   BootLoader       16 bytes at 0xF0 of the boot-loader partition, the
//                    version block the boot loader carries
//   Kernel, RootFilesystem, DeviceTree, Diagnostics, Onie
//                    the first 16 bytes of their partition
// 1 with the buffer filled (a flash read that fails leaves it zero, and
// still gives 1); 0 when `buffer` is null, the slot file cannot be opened,
// or the type has no installed place (after "Unknown image type 0x%x \n").
int image_installed_header(std::uint32_t magic, std::uint8_t* buffer, int slot);

// 1 when the installed component of the header's type has the same header:
// bytes 4-15 for a boot loader, whose version block does not carry the
// component's CRC, and all 16 bytes for every other type. 0 otherwise,
// including every type image_installed_header does not know.
int image_same_version(const ImageHeader& header, int slot);

// The file of image slot 1 or 2 on the eMMC; "" (which opens nothing) for
// any other number.
const char* image_slot_path(int slot);
