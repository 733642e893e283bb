// imgtool inspect: lists every component of a container as the switch's
// readers see it, and which one a slot boot would take.
#include <cinttypes>
#include <cstring>
#include <memory>

#include "tools/imgtool/imgtool.h"

namespace {

constexpr const char* kCommand = "inspect";

void inspect_usage(std::FILE* out) {
    std::fputs(
        "usage: imgtool inspect FILE\n"
        "\n"
        "Lists every component of the image container FILE: offset, type, header format,\n"
        "header and payload length, version, CRC (good or bad) and the extension entries\n"
        "of HDR3 headers; then the component a slot boot would take.\n"
        "\n"
        "Exit status: 0 listed (whatever the components hold; 'imgtool verify' judges\n"
        "them), 2 usage error or unreadable file.\n",
        out);
}

// The version a.b.c.d of an `id` as the switch shows it ("%d.%d.%d.%d",
// a from the most significant byte): at most 15 characters and a zero.
void id_text(std::uint32_t id, char (&text)[16]) {
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>(id >> 24),
                  static_cast<int>((id >> 16) & 0xFFu), static_cast<int>((id >> 8) & 0xFFu),
                  static_cast<int>(id & 0xFFu));
}

const char* format_name(HeaderFormat format) {
    switch (format) {
        case HeaderFormat::Basic:
            return "1 (basic)";
        case HeaderFormat::Long:
            return "2 (long)";
        case HeaderFormat::Hdr3:
            return "3 (HDR3)";
    }
    return "?";
}

std::uint16_t be16(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

void print_entry(const ImageExtEntry& entry) {
    std::printf("  entry:   tag %u, %u bytes at header offset %u", entry.tag, entry.length,
                entry.offset);
    std::uint32_t alias = 0;
    if (image_alias_value(entry, &alias)) {
        std::printf(": type alias 0x%08X (%s)", alias, imgtool_type_name(image_type_of(alias)));
    } else if (entry.tag == kImageTagSignature && entry.value.size() >= 2) {
        std::printf(": signature of %u bytes%s", be16(entry.value),
                    be16(entry.value) > entry.value.size() - 2 ? ", past its entry" : "");
    }
    std::printf("\n");
}

void print_entries(const std::vector<std::uint8_t>& header_bytes) {
    std::span<const std::uint8_t> header(header_bytes);
    std::uint32_t position = kImageFirstEntry;
    ImageExtEntry entry{};
    for (;;) {
        ImageExtStep step = image_ext_next(header, &position, &entry);
        switch (step) {
            case ImageExtStep::Entry:
                print_entry(entry);
                continue;
            case ImageExtStep::End:
                return;
            case ImageExtStep::ZeroLength:
                std::printf("  entry:   length 0 at header offset %u: the walk ends here\n",
                            position);
                return;
            case ImageExtStep::TooShort:
                std::printf("  entry:   length below 4 at header offset %u: the walk ends here\n",
                            position);
                return;
            case ImageExtStep::PastHeader:
                std::printf(
                    "  entry:   at header offset %u reaches past the header: "
                    "the walk ends here\n",
                    position);
                return;
        }
    }
}

void print_component(const ToolComponent& c) {
    std::uint32_t type = image_type_of(c.header.magic);
    std::printf("component %d\n", c.index);
    std::printf("  offset:  %" PRIu64 " (0x%08" PRIX64 ")\n", c.offset, c.offset);
    std::printf("  type:    %s (magic 0x%08X%s)\n", imgtool_type_name(type), c.header.magic,
                (c.header.magic & kImageFlag) ? ", flag bit set" : "");
    std::printf("  format:  %s\n", format_name(c.layout.format));
    std::printf("  header:  %u bytes\n", c.layout.header_len);
    std::printf("  payload: %u bytes\n", c.layout.payload_len);
    char version[16];
    id_text(c.header.id, version);
    std::printf("  version: %s\n", version);
    if (!c.complete) {
        std::printf("  crc:     0x%08X bad: the file ends %" PRIu64
                    " bytes into the component of %u bytes\n",
                    c.header.crc, c.bytes_read, image_component_size(c.layout));
    } else if (c.computed_crc == c.header.crc) {
        std::printf("  crc:     0x%08X good\n", c.header.crc);
    } else {
        std::printf("  crc:     0x%08X bad (computed 0x%08X)\n", c.header.crc, c.computed_crc);
    }
    if (c.layout.format == HeaderFormat::Hdr3 && c.header_bytes.size() == c.layout.header_len) {
        print_entries(c.header_bytes);
    }
}

// The walk's end: trailing bytes, a refused component, or a read error.
void print_walk_end(const ToolWalk& walk, int result) {
    if (result < 0 && walk.read_error) {
        std::printf("read error at offset %" PRIu64 "\n", walk.offset);
    } else if (result < 0) {
        std::printf("component %d at offset %" PRIu64 " (magic 0x%08X) refused: %s\n",
                    walk.count + 1, walk.offset, walk.refused_header.magic,
                    image_fault_text(walk.fault));
        std::printf("  nothing after it can be read\n");
    } else if (walk.trailing > 0) {
        std::printf("%" PRIu64 " trailing bytes at offset %" PRIu64
                    ": too few for a header, no reader sees them\n",
                    walk.trailing, walk.offset);
    }
    if (walk.count == 0) {
        std::printf("no component\n");
    }
}

// What a slot boot takes, found by the switch's own search.
void print_bootable(std::FILE* file) {
    std::fflush(stdout);
    BootableComponent found{};
    if (image_find_bootable(file, &found)) {
        std::printf("bootable: %s at offset %" PRIu64 " (magic 0x%08X)\n",
                    imgtool_type_name(found.type), found.offset, found.header.magic);
    } else {
        std::printf("bootable: none (last magic read 0x%08X)\n", found.last_magic);
    }
}

}  // namespace

int imgtool_inspect(int argc, char** argv) {
    const char* path = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (imgtool_is_help(argv[i])) {
            inspect_usage(stdout);
            return kImgtoolOk;
        }
        if (path || (argv[i][0] == '-' && argv[i][1] != '\0')) {
            imgtool_error(kCommand, "unexpected argument %s", argv[i]);
            std::fputs("Try 'imgtool inspect --help'.\n", stderr);
            return kImgtoolUsage;
        }
        path = argv[i];
    }
    if (!path) {
        inspect_usage(stderr);
        return kImgtoolUsage;
    }
    std::FILE* file = imgtool_open(kCommand, path);
    if (!file) {
        return kImgtoolUsage;
    }
    std::unique_ptr<std::FILE, decltype(&std::fclose)> closer(file, std::fclose);
    std::printf("%s\n", path);
    ToolWalk walk{};
    imgtool_walk_begin(walk, file, false);
    ToolComponent component{};
    int result = 0;
    while ((result = imgtool_walk_next(walk, &component)) == 1) {
        print_component(component);
    }
    print_walk_end(walk, result);
    if (walk.read_error) {
        imgtool_error(kCommand, "%s: read error", path);
        return kImgtoolUsage;
    }
    print_bootable(file);
    return kImgtoolOk;
}
