#include "boot/diagnostics.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "board/board.h"
#include "board/mtd.h"
#include "image/durable.h"
#include "boot/launch.h"
#include "boot/reboot.h"
#include "image/container.h"
#include "image/installed.h"
#include "platform/platform.h"

namespace {

constexpr std::uint32_t kApplication = image_type_magic(ComponentType::Application);
constexpr std::uint32_t kDiagnostics = image_type_magic(ComponentType::Diagnostics);
constexpr std::uint8_t kBootedFromRescue = 4;
constexpr const char* kRecoveryFile = "/tmp/image";
constexpr const char* kCrcFailed = "Image CRC failed. Quitting\n";

std::uint8_t piece_buffer[kImagePieceSize];

// Copies the component at the start of the rescue partition in pieces: its
// payload to `payload_out` and, when given, the whole component to
// `whole_out`. 1 when every byte was read and the CRC matched.
int copy_rescue_component(const ComponentLayout& layout, std::uint32_t stored_crc,
                          std::FILE* payload_out, std::FILE* whole_out) {
    std::uint32_t size = image_component_size(layout);
    ImageCrc32 crc;
    image_crc32_init(crc);
    for (std::uint32_t done = 0; done < size;) {
        std::uint32_t count = size - done < kImagePieceSize ? size - done : kImagePieceSize;
        // The flash read counts a short read as success: what it did not
        // read must be zeros, never the bytes of an earlier read, which
        // would pass the CRC for bytes the flash no longer gave.
        std::memset(piece_buffer, 0, count);
        if (partition_read(piece_buffer, mtd_partitions.rescue, done, count) != 0) {
            return 0;
        }
        std::span<const std::uint8_t> piece(piece_buffer, count);
        // The CRC starts after the 4-byte crc field itself.
        std::uint32_t crc_from = done < 4 ? 4 - done : 0;
        if (crc_from < count) {
            image_crc32_update(crc, piece.subspan(crc_from));
        }
        std::uint32_t payload_from = done < layout.header_len ? layout.header_len - done : 0;
        if (payload_out != nullptr && payload_from < count) {
            std::fwrite(piece_buffer + payload_from, 1, count - payload_from, payload_out);
        }
        if (whole_out != nullptr) {
            std::fwrite(piece_buffer, 1, count, whole_out);
        }
        done += count;
    }
    return image_crc32_final(crc) == stored_crc;
}

// Copies the recovery component to "/tmp/image" for the slot copy: read
// from the flash a second time, so the copy is checked again on the bytes
// it writes. 1 when the file holds the whole component and its CRC
// matched; otherwise the file is removed, so that no cut or damaged copy
// can reach a slot.
int write_recovery_file(std::FILE* image, const ComponentLayout& layout, std::uint32_t stored_crc) {
    bool good = copy_rescue_component(layout, stored_crc, nullptr, image) == 1;
    good = std::ferror(image) == 0 && good;
    good = std::fclose(image) == 0 && good;
    if (!good) {
        std::remove(kRecoveryFile);
    }
    return good ? 1 : 0;
}

// The recovery image may first be installed into a slot; the result is the
// booted-image value, or -1 when the copy for the slot failed its check.
int offer_recovery_install(const ComponentLayout& layout, std::uint32_t stored_crc) {
    std::fputs("Install recovery image as image 1 or 2 (hit return to just boot image): ", stdout);
    std::fflush(stdout);
    char line[8];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        return 0;
    }
    char choice = line[0];
    if (choice != '1' && choice != '2') {
        std::puts(
            "\nBooting recovery image. You will need to download and install an image before "
            "rebooting");
        return kBootedFromRescue;
    }
    std::printf("\nInstalling recovery image as image%c...\n", choice);
    std::FILE* image = std::fopen(kRecoveryFile, "wb");
    if (image == nullptr) {
        std::fputs("Failed to open image file.\n", stderr);
        reboot_board();
    }
    if (!write_recovery_file(image, layout, stored_crc)) {
        std::fputs(kCrcFailed, stderr);
        return -1;
    }
    plat_system("mkdir /user/images &> /dev/null");
    char command[64];
    std::snprintf(command, sizeof command, "cp /tmp/image /user/images/image%c\n", choice);
    plat_system(command);
    // The slot's bytes are on the card before the boot-slot byte names it.
    durable_sync_path(image_slot_path(choice - '0'));
    std::uint8_t slot = static_cast<std::uint8_t>(choice - '0');
    std::printf("Setting boot image to %d\n", slot);
    board_set_boot_slot(slot);
    return slot;
}

// Copies `count` bytes from the slot file's current position to `out`;
// a file that ends early gives what there is.
void copy_bytes(std::FILE* in, std::FILE* out, std::uint32_t count) {
    while (count > 0) {
        std::size_t want = count < kImagePieceSize ? count : kImagePieceSize;
        std::size_t got = std::fread(piece_buffer, 1, want, in);
        if (got == 0) {
            return;
        }
        std::fwrite(piece_buffer, 1, got, out);
        count -= static_cast<std::uint32_t>(got);
    }
}

}  // namespace

int launch_diagnostics() {
    std::FILE* archive = std::fopen(kAppArchive, "wb");
    if (archive == nullptr) {
        std::fputs("Failed to open AppOS tarfile.\n", stderr);
        reboot_board();
    }
    std::uint8_t first[kImageReadSize];
    ComponentLayout layout;
    // A partition that cannot be read, or whose first component has
    // malformed sizes, holds nothing to boot.
    bool readable = partition_read(first, mtd_partitions.rescue, 0, sizeof first) == 0 &&
                    image_header_parse(first, &layout, nullptr);
    std::uint32_t type = readable ? image_type_of(layout.magic) : 0;
    if (type != kApplication && type != kDiagnostics) {
        std::fputs("Image not found... \n", stderr);
        std::fclose(archive);
        return 0;
    }
    ImageHeader header = image_header_decode(
        std::span<const std::uint8_t, kImageHeaderSize>(first, kImageHeaderSize));
    if (!copy_rescue_component(layout, header.crc, archive, nullptr)) {
        std::fputs(kCrcFailed, stderr);
        std::fclose(archive);
        return 0;
    }
    std::fclose(archive);

    int booted = kBootedFromRescue;
    if (type == kDiagnostics) {
        std::puts("Launching diagnostics image");
    } else {
        booted = offer_recovery_install(layout, header.crc);
    }
    if (booted < 0) {
        return 0;
    }
    if (booted != 0) {
        board_set_booted_image(static_cast<std::uint8_t>(booted));
    }
    launch_application(type == kDiagnostics ? 1 : 0);
}

int extract_gdb(int slot) {
    if (slot != 1 && slot != 2) {
        return 0;
    }
    int debugger_slot = slot == 1 ? 2 : 1;
    std::printf("Extracting GDB from image slot %d\n", debugger_slot);
    std::FILE* in = image_fopen_file(image_slot_path(debugger_slot));
    if (in == nullptr) {
        std::fprintf(stderr, "Failed to open GDB image (from slot %d)\n", debugger_slot);
        return 0;
    }
    std::FILE* out = std::fopen("/tmp/gdb.gz", "wb");
    if (out == nullptr) {
        std::fputs("Failed to open GDB output file.\n", stderr);
        std::fclose(in);
        return 0;
    }
    std::uint8_t first[kImageReadSize] = {};
    std::size_t got = std::fread(first, 1, sizeof first, in);
    ComponentLayout layout;
    bool parsed = image_header_parse(std::span<const std::uint8_t>(first, got), &layout, nullptr);
    if (!parsed || image_type_of(layout.magic) != kApplication) {
        // Only the first component counts, and no CRC is checked: the
        // debugger container is not a bootable image.
        ImageHeader header = image_header_decode(
            std::span<const std::uint8_t, kImageHeaderSize>(first, kImageHeaderSize));
        std::fprintf(stderr, "Image has invalid header 0x%x\n", header.magic);
        std::fclose(in);
        std::fclose(out);
        return 0;
    }
    std::printf("Found GDB image %d of length = %u.\n", debugger_slot, layout.payload_len);
    if (std::fseek(in, static_cast<long>(layout.header_len), SEEK_SET) == 0) {
        copy_bytes(in, out, layout.payload_len);
    }
    std::fclose(in);
    std::fclose(out);
    std::puts("decompressing GDB....");
    plat_system("gunzip /tmp/gdb.gz");
    plat_system("chmod +x /tmp/gdb");
    return 1;
}
