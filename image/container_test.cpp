#include "image/container.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "image/test_support.h"
#include "platform/sandbox/test_support.h"

namespace {

using namespace image_test;
using sandbox_test::capture;

constexpr std::uint32_t kApp = 0x014D4152u;
constexpr std::uint32_t kBoot = 0x024D4152u;
constexpr std::uint32_t kKernel = 0x034D4152u;

// A 24-byte start of a component, for the decoding rules alone.
Bytes first24(std::uint32_t len, std::uint32_t magic) {
    Bytes bytes(24, 0);
    put_be32(bytes, 4, len);
    put_be32(bytes, 8, magic);
    return bytes;
}

Bytes hdr3_first24(std::uint32_t len, std::uint32_t magic, std::uint32_t header_len) {
    Bytes bytes = first24(len, magic);
    std::memcpy(bytes.data() + 16, "HDR3", 4);
    put_be16(bytes, 22, header_len);
    return bytes;
}

ImageHeaderFault parse_fault(const Bytes& bytes) {
    ComponentLayout layout{};
    ImageHeaderFault fault = ImageHeaderFault::None;
    int result = image_header_parse(bytes, &layout, &fault);
    EXPECT_EQ(result == 1, fault == ImageHeaderFault::None);
    return fault;
}

// The three header formats as imgtool packs them are walked by tests/imgtool
// and the install console tests; these are the shapes imgtool never makes,
// and the basic format they are told apart from.
TEST(ImageHeaderParse, ShapesImgtoolNeverMakes) {
    Bytes long_header = first24(100, kKernel | kImageFlag);
    put_be16(long_header, 18, 40);
    put_be16(long_header, 22, 999);  // not read in format 2
    struct Case {
        Bytes bytes;
        HeaderFormat format;
        std::uint32_t header_len;
        std::uint32_t payload_len;
    } cases[] = {
        {first24(100, kKernel), HeaderFormat::Basic, 16, 100},
        {long_header, HeaderFormat::Long, 40, 100},
        // "HDR3" wins over the flag bit; the long-header length would read "R3".
        {hdr3_first24(100, kApp | kImageFlag, 30), HeaderFormat::Hdr3, 30, 86},
        {hdr3_first24(8, kApp, 24), HeaderFormat::Hdr3, 24, 0},
    };
    for (const Case& c : cases) {
        ComponentLayout layout{};
        ASSERT_EQ(1, image_header_parse(c.bytes, &layout, nullptr));
        EXPECT_EQ(c.format, layout.format);
        EXPECT_EQ(c.header_len, layout.header_len);
        EXPECT_EQ(c.payload_len, layout.payload_len);
        EXPECT_EQ(c.header_len + c.payload_len, image_component_size(layout));
    }
}

TEST(ImageHeaderParse, RefusesMalformedSizes) {
    using F = ImageHeaderFault;
    // Format 2 below 16 bytes of header: the component (8 + 4 bytes) would
    // be shorter than its basic header; a length of 0 would never move on.
    Bytes long8 = first24(4, kKernel | kImageFlag);
    put_be16(long8, 18, 8);
    Bytes long_wraps = first24(0xFFFFFFFFu - 23, kKernel | kImageFlag);
    put_be16(long_wraps, 18, 24);
    Bytes long_fits = first24(0xFFFFFFFFu - 24, kKernel | kImageFlag);
    put_be16(long_fits, 18, 24);
    Bytes long16 = first24(4, kKernel | kImageFlag);  // exactly the basic header
    put_be16(long16, 18, 16);
    struct Case {
        Bytes bytes;
        ImageHeaderFault fault;
    } cases[] = {
        {hdr3_first24(84, kApp, 101), F::Hdr3HeaderPastEnd},  // 84 + 16 bytes
        {hdr3_first24(84, kApp, 100), F::None},
        {hdr3_first24(84, kApp, 23), F::Hdr3HeaderTooShort},
        {long8, F::LongHeaderTooShort},
        {long16, F::None},
        {first24(0xFFFFFFEFu, kKernel), F::None},
        {first24(0xFFFFFFF0u, kKernel), F::SizeWraps},
        {long_fits, F::None},
        {long_wraps, F::SizeWraps},
        {hdr3_first24(0xFFFFFFF0u, kApp, 24), F::SizeWraps},
        {Bytes(23, 0x5A), F::Short},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].fault, parse_fault(cases[i].bytes)) << "case " << i;
    }
    // Each fault has a text of its own in the messages that name it, and
    // so does a value the parser never gives.
    std::set<std::string> texts;
    for (F fault : {F::None, F::Short, F::SizeWraps, F::Hdr3HeaderPastEnd, F::Hdr3HeaderTooShort,
                    F::LongHeaderTooShort, static_cast<F>(99)}) {
        const char* text = image_fault_text(fault);
        ASSERT_NE(nullptr, text);
        texts.insert(text);
    }
    EXPECT_EQ(7u, texts.size());
}

// A zero-length entry ends the search: before a tag-3 entry the component
// is unsigned, after one that one is the signature. Sizes past the entry
// are refused.
TEST(ImageFindSignature, LastWellFormedTag3EntryBeforeAZeroLength) {
    Bytes zero(4, 0);
    put_be16(zero, 0, 3);
    Bytes past = signature_entry(pattern(10, 1));
    put_be16(past, 4, 11);  // one byte more than the entry holds
    struct Case {
        Bytes entries;
        int result;
        std::size_t size;
    } cases[] = {
        {concat(
             {signature_entry(pattern(8, 1)), alias_entry(kApp), signature_entry(pattern(12, 2))}),
         1, 12},
        {concat({zero, signature_entry(pattern(8, 1))}), 0, 0},
        {concat({signature_entry(pattern(8, 1)), zero, signature_entry(pattern(9, 2))}), 1, 8},
        {past, -1, 0},
        {entry(3, {0x00}), -1, 0},  // too short for the signature length
        {signature_entry({}), 1, 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        Bytes bytes = component(kKernel, 3, pattern(64, 3), cases[i].entries);
        std::span<const std::uint8_t> header(bytes.data(), 24 + cases[i].entries.size());
        std::span<const std::uint8_t> signature;
        EXPECT_EQ(cases[i].result, image_find_signature(header, &signature)) << "case " << i;
        EXPECT_EQ(cases[i].size, signature.size()) << "case " << i;
    }
    // The walk's own steps, which imgtool inspect names: an entry that
    // ends with the header is followed by the end, two bytes left over are
    // past the header.
    Bytes header = component(kKernel, 3, {}, alias_entry(kApp));
    header.resize(header.size() + 2, 0xAB);
    ImageExtEntry found{};
    std::uint32_t at = kImageFirstEntry;
    EXPECT_EQ(ImageExtStep::Entry, image_ext_next(header, &at, &found));
    EXPECT_EQ(kImageFirstEntry, found.offset);
    EXPECT_EQ(6, found.tag);
    EXPECT_EQ(8, found.length);
    // imgtool lists a type for alias entries of four bytes or more only.
    std::uint32_t alias = 0;
    EXPECT_EQ(1, image_alias_value(found, &alias));
    EXPECT_EQ(kApp, alias);
    const std::uint8_t four[] = {0x02, 0x4D, 0x41, 0x52};
    for (ImageExtEntry other : {ImageExtEntry{0, 3, 8, four}, ImageExtEntry{0, 6, 6, {four, 2u}}}) {
        alias = 7;
        EXPECT_EQ(0, image_alias_value(other, &alias)) << other.tag;
        EXPECT_EQ(7u, alias);
    }
    EXPECT_EQ(ImageExtStep::PastHeader, image_ext_next(header, &at, &found));
    at = kImageFirstEntry;
    header.resize(header.size() - 2);
    EXPECT_EQ(ImageExtStep::Entry, image_ext_next(header, &at, &found));
    EXPECT_EQ(ImageExtStep::End, image_ext_next(header, &at, &found));
    // A length of 0 would never move the walk on; one of 1 to 3 is shorter
    // than the entry's own tag and length. imgtool names the two apart.
    for (std::uint8_t length : {0, 1, 3}) {
        Bytes bad = component(kKernel, 3, {}, Bytes{0x00, 0x06, 0x00, length});
        at = kImageFirstEntry;
        EXPECT_EQ(length == 0 ? ImageExtStep::ZeroLength : ImageExtStep::TooShort,
                  image_ext_next(bad, &at, &found))
            << int{length};
    }
}

// The search for a bootable component over a file: its result, the last
// magic read or the type found, and its console lines.
TEST(FindBootable, AliasesZeroBytesAndMalformedSizes) {
    Bytes zero6(4, 0);
    put_be16(zero6, 0, 6);
    // A kernel whose HDR3 header is longer than its component, then an
    // application that must not be reached by guessing where it starts.
    Bytes app = component(kApp, 1, pattern(40, 2));
    Bytes long_hdr3 = component(kKernel, 3, pattern(40, 1));
    put_be16(long_hdr3, 22, static_cast<std::uint32_t>(long_hdr3.size() + 1));
    // A long header of length 0 would never move the search on.
    Bytes app_hdr3 =
        component(kApp, 3, pattern(10, 1), concat({entry(7, pattern(60, 2)), alias_entry(kApp)}));
    Bytes stuck = component(kKernel, 2, {});
    put_be16(stuck, 18, 0);
    put_be32(stuck, 4, 0);
    const struct {
        Bytes file;
        int result;
        std::uint32_t magic;  // the type found, or the last magic read
        std::string out, err;
    } rows[] = {
        // 0x01000000 does not end in "MAR": passed over; 0x024D4152 does and
        // turns the application into a boot loader; the later alias is unseen.
        {component(kApp, 3, {},
                   concat({alias_entry(0x01000000u), alias_entry(kBoot), alias_entry(kApp)})),
         0, kApp, "", ""},
        // ... and a boot loader whose alias names an application boots as one,
        // as does a format-3 header of a foreign magic: "HDR3" marks it.
        {component(kBoot, 3, {}, concat({alias_entry(0x01000000u), alias_entry(kApp)})), 1, kApp,
         "", ""},
        {component(0x12345678u, 3, {}, alias_entry(kApp)), 1, kApp, "", ""},
        // Only a type alias entry of four bytes or more names a type: an
        // entry of another tag holding a boot loader's magic, and an alias
        // too short for one, leave the application as it is.
        {component(kApp, 3, {}, entry(7, {0x02, 0x4D, 0x41, 0x52})), 1, kApp, "", ""},
        {component(kApp, 3, {}, entry(6, {0x02, 0x4D})), 1, kApp, "", ""},
        // A zero-length entry: a header error, and the component keeps its type.
        {component(kApp, 3, pattern(20, 1), concat({zero6, alias_entry(kBoot)})), 1, kApp,
         "Image header error\n", ""},
        // Zero bytes (an erased or sparse file) are no component: the search
        // ends there rather than stepping through them 16 bytes at a time.
        {concat({Bytes(1 << 20, 0), app}), 0, 0, "", ""},
        {concat({long_hdr3, app}), 0, kKernel, "",
         "Image component at offset 0 refused: HDR3 header longer than the component.\n"},
        {concat({component(kBoot, 1, pattern(8, 1)), stuck, app}), 0, kKernel | kImageFlag, "",
         "Image component at offset 24 refused: long header shorter than 16 bytes.\n"},
        // A file that ends inside a format-3 header: nothing to boot.
        {Bytes(app_hdr3.begin(), app_hdr3.begin() + 60), 0, kApp, "", ""},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        std::FILE* file = file_with(rows[i].file);
        BootableComponent found{};
        int result = -1;
        std::string out;
        std::string err = capture(
            2, [&] { out = capture(1, [&] { result = image_find_bootable(file, &found); }); });
        std::fclose(file);
        EXPECT_EQ(rows[i].result, result) << "row " << i;
        EXPECT_EQ(rows[i].magic, result == 1 ? found.type : found.last_magic) << "row " << i;
        EXPECT_EQ(rows[i].out, out) << "row " << i;
        EXPECT_EQ(rows[i].err, err) << "row " << i;
    }
    // A stream that cannot seek holds no component: not even its first
    // header is read.
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    ASSERT_EQ(static_cast<ssize_t>(app.size()), write(ends[1], app.data(), app.size()));
    close(ends[1]);
    std::FILE* stream = fdopen(ends[0], "rb");
    BootableComponent found{};
    found.last_magic = 1;
    EXPECT_EQ(0, image_find_bootable(stream, &found));
    EXPECT_EQ(0u, found.last_magic);
    std::fclose(stream);
}

TEST(ImagePieces, SplitHeaderFromPayloadAndKeepTheCrc) {
    Bytes payload = pattern(1000, 3);
    Bytes bytes = concat(
        {component(kKernel, 1, pattern(5, 1)), component(kApp, 3, payload, alias_entry(kApp))});
    std::size_t start = 21;
    ComponentLayout layout{};
    ASSERT_EQ(1, image_header_parse(std::span(bytes).subspan(start), &layout, nullptr));
    for (std::size_t piece_size : {1u, 33u, 4096u}) {
        std::FILE* file = file_with(bytes);
        ASSERT_EQ(0, fseeko(file, static_cast<off_t>(start), SEEK_SET));
        ImagePieceReader reader{};
        image_pieces_begin(reader, file, layout);
        Bytes buffer(piece_size);
        Bytes header;
        Bytes got_payload;
        ImagePiece piece{};
        int result = 0;
        while ((result = image_pieces_next(reader, buffer, &piece)) == 1) {
            header.insert(header.end(), piece.header.begin(), piece.header.end());
            got_payload.insert(got_payload.end(), piece.payload.begin(), piece.payload.end());
        }
        EXPECT_EQ(0, result);
        EXPECT_EQ(Bytes(bytes.begin() + 21, bytes.begin() + 21 + 32), header) << piece_size;
        EXPECT_EQ(payload, got_payload) << piece_size;
        EXPECT_EQ(image_component_crc(std::span(bytes).subspan(start)),
                  image_crc32_final(reader.crc))
            << piece_size;
        std::fclose(file);
    }
    // A file that ends inside the component, and no room to read into.
    std::FILE* cut = file_with(Bytes(bytes.begin(), bytes.end() - 1));
    ASSERT_EQ(0, fseeko(cut, static_cast<off_t>(start), SEEK_SET));
    ImagePieceReader reader{};
    image_pieces_begin(reader, cut, layout);
    Bytes buffer(4096);
    ImagePiece piece{};
    EXPECT_EQ(-1, image_pieces_next(reader, buffer, &piece));
    EXPECT_EQ(-1, image_pieces_next(reader, {}, &piece));
    std::fclose(cut);
    // The CRC leaves out bytes 0 to 3 and takes every byte after them.
    const Bytes five = {1, 2, 3, 4, 'a'};
    EXPECT_EQ(0x174841BCu, image_component_crc(five));
    EXPECT_EQ(0xFFFFFFFFu, image_component_crc(Bytes(4, 7)));
}

}  // namespace

namespace {

// Where /proc cannot name the file opened (a kernel without it mounted), a
// stick entry is the stick's own when it lies on the filesystem mounted at
// the stick's mount point. In a child with a mount table of its own, /proc
// hidden under an empty filesystem.
TEST(StickFile, JudgedByItsFilesystemWhereProcCannotTell) {
    sandbox_test::write_file("/mnt/usb/stick-file.img", "image bytes");
    EXPECT_EXIT(
        {
            if (unshare(CLONE_NEWNS) != 0 || mount("none", "/proc", "tmpfs", 0, nullptr) != 0) {
                std::exit(3);
            }
            int fd = image_open_file("/mnt/usb/stick-file.img");
            // /proc back before a normal exit: the sanitizer's leak check
            // and a coverage build's counts are written then.
            umount("/proc");
            std::exit(fd >= 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    std::remove("/mnt/usb/stick-file.img");
}

}  // namespace

namespace {

// The header dump: the four fields in their order when asked, nothing when
// not (the installer calls it with the switch off).
TEST(ImageHeaderDump, FourFieldsInOrderOnlyWhenAsked) {
    const ImageHeader header{0x11, 0x22, 0x014D4152, 0x01020304};
    EXPECT_EQ("  crc: 0x00000011\n  len: 0x00000022\nmagic: 0x014d4152\n   id: 0x01020304\n",
              capture(1, [&] { image_header_dump(header, 1); }));
    EXPECT_EQ("", capture(1, [&] { image_header_dump(header, 0); }));
}

}  // namespace

