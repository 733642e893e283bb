#include "image/container.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "image/test_support.h"
#include "platform/sandbox/test_support.h"

namespace {

using image_test::alias_entry;
using image_test::Bytes;
using image_test::component;
using image_test::concat;
using image_test::entry;
using image_test::file_with;
using image_test::pattern;
using image_test::put_be16;
using image_test::put_be32;
using image_test::signature_entry;
using sandbox_test::capture;

constexpr std::uint32_t kApp = 0x014D4152u;
constexpr std::uint32_t kBoot = 0x024D4152u;
constexpr std::uint32_t kKernel = 0x034D4152u;
constexpr std::uint32_t kDiag = 0x064D4152u;

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

// ---- Decoding ----

// The three header formats, as imgtool packs them, plus the shapes imgtool
// never makes: an HDR3 mark beside the flag bit and an empty payload.
TEST(ImageHeaderParse, ThreeFormats) {
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
        {first24(0, kKernel), HeaderFormat::Basic, 16, 0},
        {long_header, HeaderFormat::Long, 40, 100},
        {hdr3_first24(1270, kApp, 286), HeaderFormat::Hdr3, 286, 1000},
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

TEST(ImageHeaderParse, RefusesShortAndMalformedSizes) {
    using F = ImageHeaderFault;
    Bytes short_bytes = first24(0, kApp);
    short_bytes.resize(23);
    // Format 2 below 16 bytes of header: the component (8 + 4 bytes) would
    // be shorter than its basic header; a length of 0 would never move on.
    Bytes long8 = first24(4, kKernel | kImageFlag);
    put_be16(long8, 18, 8);
    Bytes long0 = first24(0, kKernel | kImageFlag);
    Bytes long16 = long0;
    put_be16(long16, 18, 16);
    Bytes long_max = first24(0xFFFFFFFFu - 24, kKernel | kImageFlag);
    put_be16(long_max, 18, 24);
    Bytes long_wraps = long_max;
    put_be32(long_wraps, 4, 0xFFFFFFFFu - 23);
    struct Case {
        Bytes bytes;
        ImageHeaderFault fault;
    } cases[] = {
        {Bytes{}, F::Short},
        {short_bytes, F::Short},
        // Format 3: len + 16 = 100 bytes of component.
        {hdr3_first24(84, kApp, 101), F::Hdr3HeaderPastEnd},
        {hdr3_first24(84, kApp, 100), F::None},
        {hdr3_first24(84, kApp, 23), F::Hdr3HeaderTooShort},
        {hdr3_first24(84, kApp, 0), F::Hdr3HeaderTooShort},
        {long8, F::LongHeaderTooShort},
        {long0, F::LongHeaderTooShort},
        {long16, F::None},
        // Sizes at and just past 4 GiB in each format.
        {first24(0xFFFFFFEFu, kKernel), F::None},
        {first24(0xFFFFFFF0u, kKernel), F::SizeWraps},
        {first24(0xFFFFFFFFu, kKernel), F::SizeWraps},
        {long_max, F::None},
        {long_wraps, F::SizeWraps},
        {hdr3_first24(0xFFFFFFEFu, kApp, 24), F::None},
        {hdr3_first24(0xFFFFFFF0u, kApp, 24), F::SizeWraps},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].fault, parse_fault(cases[i].bytes)) << "case " << i;
    }
}

// ---- CRC check ----

TEST(ImageCrcCheck, CoversEverythingFromByte4) {
    Bytes bytes = component(kKernel, 3, pattern(300, 1), alias_entry(kApp));
    EXPECT_EQ(1, image_crc_check(bytes));
    for (std::size_t at :
         {std::size_t{4}, std::size_t{8}, std::size_t{24}, std::size_t{40}, bytes.size() - 1}) {
        Bytes damaged = bytes;
        damaged[at] ^= 0x01;
        EXPECT_EQ(0, image_crc_check(damaged)) << "byte " << at;
    }
    // The stored crc itself is not covered.
    Bytes other_crc = bytes;
    other_crc[0] ^= 0xFF;
    EXPECT_EQ(image_component_crc(bytes), image_component_crc(other_crc));
    EXPECT_EQ(0, image_crc_check(other_crc));
}

// ---- Extension entries ----

TEST(ImageExtNext, MalformedEntriesEndTheWalkInsideTheHeader) {
    Bytes header(40, 0);
    std::uint32_t at = 24;
    ImageExtEntry e{};
    // Length 0 and lengths shorter than the entry's own tag and length.
    EXPECT_EQ(ImageExtStep::ZeroLength, image_ext_next(header, &at, &e));
    for (std::uint32_t length : {1u, 2u, 3u}) {
        put_be16(header, 26, length);
        EXPECT_EQ(ImageExtStep::TooShort, image_ext_next(header, &at, &e));
    }
    // An entry reaching one byte past the header.
    put_be16(header, 26, 17);
    EXPECT_EQ(ImageExtStep::PastHeader, image_ext_next(header, &at, &e));
    put_be16(header, 26, 16);
    EXPECT_EQ(ImageExtStep::Entry, image_ext_next(header, &at, &e));
    EXPECT_EQ(40u, at);
    // Fewer than 4 bytes left for a tag and a length.
    at = 37;
    EXPECT_EQ(ImageExtStep::PastHeader, image_ext_next(header, &at, &e));
    EXPECT_EQ(37u, at);
}

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
        // A zero-length entry ends the search: before a tag-3 entry the
        // component is unsigned, after one that one is the signature.
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
}

// ---- The bootable search ----

class FindBootable : public ::testing::Test {
   protected:
    void TearDown() override {
        if (file_) {
            std::fclose(file_);
        }
    }
    // Runs the search over `bytes`; the console output in out_ and err_.
    int find(const Bytes& bytes) {
        file_ = file_with(bytes);
        int result = 0;
        err_ = capture(
            2, [&] { out_ = capture(1, [&] { result = image_find_bootable(file_, &found_); }); });
        return result;
    }
    std::FILE* file_ = nullptr;
    BootableComponent found_{};
    std::string out_;
    std::string err_;
};

TEST_F(FindBootable, AliasMustEndInMarAndTheFirstMatchingOneWins) {
    // 0x01000000 does not end in "MAR": passed over; 0x024D4152 does and
    // turns the application into a boot loader; the later alias is unseen.
    Bytes app = component(
        kApp, 3, {}, concat({alias_entry(0x01000000u), alias_entry(kBoot), alias_entry(kApp)}));
    EXPECT_EQ(0, find(app));
    EXPECT_EQ(kApp, found_.last_magic);
    // An alias with the flag bit set is cleared like a type.
    Bytes kernel = component(kKernel, 3, {}, alias_entry(kDiag | kImageFlag));
    std::fclose(file_);
    ASSERT_EQ(1, find(kernel));
    EXPECT_EQ(kDiag, found_.type);
}

TEST_F(FindBootable, ZeroLengthEntryPrintsHeaderErrorAndKeepsOwnType) {
    Bytes zero(4, 0);
    put_be16(zero, 0, 6);
    Bytes app = component(kApp, 3, pattern(20, 1), concat({zero, alias_entry(kBoot)}));
    ASSERT_EQ(1, find(app));
    EXPECT_EQ(kApp, found_.type);
    EXPECT_EQ("Image header error\n", out_);
}

TEST_F(FindBootable, BytesWithoutMarEndTheSearchUnlessMarkedHdr3) {
    // Zero bytes (an erased or sparse file) are no component: the search
    // ends there rather than stepping through them 16 bytes at a time.
    Bytes zeros(1 << 20, 0);
    EXPECT_EQ(0, find(concat({zeros, component(kApp, 1, pattern(10, 1))})));
    EXPECT_EQ(0u, found_.last_magic);
    EXPECT_EQ("", out_ + err_);
    // A format-3 header may name its type by an alias alone.
    std::fclose(file_);
    ASSERT_EQ(1, find(component(0x7F000000u, 3, pattern(10, 2), alias_entry(kApp))));
    EXPECT_EQ(kApp, found_.type);
}

// Files that end before the component they announce: nothing bootable,
// no refusal printed, and the last magic is the one the search stopped on.
TEST_F(FindBootable, FileEndingEarlyEndsTheSearch) {
    Bytes app16 = component(kApp, 1, {});  // 16 bytes: no 24-byte read
    Bytes hdr3_cut = component(kApp, 3, pattern(10, 1), alias_entry(kApp));
    hdr3_cut.resize(28);  // the header is 32 bytes
    Bytes huge = component(kKernel, 1, pattern(40, 1));
    put_be32(huge, 4, 0xFFFFFFEFu);  // the largest size that fits
    struct Case {
        Bytes bytes;
        std::uint32_t last_magic;
    } cases[] = {
        {Bytes{}, 0},
        {app16, 0},
        {concat({component(kKernel, 1, pattern(8, 1)), app16}), kKernel},
        {hdr3_cut, kApp},
        {concat({huge, component(kApp, 1, pattern(40, 2))}), kKernel},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(0, find(cases[i].bytes)) << "case " << i;
        EXPECT_EQ(cases[i].last_magic, found_.last_magic) << "case " << i;
        EXPECT_EQ("", err_) << "case " << i;
        std::fclose(file_);
        file_ = nullptr;
    }
}

TEST_F(FindBootable, MalformedSizeIsRefusedWithoutLooping) {
    // A kernel whose HDR3 header is longer than its component, then an
    // application that must not be reached by guessing where it starts.
    Bytes kernel = component(kKernel, 3, pattern(40, 1));
    put_be16(kernel, 22, static_cast<std::uint32_t>(kernel.size() + 1));
    Bytes app = component(kApp, 1, pattern(40, 2));
    EXPECT_EQ(0, find(concat({kernel, app})));
    EXPECT_EQ(kKernel, found_.last_magic);
    EXPECT_EQ("Image component at offset 0 refused: HDR3 header longer than the component.\n",
              err_);

    // A long header of length 0 would never move the search on.
    Bytes stuck = component(kKernel, 2, {});
    put_be16(stuck, 18, 0);
    put_be32(stuck, 4, 0);
    std::fclose(file_);
    EXPECT_EQ(0, find(concat({component(kBoot, 1, pattern(8, 1)), stuck, app})));
    EXPECT_EQ(kKernel | kImageFlag, found_.last_magic);
    EXPECT_EQ("Image component at offset 24 refused: long header shorter than 16 bytes.\n", err_);
}

// ---- Streaming a component ----

TEST(ImagePieces, SplitHeaderFromPayloadAndKeepTheCrc) {
    Bytes payload = pattern(1000, 3);
    Bytes bytes = concat(
        {component(kKernel, 1, pattern(5, 1)), component(kApp, 3, payload, alias_entry(kApp))});
    std::size_t start = 21;
    ComponentLayout layout{};
    ASSERT_EQ(1, image_header_parse(std::span(bytes).subspan(start), &layout, nullptr));
    for (std::size_t piece_size : {1u, 3u, 5u, 32u, 33u, 4096u}) {
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
}

TEST(ImagePieces, FileEndingInsideTheComponentIsAnError) {
    Bytes bytes = component(kApp, 1, pattern(100, 3));
    ComponentLayout layout{};
    ASSERT_EQ(1, image_header_parse(bytes, &layout, nullptr));
    bytes.resize(90);
    std::FILE* file = file_with(bytes);
    ImagePieceReader reader{};
    image_pieces_begin(reader, file, layout);
    Bytes buffer(64);
    ImagePiece piece{};
    EXPECT_EQ(1, image_pieces_next(reader, buffer, &piece));
    EXPECT_EQ(-1, image_pieces_next(reader, buffer, &piece));
    EXPECT_EQ(-1, image_pieces_next(reader, std::span<std::uint8_t>(), &piece));
    std::fclose(file);
}

}  // namespace
