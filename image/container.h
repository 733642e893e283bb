// The image container: what the switch installs and boots.
//
// A container is a plain concatenation of components, each one header and
// one payload, with no file header and no padding. Every number is
// big-endian. A component starts with the 16-byte ImageHeader:
//
//   0        4        8          9    12       16
//   +--------+--------+----------+----+--------+
//   |  crc   |  len   | F|type   |MAR |   id   |
//   +--------+--------+----------+----+--------+
//
// crc covers the component from byte 4 to its end; F (bit 7 of byte 8) is
// the extended-header flag; "MAR" is 0x4D 0x41 0x52; id is the version
// a.b.c.d. Readers always take 24 bytes, and bytes 16-23 pick the format:
//
//   format 3  bytes 16-19 "HDR3", header length at 22 (16 bits), len counts
//             the component less 16; extension entries from byte 24
//   format 2  flag set (and no "HDR3"): header length at 18, len counts the
//             payload
//   format 1  otherwise: 16-byte header, len counts the payload
//
// Extension entries (format 3): tag (16 bits), entry length counted from
// the tag (16 bits), value. Tag 3 holds the signature (16-bit length, then
// the bytes), tag 6 a type alias (32-bit magic).
//
// Everything here reads untrusted bytes: lengths are checked before the
// bytes they count are touched, sums are checked for 32-bit overflow, and a
// component whose sizes do not add up is refused, never guessed at.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "image/crc32.h"

// Bytes of the basic header, and bytes every reader takes at a component's
// start (the basic header and the 8 bytes that tell the format).
inline constexpr std::uint32_t kImageHeaderSize = 16;
inline constexpr std::uint32_t kImageReadSize = 24;

// The extended-header flag in `magic`, and the type without it.
inline constexpr std::uint32_t kImageFlag = 0x80000000u;
inline constexpr std::uint32_t kImageTypeMask = 0x7FFFFFFFu;
// Bytes 9-11 of every known type: "MAR".
inline constexpr std::uint32_t kImageMar = 0x004D4152u;

// The components the switch knows, by `magic` with the flag bit clear
// (type code times 0x01000000 plus "MAR"). Codes 0, 7 and 10-127 name none.
enum class ComponentType : std::uint32_t {
    Application = 0x014D4152u,
    BootLoader = 0x024D4152u,
    Kernel = 0x034D4152u,
    RootFilesystem = 0x044D4152u,
    DeviceTree = 0x054D4152u,
    Diagnostics = 0x064D4152u,
    OrvexApplication = 0x084D4152u,
    Onie = 0x094D4152u,
};

inline constexpr std::uint32_t image_type_magic(ComponentType type) {
    return static_cast<std::uint32_t>(type);
}
// The type a stored `magic` dispatches on: the flag bit cleared.
inline constexpr std::uint32_t image_type_of(std::uint32_t magic) {
    return magic & kImageTypeMask;
}

enum class HeaderFormat : std::uint8_t {
    Basic = 1,  // 16-byte header
    Long = 2,   // flag bit set, header length at byte 18
    Hdr3 = 3,   // "HDR3", header length at byte 22, extension entries
};

// The first 16 bytes of a component, decoded.
struct ImageHeader {
    std::uint32_t crc;
    std::uint32_t len;
    std::uint32_t magic;
    std::uint32_t id;
};

ImageHeader image_header_decode(std::span<const std::uint8_t, kImageHeaderSize> bytes);
void image_header_encode(const ImageHeader& header, std::span<std::uint8_t, kImageHeaderSize> out);

// Where a component's parts lie, from its first 24 bytes. For a layout that
// image_header_parse accepted, header_len + payload_len (the component
// size) fits in 32 bits and is at least 16, and header_len is at most the
// size: the next component always starts further on, and the payload lies
// inside the component.
struct ComponentLayout {
    std::uint32_t magic;  // as stored, flag bit included
    HeaderFormat format;
    std::uint32_t header_len;
    std::uint32_t payload_len;
};

inline std::uint32_t image_component_size(const ComponentLayout& layout) {
    return layout.header_len + layout.payload_len;
}

// Why a component's first bytes were refused. The containers carry no
// message of their own for these; image_fault_text gives the words the
// switch prints for them.
enum class ImageHeaderFault : std::uint8_t {
    None,
    // Fewer than 24 bytes: no component at all (a file that ends here).
    Short,
    // len + 16, or header length + len, does not fit in 32 bits.
    SizeWraps,
    // Format 3 whose header length is past len + 16 (a negative payload).
    Hdr3HeaderPastEnd,
    // Format 3 whose header length is below 24, the bytes that carry the
    // "HDR3" mark and the header length itself.
    Hdr3HeaderTooShort,
    // Format 2 whose header length is below 16 (a component that would be
    // shorter than its own basic header, and would not move a scan on).
    LongHeaderTooShort,
};

const char* image_fault_text(ImageHeaderFault fault);

// Decodes the first 24 bytes of a component. 1 with *layout filled; 0 when
// `bytes` holds fewer than 24 bytes or the sizes are malformed, with the
// reason in *fault (which may be null). *layout is untouched on 0.
int image_header_parse(std::span<const std::uint8_t> bytes, ComponentLayout* layout,
                       ImageHeaderFault* fault);

// Whether 24 bytes can start a component at all. Bytes 9-11 of every
// component are "MAR"; only a format-3 header (marked "HDR3") may carry
// other bytes there, since its type can come from an alias entry. Zero
// bytes (an erased or sparse file) and transfer padding (0x1A) are
// neither: a walk over a container ends there as at the end of the file,
// instead of stepping through them 16 bytes at a time.
int image_starts_component(std::span<const std::uint8_t, kImageReadSize> first);

// Prints the four fields of a header when `on` is non-zero.
void image_header_dump(const ImageHeader& header, int on);

// The component check: the register over bytes 4 to the end of `component`
// (exactly the component's bytes, header first), to compare with the
// stored `crc`.
std::uint32_t image_component_crc(std::span<const std::uint8_t> component);

// ---- Extension entries (format 3) ----

inline constexpr std::uint32_t kImageFirstEntry = 24;
inline constexpr std::uint16_t kImageTagSignature = 3;
inline constexpr std::uint16_t kImageTagAlias = 6;

struct ImageExtEntry {
    std::uint32_t offset;  // of the tag, from the start of the header
    std::uint16_t tag;
    std::uint16_t length;  // counted from the tag
    std::span<const std::uint8_t> value;
};

enum class ImageExtStep : std::uint8_t {
    Entry,       // *entry filled, *offset moved past it
    End,         // the offset reached the header length
    ZeroLength,  // an entry of length 0: it would never move the walk on
    TooShort,    // an entry of length 1-3, shorter than its own tag and length
    PastHeader,  // an entry (or its tag and length) reaching past the header
};

// One step of the walk over `header` (exactly header-length bytes) from
// *offset, which starts at kImageFirstEntry. Every result but Entry ends
// the walk: each step moves at least 4 bytes on, and nothing outside
// `header` is read.
ImageExtStep image_ext_next(std::span<const std::uint8_t> header, std::uint32_t* offset,
                            ImageExtEntry* entry);

// The value of a tag-6 entry: 1 with *magic set; 0 for another tag or a
// tag-6 entry too short to hold its 4 bytes (such an entry is passed over).
int image_alias_value(const ImageExtEntry& entry, std::uint32_t* magic);

// The signature of a format-3 header (exactly header-length bytes): the last
// tag-3 entry met before the walk ends (an entry of length 0 ends it, as do
// the other ends above). 1 with *signature set to the signature bytes; 0 when
// there is no tag-3 entry; -1 when the last one is malformed (too short to
// hold its 16-bit signature length, or a signature length past the entry):
// such a component is to be rejected, not treated as unsigned.
int image_find_signature(std::span<const std::uint8_t> header,
                         std::span<const std::uint8_t>* signature);

// ---- Reading a container file ----

// The first bootable component of a container file.
struct BootableComponent {
    std::uint32_t type;      // alias applied, flag bit cleared
    ComponentLayout layout;  // magic as stored, format, header and payload length
    ImageHeader header;      // the first 16 bytes as stored (alias not applied)
    std::uint64_t offset;    // first byte of the component in the file
    std::uint64_t payload_offset;
    // `magic` of the last header the search read, found or not; 0 when the
    // file was too short to hold one. Set on both results.
    std::uint32_t last_magic;
};

// Walks the components of `file` from its first byte, reading headers only
// (never a payload), for the first one of type Application or Diagnostics,
// a format-3 type alias taken into account. 1 with *found filled and the
// file positioned at the component's first byte; 0 when there is none.
//
// The search ends with 0 at the end of the file, at a file that ends inside
// a 24-byte header or inside a format-3 header, and at a component whose
// sizes are malformed: that one is refused with the line
//   "Image component at offset %llu refused: <reason>.\n"
// on the error output, since nothing after it can be found. A format-3
// extension entry of length 0 (or 1-3) prints "Image header error" and ends
// the alias walk; the component keeps its own type.
int image_find_bootable(std::FILE* file, BootableComponent* found);

// ---- Streaming a component ----

// Pieces in which components are copied: memory stays at one piece however
// large the component is.
inline constexpr std::uint32_t kImagePieceSize = 65536;

// Reads one component of an open file in pieces and keeps its CRC register
// (from byte 4) on the way.
struct ImagePieceReader {
    std::FILE* file;
    std::uint32_t size;  // component size
    std::uint32_t header_len;
    std::uint32_t done;  // bytes of the component read so far
    ImageCrc32 crc;
};

// One piece, split where the header ends.
struct ImagePiece {
    std::span<const std::uint8_t> header;   // header bytes in this piece
    std::span<const std::uint8_t> payload;  // payload bytes in this piece
};

// Starts reading the component `layout` describes; the file must be
// positioned at its first byte (image_find_bootable leaves it so).
void image_pieces_begin(ImagePieceReader& reader, std::FILE* file, const ComponentLayout& layout);

// Reads the next piece (at most buffer.size() bytes) into `buffer`. 1 with
// *piece set; 0 when the whole component has been read (then the CRC is
// complete: image_crc32_final(reader.crc)); -1 when the file ended inside
// the component, a read failed, or `buffer` is empty.
int image_pieces_next(ImagePieceReader& reader, std::span<std::uint8_t> buffer, ImagePiece* piece);

// Opens the file of a container for reading: a descriptor, or -1 when
// there is no container to read. Only a regular file is one: a FIFO or a
// device node (a USB stick can hold either) would block a read for ever or
// never end, and opening a device can act on it. A path on the USB stick
// must lead to a file on the stick. Nothing here blocks.
int image_open_file(const char* path);

// The same as a stream for binary reading, or null.
std::FILE* image_fopen_file(const char* path);
