#include "image/installed.h"

#include <cstdio>
#include <cstring>

#include "board/mtd.h"

namespace {

// Where a flash component keeps the header of what is installed.
struct FlashPlace {
    ComponentType type;
    int MtdPartitions::*partition;
    std::uint32_t offset;
};

// The boot loader's own version block sits at 0xF0 of its image: the
// payload is written to the partition without the component's header.
constexpr std::uint32_t kBootLoaderVersionOffset = 0xF0;

constexpr FlashPlace kFlashPlaces[] = {
    {ComponentType::BootLoader, &MtdPartitions::uboot, kBootLoaderVersionOffset},
    {ComponentType::Kernel, &MtdPartitions::kernel, 0},
    {ComponentType::RootFilesystem, &MtdPartitions::rfs, 0},
    {ComponentType::DeviceTree, &MtdPartitions::device_tree, 0},
    {ComponentType::Diagnostics, &MtdPartitions::rescue, 0},
    {ComponentType::Onie, &MtdPartitions::onie, 0},
};

int slot_header(std::uint8_t* buffer, int slot) {
    // Only a regular file is a slot: a FIFO there would block the read.
    std::FILE* file = image_fopen_file(image_slot_path(slot));
    if (!file) {
        return 0;
    }
    // fread writes only what it read: a slot file shorter than 16 bytes
    // leaves the rest of the buffer zero, and still counts as read.
    std::size_t got = std::fread(buffer, 1, kImageHeaderSize, file);
    static_cast<void>(got);
    std::fclose(file);
    return 1;
}

}  // namespace

int image_installed_header(std::uint32_t magic, std::uint8_t* buffer, int slot) {
    if (!buffer) {
        return 0;
    }
    std::memset(buffer, 0, kImageHeaderSize);
    if (magic == image_type_magic(ComponentType::Application)) {
        return slot_header(buffer, slot);
    }
    for (const FlashPlace& place : kFlashPlaces) {
        if (magic != image_type_magic(place.type)) {
            continue;
        }
        // Zero first: the flash read may count a short read as success.
        std::uint8_t read[kImageHeaderSize] = {};
        if (partition_read(read, mtd_partitions.*place.partition, place.offset, sizeof read) == 0) {
            std::memcpy(buffer, read, sizeof read);
        }
        return 1;
    }
    std::printf("Unknown image type 0x%x \n", magic);
    return 0;
}

int image_same_version(const ImageHeader& header, int slot) {
    std::uint8_t installed[kImageHeaderSize];
    if (!image_installed_header(header.magic, installed, slot)) {
        return 0;
    }
    std::uint8_t own[kImageHeaderSize];
    image_header_encode(header, own);
    std::size_t from =
        image_type_of(header.magic) == image_type_magic(ComponentType::BootLoader) ? 4 : 0;
    return std::memcmp(installed + from, own + from, kImageHeaderSize - from) == 0 ? 1 : 0;
}

const char* image_slot_path(int slot) {
    switch (slot) {
        case 1:
            return "/user/images/image1";
        case 2:
            return "/user/images/image2";
        default:
            return "";
    }
}
