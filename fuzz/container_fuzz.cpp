// Container bytes as they arrive from a download or a stick: the header
// decoder, the extension-entry walk, the signature search, the component
// CRC, the bootable-component search over a file and the piece reader.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "image/container.h"

namespace {

void walk_header(std::span<const std::uint8_t> bytes, const ComponentLayout& layout) {
    std::uint32_t size = image_component_size(layout);
    image_component_crc(bytes.first(size < bytes.size() ? size : bytes.size()));
    if (layout.format != HeaderFormat::Hdr3 || layout.header_len > bytes.size()) {
        return;
    }
    std::span<const std::uint8_t> header = bytes.first(layout.header_len);
    std::uint32_t offset = kImageFirstEntry;
    ImageExtEntry entry;
    while (image_ext_next(header, &offset, &entry) == ImageExtStep::Entry) {
        std::uint32_t magic;
        image_alias_value(entry, &magic);
    }
    std::span<const std::uint8_t> signature;
    image_find_signature(header, &signature);
}

void read_as_file(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (file == nullptr) {
        return;
    }
    BootableComponent found;
    if (image_find_bootable(file, &found) == 1) {
        ImagePieceReader reader;
        image_pieces_begin(reader, file, found.layout);
        std::uint8_t buffer[4096];
        ImagePiece piece;
        while (image_pieces_next(reader, buffer, &piece) == 1) {
        }
    }
    std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> bytes(data, size);
    ComponentLayout layout;
    ImageHeaderFault fault;
    if (image_header_parse(bytes, &layout, &fault) == 1) {
        walk_header(bytes, layout);
    }
    if (size != 0) {
        read_as_file(data, size);
    }
    return 0;
}
