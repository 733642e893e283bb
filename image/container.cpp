#include "image/container.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Big-endian loads. Callers check that offset + width lies inside `bytes`.
std::uint16_t load_be16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

std::uint32_t load_be32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) << 24 |
           static_cast<std::uint32_t>(bytes[offset + 1]) << 16 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 3]);
}

void store_be32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value >> 24);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 16);
    bytes[offset + 2] = static_cast<std::uint8_t>(value >> 8);
    bytes[offset + 3] = static_cast<std::uint8_t>(value);
}

bool is_hdr3(std::span<const std::uint8_t> bytes) {
    return bytes[16] == 'H' && bytes[17] == 'D' && bytes[18] == 'R' && bytes[19] == '3';
}

// Format 3: the component is len + 16 bytes and the header takes its first
// header-length bytes, so the header must fit inside it.
ImageHeaderFault layout_hdr3(std::uint32_t len, std::uint32_t header_len, ComponentLayout* layout) {
    if (len > 0xFFFFFFFFu - kImageHeaderSize) {
        return ImageHeaderFault::SizeWraps;
    }
    if (header_len < kImageReadSize) {
        return ImageHeaderFault::Hdr3HeaderTooShort;
    }
    std::uint32_t size = len + kImageHeaderSize;
    if (header_len > size) {
        return ImageHeaderFault::Hdr3HeaderPastEnd;
    }
    layout->header_len = header_len;
    layout->payload_len = size - header_len;
    return ImageHeaderFault::None;
}

// Format 2: header length + len bytes, the header at least the basic 16.
ImageHeaderFault layout_long(std::uint32_t len, std::uint32_t header_len, ComponentLayout* layout) {
    if (header_len < kImageHeaderSize) {
        return ImageHeaderFault::LongHeaderTooShort;
    }
    if (len > 0xFFFFFFFFu - header_len) {
        return ImageHeaderFault::SizeWraps;
    }
    layout->header_len = header_len;
    layout->payload_len = len;
    return ImageHeaderFault::None;
}

// Format 1: the 16-byte header and len payload bytes.
ImageHeaderFault layout_basic(std::uint32_t len, ComponentLayout* layout) {
    if (len > 0xFFFFFFFFu - kImageHeaderSize) {
        return ImageHeaderFault::SizeWraps;
    }
    layout->header_len = kImageHeaderSize;
    layout->payload_len = len;
    return ImageHeaderFault::None;
}

// Reads exactly `length` bytes at `offset` of the file; false when the file
// ends first or the position or the read fails.
bool read_at(std::FILE* file, std::uint64_t offset, std::uint8_t* buffer, std::size_t length) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX) ||
        fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        return false;
    }
    return std::fread(buffer, 1, length, file) == length;
}

// Walks the extension entries of a format-3 header for a type alias that
// ends in "MAR" and puts it into *type. 1 when the walk ran (alias found or
// not); 0 when the header could not be read whole (the file ends inside it)
// or had no memory, which ends the search.
int walk_alias(std::FILE* file, std::uint64_t offset, std::uint32_t header_len,
               std::uint32_t* type) {
    std::unique_ptr<std::uint8_t[]> header(new (std::nothrow) std::uint8_t[header_len]);
    if (!header) {
        std::fprintf(stderr, "Failed to allocate buffer for image header (%u)\n", header_len);
        return 0;
    }
    if (!read_at(file, offset, header.get(), header_len)) {
        return 0;
    }
    std::span<const std::uint8_t> bytes(header.get(), header_len);
    std::uint32_t position = kImageFirstEntry;
    ImageExtEntry entry{};
    for (;;) {
        ImageExtStep step = image_ext_next(bytes, &position, &entry);
        if (step == ImageExtStep::ZeroLength || step == ImageExtStep::TooShort) {
            std::puts("Image header error");
            return 1;
        }
        if (step != ImageExtStep::Entry) {
            return 1;
        }
        std::uint32_t alias = 0;
        if (image_alias_value(entry, &alias) && (alias & 0x00FFFFFFu) == kImageMar) {
            *type = alias;
            return 1;
        }
    }
}

bool is_bootable(std::uint32_t type) {
    return type == image_type_magic(ComponentType::Application) ||
           type == image_type_magic(ComponentType::Diagnostics);
}

}  // namespace

ImageHeader image_header_decode(std::span<const std::uint8_t, kImageHeaderSize> bytes) {
    return ImageHeader{load_be32(bytes, 0), load_be32(bytes, 4), load_be32(bytes, 8),
                       load_be32(bytes, 12)};
}

void image_header_encode(const ImageHeader& header, std::span<std::uint8_t, kImageHeaderSize> out) {
    store_be32(out, 0, header.crc);
    store_be32(out, 4, header.len);
    store_be32(out, 8, header.magic);
    store_be32(out, 12, header.id);
}

const char* image_fault_text(ImageHeaderFault fault) {
    switch (fault) {
        case ImageHeaderFault::None:
            return "no fault";
        case ImageHeaderFault::Short:
            return "fewer than 24 bytes";
        case ImageHeaderFault::SizeWraps:
            return "component size past 4 GiB";
        case ImageHeaderFault::Hdr3HeaderPastEnd:
            return "HDR3 header longer than the component";
        case ImageHeaderFault::Hdr3HeaderTooShort:
            return "HDR3 header shorter than 24 bytes";
        case ImageHeaderFault::LongHeaderTooShort:
            return "long header shorter than 16 bytes";
    }
    return "unknown fault";
}

int image_header_parse(std::span<const std::uint8_t> bytes, ComponentLayout* layout,
                       ImageHeaderFault* fault) {
    ImageHeaderFault result = ImageHeaderFault::Short;
    ComponentLayout decoded{};
    if (bytes.size() >= kImageReadSize) {
        std::uint32_t len = load_be32(bytes, 4);
        decoded.magic = load_be32(bytes, 8);
        if (is_hdr3(bytes)) {
            decoded.format = HeaderFormat::Hdr3;
            result = layout_hdr3(len, load_be16(bytes, 22), &decoded);
        } else if (decoded.magic & kImageFlag) {
            decoded.format = HeaderFormat::Long;
            result = layout_long(len, load_be16(bytes, 18), &decoded);
        } else {
            decoded.format = HeaderFormat::Basic;
            result = layout_basic(len, &decoded);
        }
    }
    if (fault) {
        *fault = result;
    }
    if (result != ImageHeaderFault::None) {
        return 0;
    }
    *layout = decoded;
    return 1;
}

void image_header_dump(const ImageHeader& header, int on) {
    if (!on) {
        return;
    }
    std::printf("  crc: 0x%08x\n", header.crc);
    std::printf("  len: 0x%08x\n", header.len);
    std::printf("magic: 0x%08x\n", header.magic);
    std::printf("   id: 0x%08x\n", header.id);
}

std::uint32_t image_component_crc(std::span<const std::uint8_t> component) {
    ImageCrc32 crc;
    image_crc32_init(crc);
    if (component.size() > 4) {
        image_crc32_update(crc, component.subspan(4));
    }
    return image_crc32_final(crc);
}

ImageExtStep image_ext_next(std::span<const std::uint8_t> header, std::uint32_t* offset,
                            ImageExtEntry* entry) {
    std::size_t at = *offset;
    if (at >= header.size()) {
        return ImageExtStep::End;
    }
    if (header.size() - at < 4) {
        return ImageExtStep::PastHeader;
    }
    std::uint16_t length = load_be16(header, at + 2);
    if (length == 0) {
        return ImageExtStep::ZeroLength;
    }
    if (length < 4) {
        return ImageExtStep::TooShort;
    }
    if (length > header.size() - at) {
        return ImageExtStep::PastHeader;
    }
    entry->offset = *offset;
    entry->tag = load_be16(header, at);
    entry->length = length;
    entry->value = header.subspan(at + 4, length - 4u);
    *offset += length;
    return ImageExtStep::Entry;
}

int image_alias_value(const ImageExtEntry& entry, std::uint32_t* magic) {
    if (entry.tag != kImageTagAlias || entry.value.size() < 4) {
        return 0;
    }
    *magic = load_be32(entry.value, 0);
    return 1;
}

int image_find_signature(std::span<const std::uint8_t> header,
                         std::span<const std::uint8_t>* signature) {
    std::uint32_t position = kImageFirstEntry;
    ImageExtEntry entry{};
    std::span<const std::uint8_t> last;
    bool seen = false;
    while (image_ext_next(header, &position, &entry) == ImageExtStep::Entry) {
        if (entry.tag == kImageTagSignature) {
            last = entry.value;
            seen = true;
        }
    }
    if (!seen) {
        return 0;
    }
    // The value: a 16-bit signature length, then that many bytes, all
    // inside the entry.
    if (last.size() < 2 || load_be16(last, 0) > last.size() - 2) {
        return -1;
    }
    *signature = last.subspan(2, load_be16(last, 0));
    return 1;
}

int image_starts_component(std::span<const std::uint8_t, kImageReadSize> first) {
    bool mar = first[9] == 'M' && first[10] == 'A' && first[11] == 'R';
    bool hdr3 = first[16] == 'H' && first[17] == 'D' && first[18] == 'R' && first[19] == '3';
    return mar || hdr3 ? 1 : 0;
}

int image_find_bootable(std::FILE* file, BootableComponent* found) {
    *found = BootableComponent{};
    std::uint64_t offset = 0;
    for (;;) {
        std::uint8_t first[kImageReadSize];
        if (!read_at(file, offset, first, sizeof first)) {
            return 0;
        }
        ImageHeader header = image_header_decode(std::span(first).first<kImageHeaderSize>());
        found->last_magic = header.magic;
        if (!image_starts_component(first)) {
            return 0;
        }
        ComponentLayout layout{};
        ImageHeaderFault fault = ImageHeaderFault::None;
        if (!image_header_parse(first, &layout, &fault)) {
            std::fprintf(stderr, "Image component at offset %" PRIu64 " refused: %s.\n", offset,
                         image_fault_text(fault));
            return 0;
        }
        std::uint32_t type = layout.magic;
        if (layout.format == HeaderFormat::Hdr3 &&
            !walk_alias(file, offset, layout.header_len, &type)) {
            return 0;
        }
        type = image_type_of(type);
        if (is_bootable(type)) {
            if (offset > static_cast<std::uint64_t>(INT64_MAX) ||
                fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
                return 0;
            }
            *found = BootableComponent{
                type, layout, header, offset, offset + layout.header_len, header.magic};
            return 1;
        }
        // The layout guarantees a size of at least 16 bytes, so every step
        // moves on; the 64-bit offset cannot wrap back to an earlier
        // component.
        offset += image_component_size(layout);
    }
}

void image_pieces_begin(ImagePieceReader& reader, std::FILE* file, const ComponentLayout& layout) {
    reader.file = file;
    reader.size = image_component_size(layout);
    reader.header_len = layout.header_len;
    reader.done = 0;
    image_crc32_init(reader.crc);
}

int image_pieces_next(ImagePieceReader& reader, std::span<std::uint8_t> buffer, ImagePiece* piece) {
    std::uint32_t left = reader.size - reader.done;
    if (left == 0) {
        return 0;
    }
    if (buffer.empty()) {
        return -1;
    }
    std::size_t want = buffer.size() < left ? buffer.size() : left;
    if (std::fread(buffer.data(), 1, want, reader.file) != want) {
        return -1;
    }
    std::span<const std::uint8_t> bytes = buffer.first(want);
    // The CRC leaves out the crc field itself, bytes 0-3 of the component.
    std::size_t skip = reader.done < 4 ? 4 - reader.done : 0;
    if (skip < want) {
        image_crc32_update(reader.crc, bytes.subspan(skip));
    }
    std::size_t header_part = 0;
    if (reader.done < reader.header_len) {
        header_part = reader.header_len - reader.done;
        header_part = header_part < want ? header_part : want;
    }
    piece->header = bytes.first(header_part);
    piece->payload = bytes.subspan(header_part);
    reader.done += static_cast<std::uint32_t>(want);
    return 1;
}

// The name is looked up first, and the file opened without blocking (a
// FIFO put in its place meanwhile does not hang the open) is checked again.
namespace {

// The stick's mount point. An entry there is the stick's own file only when
// the file opened is on the stick: a link that leads off it (to a file in
// /proc that blocks on read, to a slot file the install rewrites) is no
// image the operator brought.
constexpr char kStickDir[] = "/mnt/usb/";

bool on_the_stick(const char* path) {
    return std::strncmp(path, kStickDir, sizeof kStickDir - 1) == 0;
}

// The kernel's own name of the file behind `fd`, as far as the stick's
// prefix: the name it was reached by after every link was followed. Where
// /proc cannot tell, the file must at least be on the filesystem mounted
// at the stick's mount point.
bool opened_on_the_stick(int fd) {
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[sizeof kStickDir];
    ssize_t n = readlink(link, target, sizeof target);
    if (n >= 0) {
        return n == static_cast<ssize_t>(sizeof target) &&
               std::memcmp(target, kStickDir, sizeof kStickDir - 1) == 0;
    }
    struct stat file {};
    struct stat stick {};
    return fstat(fd, &file) == 0 && stat(kStickDir, &stick) == 0 && file.st_dev == stick.st_dev;
}

}  // namespace

int image_open_file(const char* path) {
    struct stat info {};
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) {
        return -1;
    }
    // Opened without waiting: a FIFO swapped in after the look above opens
    // at once and is refused below, where a blocking open would wait for a
    // writer for ever.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 ||
        (on_the_stick(path) && !opened_on_the_stick(fd)) ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::FILE* image_fopen_file(const char* path) {
    int fd = image_open_file(path);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}
