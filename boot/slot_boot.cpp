#include "boot/slot_boot.h"

#include <unistd.h>

#include <cerrno>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "board/board.h"
#include "boot/diagnostics.h"
#include "boot/launch.h"
#include "boot/reboot.h"
#include "boot/settings.h"
#include "boot/usb.h"
#include "console/rescue.h"
#include "image/container.h"
#include "image/installed.h"
#include "platform/platform.h"

std::uint8_t second_attempt = 0;

namespace {

constexpr const char* kUsbImage = "/mnt/usb/VKT3390_OS.img";
constexpr std::uint32_t kDiagnostics = image_type_magic(ComponentType::Diagnostics);

// The piece buffer of the copy: the only memory a boot needs, however
// large the image. Larger than the installer's pieces: a boot copies the
// whole slot at every start, and each piece costs a read and a write
// request (at 64 KiB a 256 MiB slot took 4096 of each, and the archive's
// page cache was built and freed in small pieces). Pieces of 1 MiB were
// no faster and took up to four times as long now and then; 256 KiB is
// small enough to stay in the processor's cache from the read through the
// CRC to the write.
constexpr std::size_t kBootPieceSize = 4 * kImagePieceSize;
std::uint8_t piece_buffer[kBootPieceSize];

int other_slot(int slot) {
    return slot == 1 ? 2 : 1;
}

[[noreturn]] void shell_escape_and_reboot() {
    shell_escape();
    reboot_board();
}

[[noreturn]] void fatal_end_with_rescue_menu() {
    rescue_menu();
    shell_escape_and_reboot();
}

// Opens the slot file, falling back to the other slot's file; *slot names
// the one actually opened. A slot file that is no regular file (a FIFO
// would hold the start for ever) is a missing slot.
std::FILE* open_slot(int* slot) {
    std::FILE* in = image_fopen_file(image_slot_path(*slot));
    if (in != nullptr) {
        return in;
    }
    int other = other_slot(*slot);
    std::fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", *slot, other);
    *slot = other;
    in = image_fopen_file(image_slot_path(*slot));
    if (in == nullptr) {
        std::fprintf(stderr, "Failed to open Application image %d.\n", *slot);
        fatal_end_with_rescue_menu();
    }
    return in;
}

// The stick's OS image: every first boot is remembered, and a remembered
// image boots again only when the operator says so.
std::FILE* open_usb_image() {
    // Only a regular file: a FIFO on the stick would hold the start for ever.
    int fd = image_open_file(kUsbImage);
    std::FILE* in = fd < 0 ? nullptr : fdopen(fd, "rb");
    if (in == nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        std::fputs("Failed to open application image from USB.\n", stderr);
        return nullptr;
    }
    // The digest is taken of the file opened here, which is the file booted.
    if (!rejected_contains(fd)) {
        rejected_add(fd);
        return in;
    }
    if (!confirm_timed("USB image is in rejected list.\nWould you still like to load it? ")) {
        std::fclose(in);
        return nullptr;
    }
    std::puts("Continuing to load USB image...");
    return in;
}

enum class Copy { Checked, CrcFailed, WriteFailed };

// Copies the component's payload to the archive while its CRC runs over
// the whole component. The archive may be partly written when the CRC did
// not match or a write failed (a full /tmp); it is never used then: a CRC
// that matches says nothing of an archive cut short.
Copy copy_checked(std::FILE* in, std::FILE* out, const BootableComponent& found) {
    ImagePieceReader reader;
    image_pieces_begin(reader, in, found.layout);
    // The header comes first, on its own (it is at most 65535 bytes), so
    // that every later piece is payload only and starts in the archive at
    // a multiple of the piece size: no write request covers part of a page.
    std::span<std::uint8_t> buffer(piece_buffer);
    std::span<std::uint8_t> first = buffer.first(
        found.layout.header_len < buffer.size() ? found.layout.header_len : buffer.size());
    ImagePiece piece;
    int step = image_pieces_next(reader, first, &piece);
    while (step == 1) {
        if (!piece.payload.empty() &&
            std::fwrite(piece.payload.data(), 1, piece.payload.size(), out) !=
                piece.payload.size()) {
            return Copy::WriteFailed;
        }
        step = image_pieces_next(reader, buffer, &piece);
    }
    // A file that ends inside the component fails the check like bad bytes.
    if (step != 0 || image_crc32_final(reader.crc) != found.header.crc) {
        return Copy::CrcFailed;
    }
    // The archive is written unbuffered: every byte was taken by /tmp.
    return Copy::Checked;
}

void close_both(std::FILE* in, std::FILE* out) {
    std::fclose(in);
    std::fclose(out);
}

// No application or diagnostics component in the source.
int no_bootable_component(int slot, std::FILE* in, std::FILE* out, std::uint32_t last_magic) {
    if (slot == kUsbSource) {
        close_both(in, out);
        std::fputs("Error: USB image corrupted or belongs to another switch type.\n", stderr);
        return 0;
    }
    if (second_attempt) {
        std::fputs("No valid application image found. Trying rescue image\n", stderr);
        close_both(in, out);
        fatal_end_with_rescue_menu();
    }
    close_both(in, out);
    std::fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", last_magic, kDiagnostics);
    std::fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", slot, other_slot(slot));
    return 0;
}

int crc_mismatch(int slot, std::FILE* in, std::FILE* out) {
    if (slot == kUsbSource) {
        std::fputs("USB image CRC failed.", stderr);
        close_both(in, out);
        return 0;
    }
    if (second_attempt) {
        std::fputs("Both image1 and image2 failed.\n", stderr);
        close_both(in, out);
        shell_escape_and_reboot();
    }
    std::fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", slot, other_slot(slot));
    close_both(in, out);
    return 0;
}

[[noreturn]] void launch(int slot, std::uint32_t type) {
    board_set_booted_image(static_cast<std::uint8_t>(slot));
    if (boot_settings.gdb && !boot_settings.gdbserver) {
        extract_gdb(slot);
    }
    launch_application(type == kDiagnostics ? 1 : 0);
}

}  // namespace

void shell_escape() {
    if (boot_settings.shell) {
        plat_system("/bin/sh\n");
    }
}

int configured_slot() {
    std::uint8_t slot = board_get_boot_slot();
    return slot == 1 || slot == 2 ? slot : 1;
}

int boot_slot(int slot) {
    std::FILE* in = nullptr;
    if (slot == 1 || slot == 2) {
        in = open_slot(&slot);
    } else if (slot == kUsbSource) {
        in = open_usb_image();
        if (in == nullptr) {
            return 0;
        }
    } else {
        return 0;
    }
    std::FILE* out = std::fopen(kAppArchive, "wb");
    if (out == nullptr) {
        std::fputs("Failed to open application image output file.\n", stderr);
        std::fclose(in);
        shell_escape_and_reboot();
    }
    // The copy takes whole pieces: through the streams' own buffers each
    // piece would cost two read and two write requests instead of one.
    std::setvbuf(in, nullptr, _IONBF, 0);
    std::setvbuf(out, nullptr, _IONBF, 0);
    BootableComponent found;
    if (!image_find_bootable(in, &found)) {
        return no_bootable_component(slot, in, out, found.last_magic);
    }
    Copy copied = copy_checked(in, out, found);
    if (copied == Copy::WriteFailed) {
        // The source may be sound: this start could not unpack it. It
        // fails like a damaged slot, so the other one is tried.
        std::fprintf(stderr, "Failed to write application image output file (err %d).\n", errno);
        // The cut archive goes at once: /tmp needs its room for the other
        // slot, or for a download in the rescue menu.
        unlink(kAppArchive);
        copied = Copy::CrcFailed;
    }
    if (copied == Copy::CrcFailed) {
        return crc_mismatch(slot, in, out);
    }
    close_both(in, out);
    launch(slot, found.type);
}
