#include "image/crc32.h"

#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

// The component CRC as the switch's format defines it, bit by bit: the
// oracle the table-driven code must match register for register.
std::uint32_t bitwise_crc32(const std::uint8_t* data, std::size_t count, std::uint32_t reg) {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            if ((reg ^ byte) & 1u) {
                reg = (reg >> 1) ^ 0xEDB88320u;
            } else {
                reg >>= 1;
            }
            byte >>= 1;
        }
    }
    return reg;
}

std::vector<std::uint8_t> random_bytes(std::mt19937& rng, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(rng());
    }
    return bytes;
}

TEST(ImageCrc32, CheckStringEndsInOnesComplementOfStandardValue) {
    const std::uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(0x340BC6D9u, bitwise_crc32(text, 9, kImageCrcStart));
    EXPECT_EQ(0x340BC6D9u, image_crc32(text, 9, kImageCrcStart));
    EXPECT_EQ(0xCBF43926u, ~image_crc32(text, 9, kImageCrcStart));
    // The stream starts from all ones and its result is not inverted.
    ImageCrc32 crc;
    image_crc32_init(crc);
    EXPECT_EQ(kImageCrcStart, image_crc32_final(crc));
    image_crc32_update(crc, text);
    EXPECT_EQ(0x340BC6D9u, image_crc32_final(crc));
}

// Every length from 0 to 300 at each of four start offsets covers the
// short inputs taken byte by byte, each tail after the 32-byte steps and
// each lead before a 4-byte boundary (on the switch's big-endian CPU too);
// random start values show the register is carried, not reset.
TEST(ImageCrc32, MatchesBitwiseOracleOnRandomData) {
    std::mt19937 rng(20240601);
    std::vector<std::uint8_t> data = random_bytes(rng, 304);
    for (std::size_t offset = 0; offset < 4; ++offset) {
        for (std::size_t length = 0; length <= 300; ++length) {
            std::uint32_t start =
                length % 3 == 0 ? kImageCrcStart : static_cast<std::uint32_t>(rng());
            const std::uint8_t* bytes = data.data() + offset;
            ASSERT_EQ(bitwise_crc32(bytes, length, start),
                      image_crc32(bytes, static_cast<std::uint32_t>(length), start))
                << "offset " << offset << " length " << length;
        }
    }
}

}  // namespace
