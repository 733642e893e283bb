#include "image/crc32.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// The interleaved form. The register is linear in the bytes: it is the XOR
// of what each byte contributes, and a register value at some point of the
// stream is the same as those four bytes XORed into the next four bytes of
// data. So the bytes are dealt to four lanes, lane j taking bytes 8j to
// 8j + 7 of every 32-byte stride. Each lane keeps one 32-bit value: what
// its bytes so far contribute, placed over the first four bytes of its
// next block. A step folds each lane's 8 bytes with 8 table lookups into
// its new value; the four lanes do not wait for one another, so the
// processor overlaps them, where a single register (slicing by 16) waits
// for its own lookups at every step. Words are taken from registers, not
// loaded byte by byte: the switch's core has one load unit, and the
// table lookups already keep it busy.
constexpr std::size_t kLanes = 4;
constexpr std::size_t kBlock = 8;                 // bytes of one lane per step
constexpr std::size_t kStride = kLanes * kBlock;  // bytes of one step

using ByteTable = std::array<std::uint32_t, 256>;

// The register after one byte, from a register of 0.
constexpr ByteTable make_byte_table() {
    ByteTable table{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t reg = byte;
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 1u) ? (reg >> 1) ^ kPolynomial : reg >> 1;
        }
        table[byte] = reg;
    }
    return table;
}

constexpr ByteTable kByte = make_byte_table();

constexpr std::uint32_t after_byte(std::uint32_t reg, std::uint8_t byte) {
    return (reg >> 8) ^ kByte[(reg ^ byte) & 0xFFu];
}

// kLane[k][b]: what byte b at offset k of a lane's block contributes to
// the register where that lane's next block starts, one stride on (the
// other lanes' bytes in between count as zeros; they carry their own
// contributions). 8 KiB of constants, built at compile time.
constexpr std::array<ByteTable, kBlock> make_lane_tables() {
    std::array<ByteTable, kBlock> tables{};
    for (std::size_t k = 0; k < kBlock; ++k) {
        for (std::uint32_t byte = 0; byte < 256; ++byte) {
            std::uint32_t reg = kByte[byte];
            for (std::size_t zero = k + 1; zero < kStride; ++zero) {
                reg = after_byte(reg, 0);
            }
            tables[k][byte] = reg;
        }
    }
    return tables;
}

constexpr std::array<ByteTable, kBlock> kLane = make_lane_tables();

// Four bytes as the register sees them: the first byte in the low bits. The
// bytes are combined one by one, so the result is the same on the
// big-endian switch and on a little-endian host (where the compilers make
// one load of it: a byte-reversed load on the switch).
inline std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// One lane's step: its 8 bytes, the first four carrying its value.
inline std::uint32_t lane_step(const std::uint8_t* block, std::uint32_t value) {
    const auto& t = kLane;
    std::uint32_t lo = load_le32(block) ^ value;
    std::uint32_t hi = load_le32(block + 4);
    return t[0][lo & 0xFFu] ^ t[1][(lo >> 8) & 0xFFu] ^ t[2][(lo >> 16) & 0xFFu] ^ t[3][lo >> 24] ^
           t[4][hi & 0xFFu] ^ t[5][(hi >> 8) & 0xFFu] ^ t[6][(hi >> 16) & 0xFFu] ^ t[7][hi >> 24];
}

std::uint32_t bytewise(const std::uint8_t* data, std::size_t count, std::uint32_t crc) {
    for (std::size_t i = 0; i < count; ++i) {
        crc = after_byte(crc, data[i]);
    }
    return crc;
}

// The register over `count` bytes, at least two strides: the lanes run
// over all strides but the last, whose bytes then take the lanes' values
// and are fed one by one, with the bytes after it.
std::uint32_t interleaved(const std::uint8_t* data, std::size_t count, std::uint32_t crc) {
    std::uint32_t lane0 = crc;
    std::uint32_t lane1 = 0;
    std::uint32_t lane2 = 0;
    std::uint32_t lane3 = 0;
    std::size_t steps = count / kStride - 1;
    for (std::size_t step = 0; step < steps; ++step) {
        lane0 = lane_step(data, lane0);
        lane1 = lane_step(data + kBlock, lane1);
        lane2 = lane_step(data + 2 * kBlock, lane2);
        lane3 = lane_step(data + 3 * kBlock, lane3);
        data += kStride;
    }
    const std::uint32_t lanes[kLanes] = {lane0, lane1, lane2, lane3};
    std::uint32_t reg = 0;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        const std::uint8_t* block = data + lane * kBlock;
        for (std::size_t k = 0; k < kBlock; ++k) {
            std::uint8_t carried = k < 4 ? static_cast<std::uint8_t>(lanes[lane] >> (8 * k)) : 0;
            reg = after_byte(reg, static_cast<std::uint8_t>(block[k] ^ carried));
        }
    }
    return bytewise(data + kStride, count - (steps + 1) * kStride, reg);
}

}  // namespace

std::uint32_t image_crc32(const std::uint8_t* data, std::uint32_t count, std::uint32_t crc) {
    // Word loads from a 4-byte boundary: the switch's core splits a
    // misaligned one.
    std::size_t lead = (4 - reinterpret_cast<std::uintptr_t>(data) % 4) % 4;
    if (count < 2 * kStride + lead) {
        return bytewise(data, count, crc);
    }
    crc = bytewise(data, lead, crc);
    return interleaved(data + lead, count - lead, crc);
}

void image_crc32_init(ImageCrc32& state) {
    state.reg = kImageCrcStart;
}

void image_crc32_update(ImageCrc32& state, std::span<const std::uint8_t> bytes) {
    // Pieces are at most a few 64 KiB; a span longer than 4 GiB (only on a
    // 64-bit host) is still taken whole, in 4 GiB steps.
    while (!bytes.empty()) {
        std::size_t step = bytes.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu : bytes.size();
        state.reg = image_crc32(bytes.data(), static_cast<std::uint32_t>(step), state.reg);
        bytes = bytes.subspan(step);
    }
}

std::uint32_t image_crc32_final(const ImageCrc32& state) {
    return state.reg;
}
