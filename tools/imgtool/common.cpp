#include <sys/types.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "auth/crypto/sha256.h"
#include "tools/imgtool/imgtool.h"

namespace {

struct TypeName {
    const char* name;
    ComponentType type;
};

constexpr TypeName kTypeNames[] = {
    {"application", ComponentType::Application}, {"bootloader", ComponentType::BootLoader},
    {"kernel", ComponentType::Kernel},           {"rootfs", ComponentType::RootFilesystem},
    {"devicetree", ComponentType::DeviceTree},   {"diagnostics", ComponentType::Diagnostics},
    {"orvex", ComponentType::OrvexApplication},  {"onie", ComponentType::Onie},
};

// A whole unsigned number, decimal or 0x-prefixed hexadecimal, that fits
// in 32 bits.
bool parse_number(const char* text, std::uint32_t* value) {
    // Decimal, or hexadecimal after 0x: never octal, so 010 is ten; no
    // sign and no blanks.
    bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = hex ? text + 2 : text;
    if (!(hex ? std::isxdigit(static_cast<unsigned char>(digits[0]))
              : std::isdigit(static_cast<unsigned char>(digits[0])))) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long number = std::strtoull(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || number > 0xFFFFFFFFull) {
        return false;
    }
    *value = static_cast<std::uint32_t>(number);
    return true;
}

bool read_exact(std::FILE* file, std::uint64_t offset, std::uint8_t* buffer, std::size_t length,
                std::size_t* got) {
    *got = 0;
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        return false;
    }
    *got = std::fread(buffer, 1, length, file);
    return !std::ferror(file);
}

}  // namespace

void imgtool_error(const char* command, const char* format, ...) {
    std::fprintf(stderr, "imgtool %s: ", command);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

bool imgtool_is_help(const char* arg) {
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

const char* imgtool_type_name(std::uint32_t type) {
    for (const TypeName& entry : kTypeNames) {
        if (image_type_magic(entry.type) == type) {
            return entry.name;
        }
    }
    return "unknown";
}

int imgtool_parse_type(const char* text, std::uint32_t* code) {
    for (const TypeName& entry : kTypeNames) {
        if (std::strcmp(text, entry.name) == 0) {
            *code = image_type_magic(entry.type) >> 24;
            return 1;
        }
    }
    std::uint32_t number = 0;
    if (!parse_number(text, &number) || number > 127) {
        return 0;
    }
    *code = number;
    return 1;
}

int imgtool_parse_magic(const char* text, std::uint32_t* magic) {
    std::uint32_t code = 0;
    if (imgtool_parse_type(text, &code)) {
        *magic = code << 24 | kImageMar;
        return 1;
    }
    std::uint32_t number = 0;
    if (!parse_number(text, &number)) {
        return 0;
    }
    *magic = number;
    return 1;
}

int imgtool_parse_version(const char* text, std::uint32_t* id) {
    std::uint32_t value = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (*p < '0' || *p > '9') {
            return 0;
        }
        std::uint32_t number = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            number = number * 10 + static_cast<std::uint32_t>(*p - '0');
            ++p;
            if (++digits > 3 || number > 255) {
                return 0;
            }
        }
        value = value << 8 | number;
        if (part < 3 && *p++ != '.') {
            return 0;
        }
    }
    if (*p != '\0') {
        return 0;
    }
    *id = value;
    return 1;
}

bool imgtool_version_block_fault(std::span<const std::uint8_t> block, std::uint64_t payload_len,
                                 std::span<const std::uint8_t, kImageHeaderSize> header,
                                 std::string* fault) {
    char text[256];
    if (block.size() < kImageHeaderSize) {
        std::snprintf(text, sizeof text,
                      "the payload of %llu bytes ends before its version block (payload bytes "
                      "%u-%u)",
                      static_cast<unsigned long long>(payload_len), kVersionBlockOffset,
                      kVersionBlockOffset + kImageHeaderSize - 1);
        *fault = text;
        return true;
    }
    if (std::memcmp(block.data() + 4, header.data() + 4, kImageHeaderSize - 4) == 0) {
        return false;
    }
    ImageHeader held = image_header_decode(block.first<kImageHeaderSize>());
    ImageHeader wanted = image_header_decode(header);
    std::snprintf(text, sizeof text,
                  "the version block at payload offset %u does not mirror the header (it holds "
                  "len 0x%08X, magic 0x%08X, id 0x%08X; the header len 0x%08X, magic 0x%08X, id "
                  "0x%08X)",
                  kVersionBlockOffset, held.len, held.magic, held.id, wanted.len, wanted.magic,
                  wanted.id);
    *fault = text;
    return true;
}

std::FILE* imgtool_open(const char* command, const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) {
        imgtool_error(command, "cannot open %s: %s", path, std::strerror(errno));
    }
    return file;
}

void imgtool_walk_begin(ToolWalk& walk, std::FILE* file, bool digest) {
    walk = ToolWalk{};
    walk.file = file;
    walk.digest = digest;
}

// Copies what of a payload piece that starts at payload offset `at` lies
// in the boot loader's version block.
static void keep_version_block(ToolComponent* component, std::uint64_t at,
                               std::span<const std::uint8_t> piece) {
    std::uint64_t first = kVersionBlockOffset;
    std::uint64_t end = first + kImageHeaderSize;
    for (std::uint64_t i = std::max(at, first); i < std::min(at + piece.size(), end); ++i) {
        component->version_block[i - first] = piece[i - at];
        component->version_block_len = static_cast<std::uint32_t>(i - first + 1);
    }
}

// Reads the component at walk.offset piece by piece: the header is kept,
// the payload is only run through the CRC and, when asked, SHA-256.
static void read_component(ToolWalk& walk, ToolComponent* component) {
    static std::uint8_t piece_buffer[kImagePieceSize];
    Sha256Ctx sha{};
    sha256_init(sha);
    component->version_block_len = 0;
    std::uint64_t payload_at = 0;  // payload offset of the piece
    ImagePieceReader reader{};
    image_pieces_begin(reader, walk.file, component->layout);
    component->header_bytes.clear();
    component->bytes_read = 0;
    component->header_bytes.reserve(component->layout.header_len);
    ImagePiece piece{};
    int result = 0;
    if (fseeko(walk.file, static_cast<off_t>(component->offset), SEEK_SET) == 0) {
        while ((result = image_pieces_next(reader, piece_buffer, &piece)) == 1) {
            component->header_bytes.insert(component->header_bytes.end(), piece.header.begin(),
                                           piece.header.end());
            if (walk.digest) {
                sha256_update(sha, piece.payload.data(), piece.payload.size());
            }
            keep_version_block(component, payload_at, piece.payload);
            payload_at += piece.payload.size();
        }
    } else {
        result = -1;
    }
    component->complete = result == 0;
    component->computed_crc = image_crc32_final(reader.crc);
    if (!component->complete) {
        // The last piece was short: count what the file does hold.
        off_t end = 0;
        if (fseeko(walk.file, 0, SEEK_END) == 0 && (end = ftello(walk.file)) >= 0) {
            std::uint64_t held = static_cast<std::uint64_t>(end) - component->offset;
            component->bytes_read = held;
        }
    } else {
        component->bytes_read = reader.done;
    }
    sha256_final(sha, component->payload_digest);
}

int imgtool_walk_next(ToolWalk& walk, ToolComponent* component) {
    std::uint8_t first[kImageReadSize];
    std::size_t got = 0;
    if (!read_exact(walk.file, walk.offset, first, sizeof first, &got)) {
        walk.read_error = true;
        return -1;
    }
    if (got < sizeof first) {
        walk.trailing = got;
        return 0;
    }
    ComponentLayout layout{};
    ImageHeaderFault fault = ImageHeaderFault::None;
    ImageHeader header = image_header_decode(std::span(first).first<kImageHeaderSize>());
    if (!image_header_parse(first, &layout, &fault)) {
        walk.fault = fault;
        walk.refused_header = header;
        return -1;
    }
    component->index = ++walk.count;
    component->offset = walk.offset;
    component->layout = layout;
    component->header = header;
    read_component(walk, component);
    if (std::ferror(walk.file)) {
        walk.read_error = true;
        return -1;
    }
    walk.offset += image_component_size(layout);
    return 1;
}
