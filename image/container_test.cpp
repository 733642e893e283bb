#include "image/container.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "auth/crypto/imgsign.h"
#include "auth/crypto/toolkit.h"
#include "image/test_support.h"
#include "image/testdata/fixtures.h"
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
constexpr std::uint32_t kOnie = 0x094D4152u;

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

TEST(ImageHeaderParse, ThreeFormats) {
    ComponentLayout layout{};
    // Format 1: 16-byte header, len counts the payload.
    ASSERT_EQ(1, image_header_parse(first24(100, kKernel), &layout, nullptr));
    EXPECT_EQ(HeaderFormat::Basic, layout.format);
    EXPECT_EQ(kKernel, layout.magic);
    EXPECT_EQ(16u, layout.header_len);
    EXPECT_EQ(100u, layout.payload_len);
    EXPECT_EQ(116u, image_component_size(layout));

    // Format 2: the flag bit; header length at 18, len counts the payload.
    Bytes long_header = first24(100, kKernel | kImageFlag);
    put_be16(long_header, 18, 40);
    put_be16(long_header, 22, 999);  // not read in format 2
    ASSERT_EQ(1, image_header_parse(long_header, &layout, nullptr));
    EXPECT_EQ(HeaderFormat::Long, layout.format);
    EXPECT_EQ(kKernel | kImageFlag, layout.magic);
    EXPECT_EQ(40u, layout.header_len);
    EXPECT_EQ(100u, layout.payload_len);

    // Format 3: "HDR3", header length at 22, len counts all but 16 bytes.
    ASSERT_EQ(1, image_header_parse(hdr3_first24(1270, kApp, 286), &layout, nullptr));
    EXPECT_EQ(HeaderFormat::Hdr3, layout.format);
    EXPECT_EQ(286u, layout.header_len);
    EXPECT_EQ(1000u, layout.payload_len);
    EXPECT_EQ(1286u, image_component_size(layout));
}

TEST(ImageHeaderParse, Hdr3WithFlagBitIsFormat3) {
    Bytes bytes = hdr3_first24(100, kApp | kImageFlag, 30);
    // The long-header length field would say 0x5233 ("R3"): not used.
    ComponentLayout layout{};
    ASSERT_EQ(1, image_header_parse(bytes, &layout, nullptr));
    EXPECT_EQ(HeaderFormat::Hdr3, layout.format);
    EXPECT_EQ(30u, layout.header_len);
    EXPECT_EQ(86u, layout.payload_len);
    EXPECT_EQ(kApp | kImageFlag, layout.magic);
}

TEST(ImageHeaderParse, LenZeroIsSixteenBytesWithEmptyPayload) {
    ComponentLayout layout{};
    ASSERT_EQ(1, image_header_parse(first24(0, kKernel), &layout, nullptr));
    EXPECT_EQ(0u, layout.payload_len);
    EXPECT_EQ(16u, image_component_size(layout));
    // An HDR3 header that fills the whole component: no payload.
    ASSERT_EQ(1, image_header_parse(hdr3_first24(8, kApp, 24), &layout, nullptr));
    EXPECT_EQ(0u, layout.payload_len);
}

TEST(ImageHeaderParse, FewerThan24BytesIsNoComponent) {
    Bytes bytes = first24(0, kApp);
    bytes.resize(23);
    EXPECT_EQ(ImageHeaderFault::Short, parse_fault(bytes));
    EXPECT_EQ(ImageHeaderFault::Short, parse_fault(Bytes{}));
}

TEST(ImageHeaderParse, RefusesMalformedSizes) {
    // Format 3 whose header is longer than the component: len + 16 = 100.
    EXPECT_EQ(ImageHeaderFault::Hdr3HeaderPastEnd, parse_fault(hdr3_first24(84, kApp, 101)));
    EXPECT_EQ(ImageHeaderFault::None, parse_fault(hdr3_first24(84, kApp, 100)));
    // Format 3 whose header cannot hold its own mark and length.
    EXPECT_EQ(ImageHeaderFault::Hdr3HeaderTooShort, parse_fault(hdr3_first24(84, kApp, 23)));
    EXPECT_EQ(ImageHeaderFault::Hdr3HeaderTooShort, parse_fault(hdr3_first24(84, kApp, 0)));

    // Format 2 below 16 bytes of header: the component (8 + 4 bytes) would
    // be shorter than its basic header.
    Bytes long_header = first24(4, kKernel | kImageFlag);
    put_be16(long_header, 18, 8);
    EXPECT_EQ(ImageHeaderFault::LongHeaderTooShort, parse_fault(long_header));
    put_be16(long_header, 18, 0);
    put_be32(long_header, 4, 0);
    EXPECT_EQ(ImageHeaderFault::LongHeaderTooShort, parse_fault(long_header));
    put_be16(long_header, 18, 16);
    EXPECT_EQ(ImageHeaderFault::None, parse_fault(long_header));
}

TEST(ImageHeaderParse, RefusesSizesThatWrap32Bits) {
    EXPECT_EQ(ImageHeaderFault::None, parse_fault(first24(0xFFFFFFEFu, kKernel)));
    EXPECT_EQ(ImageHeaderFault::SizeWraps, parse_fault(first24(0xFFFFFFF0u, kKernel)));
    EXPECT_EQ(ImageHeaderFault::SizeWraps, parse_fault(first24(0xFFFFFFFFu, kKernel)));

    Bytes long_header = first24(0xFFFFFFFFu - 24, kKernel | kImageFlag);
    put_be16(long_header, 18, 24);
    EXPECT_EQ(ImageHeaderFault::None, parse_fault(long_header));
    put_be32(long_header, 4, 0xFFFFFFFFu - 23);
    EXPECT_EQ(ImageHeaderFault::SizeWraps, parse_fault(long_header));

    EXPECT_EQ(ImageHeaderFault::SizeWraps, parse_fault(hdr3_first24(0xFFFFFFF0u, kApp, 24)));
    EXPECT_EQ(ImageHeaderFault::None, parse_fault(hdr3_first24(0xFFFFFFEFu, kApp, 24)));
}

TEST(ImageHeaderParse, RefusalLeavesLayoutAndNamesTheReason) {
    ComponentLayout layout{0xAAAAAAAAu, HeaderFormat::Long, 7, 9};
    EXPECT_EQ(0, image_header_parse(hdr3_first24(84, kApp, 101), &layout, nullptr));
    EXPECT_EQ(0xAAAAAAAAu, layout.magic);
    EXPECT_EQ(7u, layout.header_len);
    EXPECT_STREQ("HDR3 header longer than the component",
                 image_fault_text(ImageHeaderFault::Hdr3HeaderPastEnd));
    EXPECT_STREQ("component size past 4 GiB", image_fault_text(ImageHeaderFault::SizeWraps));
}

TEST(ImageHeader, DecodesBigEndianAndEncodesBack) {
    const std::uint8_t bytes[16] = {0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x01, 0x00,
                                    0x86, 0x4D, 0x41, 0x52, 0xFF, 0x00, 0x00, 0x01};
    ImageHeader header = image_header_decode(bytes);
    EXPECT_EQ(0x11223344u, header.crc);
    EXPECT_EQ(256u, header.len);
    EXPECT_EQ(0x864D4152u, header.magic);
    EXPECT_EQ(kDiag, image_type_of(header.magic));
    EXPECT_EQ(0xFF000001u, header.id);
    std::uint8_t out[16] = {};
    image_header_encode(header, out);
    EXPECT_EQ(0, std::memcmp(bytes, out, 16));
}

TEST(ImageHeader, VersionTextIsFourBytesMostSignificantFirst) {
    char text[16];
    image_id_text(0x01020304u, text);
    EXPECT_STREQ("1.2.3.4", text);
    image_id_text(0xFF000001u, text);
    EXPECT_STREQ("255.0.0.1", text);
    image_id_text(0xFFFFFFFFu, text);
    EXPECT_STREQ("255.255.255.255", text);
}

TEST(ImageHeader, DumpPrintsFourFieldsOnlyWhenSwitchedOn) {
    ImageHeader header{0xDEADBEEFu, 0x10u, 0x014D4152u, 0x01020304u};
    EXPECT_EQ("  crc: 0xdeadbeef\n  len: 0x00000010\nmagic: 0x014d4152\n   id: 0x01020304\n",
              capture(1, [&] { image_header_dump(header, 1); }));
    EXPECT_EQ("", capture(1, [&] { image_header_dump(header, 0); }));
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

TEST(ImageCrcCheck, FewerThan16BytesNeverPass) {
    Bytes bytes = component(kKernel, 1, {});
    ASSERT_EQ(1, image_crc_check(bytes));
    bytes.pop_back();
    EXPECT_EQ(0, image_crc_check(bytes));
}

// ---- Extension entries ----

TEST(ImageExtNext, StepsOverEntriesToTheHeaderEnd) {
    Bytes bytes = component(kApp, 3, {}, concat({entry(9, {1, 2, 3}), alias_entry(kDiag)}));
    std::span<const std::uint8_t> header(bytes.data(), 24 + 7 + 8);
    std::uint32_t at = kImageFirstEntry;
    ImageExtEntry e{};
    ASSERT_EQ(ImageExtStep::Entry, image_ext_next(header, &at, &e));
    EXPECT_EQ(9, e.tag);
    EXPECT_EQ(7, e.length);
    EXPECT_EQ(24u, e.offset);
    EXPECT_EQ(3u, e.value.size());
    std::uint32_t alias = 0;
    EXPECT_EQ(0, image_alias_value(e, &alias));
    ASSERT_EQ(ImageExtStep::Entry, image_ext_next(header, &at, &e));
    EXPECT_EQ(1, image_alias_value(e, &alias));
    EXPECT_EQ(kDiag, alias);
    EXPECT_EQ(ImageExtStep::End, image_ext_next(header, &at, &e));
}

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

TEST(ImageFindSignature, LastTag3EntryIsTheSignature) {
    Bytes first = pattern(8, 1);
    Bytes second = pattern(12, 2);
    Bytes bytes =
        component(kKernel, 3, {},
                  concat({signature_entry(first), alias_entry(kApp), signature_entry(second)}));
    std::span<const std::uint8_t> signature;
    ASSERT_EQ(1, image_find_signature(bytes, &signature));
    EXPECT_EQ(second, Bytes(signature.begin(), signature.end()));
}

TEST(ImageFindSignature, ZeroLengthEntryEndsTheSearch) {
    Bytes zero(4, 0);
    put_be16(zero, 0, 3);
    std::span<const std::uint8_t> signature;
    // Before any tag-3 entry: unsigned.
    Bytes unsigned_header =
        component(kKernel, 3, {}, concat({zero, signature_entry(pattern(8, 1))}));
    EXPECT_EQ(0, image_find_signature(unsigned_header, &signature));
    // After one: that one is the signature.
    Bytes signed_header =
        component(kKernel, 3, {},
                  concat({signature_entry(pattern(8, 1)), zero, signature_entry(pattern(9, 2))}));
    ASSERT_EQ(1, image_find_signature(signed_header, &signature));
    EXPECT_EQ(8u, signature.size());
}

TEST(ImageFindSignature, SignatureLengthPastItsEntryIsMalformed) {
    Bytes sig_entry = signature_entry(pattern(10, 1));
    put_be16(sig_entry, 4, 11);  // one byte more than the entry holds
    Bytes bytes = component(kKernel, 3, pattern(64, 3), sig_entry);
    std::span<const std::uint8_t> signature;
    EXPECT_EQ(-1, image_find_signature(std::span(bytes).first(24 + sig_entry.size()), &signature));
    // A tag-3 entry too short for the signature length itself.
    Bytes tiny = component(kKernel, 3, {}, entry(3, {0x00}));
    EXPECT_EQ(-1, image_find_signature(tiny, &signature));
    // An empty signature is well formed (and verifies against nothing).
    Bytes empty = component(kKernel, 3, {}, signature_entry({}));
    EXPECT_EQ(1, image_find_signature(empty, &signature));
    EXPECT_TRUE(signature.empty());
}

// The example component: one signature entry of 256 bytes, 1000 payload
// bytes.
TEST(ImageContainer, SignedComponentOf1286Bytes) {
    Bytes payload = pattern(1000, 5);
    Bytes bytes = component(kKernel, 3, payload, signature_entry(pattern(256, 9)));
    ASSERT_EQ(1286u, bytes.size());
    ComponentLayout layout{};
    ASSERT_EQ(1, image_header_parse(bytes, &layout, nullptr));
    EXPECT_EQ(286u, layout.header_len);
    EXPECT_EQ(1000u, layout.payload_len);
    EXPECT_EQ(1270u, image_header_decode(std::span(bytes).first<16>()).len);
    std::span<const std::uint8_t> header = std::span(bytes).first(layout.header_len);
    std::uint32_t at = kImageFirstEntry;
    ImageExtEntry e{};
    ASSERT_EQ(ImageExtStep::Entry, image_ext_next(header, &at, &e));
    EXPECT_EQ(262, e.length);
    EXPECT_EQ(ImageExtStep::End, image_ext_next(header, &at, &e));
    std::span<const std::uint8_t> signature;
    ASSERT_EQ(1, image_find_signature(header, &signature));
    EXPECT_EQ(bytes.data() + 30, signature.data());
    EXPECT_EQ(256u, signature.size());
    EXPECT_EQ(1, image_crc_check(bytes));
}

// The same shape made by imgtool and signed with the test production key:
// the launcher's own readers and RSA code accept it, and only with that key.
TEST(ImageContainer, ImgtoolSignatureVerifiesWithTheLaunchersCode) {
    toolkit_setMemoryHooks(nullptr);
    if (toolkit_base64Table() == nullptr) {
        toolkit_resetForTest();
        ASSERT_EQ(1, TOOLKIT_init());
    }
    std::span<const std::uint8_t> fixture = image_fixture("signed_1286.img");
    ASSERT_EQ(1286u, fixture.size());
    ComponentLayout layout{};
    ASSERT_EQ(1, image_header_parse(fixture, &layout, nullptr));
    EXPECT_EQ(HeaderFormat::Hdr3, layout.format);
    EXPECT_EQ(286u, layout.header_len);
    EXPECT_EQ(1, image_crc_check(fixture));
    std::span<const std::uint8_t> signature;
    ASSERT_EQ(1, image_find_signature(fixture.first(layout.header_len), &signature));
    ASSERT_EQ(256u, signature.size());

    auto verify = [&](std::span<const std::uint8_t> payload, const char* key_name) {
        std::uint8_t digest[32];
        std::uint32_t digest_len = 0;
        EXPECT_EQ(CRYPTO_OK, IMGSIGN_computeSHA256(payload.data(), 1000, digest, &digest_len));
        std::span<const std::uint8_t> key = image_fixture(key_name);
        return IMGSIGN_verifySignature(digest, digest_len, signature.data(), 256,
                                       reinterpret_cast<const char*>(key.data()),
                                       static_cast<std::uint32_t>(key.size()));
    };
    std::span<const std::uint8_t> payload = fixture.subspan(layout.header_len);
    EXPECT_EQ(CRYPTO_OK, verify(payload, "production.pub.pem"));
    EXPECT_NE(CRYPTO_OK, verify(payload, "development.pub.pem"));
    Bytes tampered(payload.begin(), payload.end());
    tampered[500] ^= 0x01;
    EXPECT_EQ(CRYPTO_ERR_DIGEST_MISMATCH, verify(tampered, "production.pub.pem"));
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

TEST_F(FindBootable, ApplicationAfterBootLoaderWithFilePositioned) {
    Bytes boot = component(kBoot, 2, pattern(100, 1));
    Bytes app = component(kApp, 1, pattern(50, 2), {}, 0x05060708u);
    ASSERT_EQ(1, find(concat({boot, app})));
    EXPECT_EQ(kApp, found_.type);
    EXPECT_EQ(HeaderFormat::Basic, found_.layout.format);
    EXPECT_EQ(16u, found_.layout.header_len);
    EXPECT_EQ(50u, found_.layout.payload_len);
    EXPECT_EQ(boot.size(), found_.offset);
    EXPECT_EQ(boot.size() + 16, found_.payload_offset);
    EXPECT_EQ(0x05060708u, found_.header.id);
    EXPECT_EQ(kApp, found_.header.magic);
    EXPECT_EQ(static_cast<off_t>(boot.size()), ftello(file_));
    EXPECT_EQ("", out_ + err_);
}

TEST_F(FindBootable, DiagnosticsIsBootableAndFlagBitIsCleared) {
    Bytes diag = component(kDiag, 2, pattern(10, 1));
    ASSERT_EQ(1, find(diag));
    EXPECT_EQ(kDiag, found_.type);
    EXPECT_EQ(kDiag | kImageFlag, found_.header.magic);
    EXPECT_EQ(HeaderFormat::Long, found_.layout.format);
    EXPECT_EQ(24u, found_.layout.header_len);
}

TEST_F(FindBootable, AliasOnTypeNineComponentFindsItAsApplication) {
    Bytes kernel = component(kKernel, 3, pattern(40, 1), alias_entry(0x7F000000u));
    Bytes onie = component(kOnie, 3, pattern(60, 2), concat({entry(9, {1, 2}), alias_entry(kApp)}));
    ASSERT_EQ(1, find(concat({kernel, onie})));
    EXPECT_EQ(kApp, found_.type);
    EXPECT_EQ(kOnie, found_.header.magic);  // the copy shows the type as stored
    EXPECT_EQ(kernel.size(), found_.offset);
    EXPECT_EQ(onie.size(), image_component_size(found_.layout));
}

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

TEST_F(FindBootable, NoBootableComponentGivesLastMagicRead) {
    Bytes kernel = component(kKernel, 1, pattern(30, 1));
    Bytes onie = component(kOnie | kImageFlag, 2, pattern(30, 2));
    EXPECT_EQ(0, find(concat({kernel, onie})));
    EXPECT_EQ(kOnie | kImageFlag, found_.last_magic);
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

TEST_F(FindBootable, FilesTooShortForAHeaderGiveNothing) {
    EXPECT_EQ(0, find({}));
    EXPECT_EQ(0u, found_.last_magic);
    std::fclose(file_);
    Bytes app = component(kApp, 1, {});  // 16 bytes: no 24-byte read
    EXPECT_EQ(0, find(app));
    EXPECT_EQ(0u, found_.last_magic);
    // The same after a kernel: the search ended on the kernel's header.
    std::fclose(file_);
    EXPECT_EQ(0, find(concat({component(kKernel, 1, pattern(8, 1)), app})));
    EXPECT_EQ(kKernel, found_.last_magic);
}

TEST_F(FindBootable, FileEndingInsideHdr3HeaderEndsTheSearch) {
    Bytes app = component(kApp, 3, pattern(10, 1), alias_entry(kApp));
    app.resize(28);  // the header is 32 bytes
    EXPECT_EQ(0, find(app));
    EXPECT_EQ(kApp, found_.last_magic);
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

TEST_F(FindBootable, ComponentRunningPastTheFileEndEndsTheSearch) {
    Bytes kernel = component(kKernel, 1, pattern(40, 1));
    put_be32(kernel, 4, 0xFFFFFFEFu);  // the largest size that fits
    EXPECT_EQ(0, find(concat({kernel, component(kApp, 1, pattern(40, 2))})));
    EXPECT_EQ(kKernel, found_.last_magic);
    EXPECT_EQ("", err_);
}

TEST(FindBootableFile, DirectoryInsteadOfAFileHoldsNothing) {
    std::FILE* dir = std::fopen("/tmp", "rb");
    if (!dir) {
        GTEST_SKIP() << "this libc refuses to open a directory";
    }
    BootableComponent found{};
    EXPECT_EQ(0, image_find_bootable(dir, &found));
    EXPECT_EQ(0u, found.last_magic);
    std::fclose(dir);
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
