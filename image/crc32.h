// The component CRC of the image containers: the reflected CRC-32 of the
// IEEE 802.3 polynomial (0xEDB88320), least significant bit first, started
// at 0xFFFFFFFF and never inverted at the end. The `crc` field of a
// component therefore holds the ones' complement of the usual CRC-32: for
// "123456789" the register ends at 0x340BC6D9.
#pragma once

#include <cstdint>
#include <span>

// The register value every component check starts from.
inline constexpr std::uint32_t kImageCrcStart = 0xFFFFFFFFu;

// Runs the register `crc` over `count` bytes and returns it, not inverted.
// Because nothing is inverted, a long run can be split anywhere: feeding
// the result of one call into the next gives the register of the whole.
std::uint32_t image_crc32(const std::uint8_t* data, std::uint32_t count, std::uint32_t crc);

// The same register kept across pieces, for a component that is checked
// while it is copied and never held whole in memory:
//
//   ImageCrc32 crc;
//   image_crc32_init(crc);
//   for each piece: image_crc32_update(crc, piece);
//   if (image_crc32_final(crc) == header.crc) ...
struct ImageCrc32 {
    std::uint32_t reg;
};

void image_crc32_init(ImageCrc32& state);
void image_crc32_update(ImageCrc32& state, std::span<const std::uint8_t> bytes);
// The register as a component's `crc` field holds it.
std::uint32_t image_crc32_final(const ImageCrc32& state);
