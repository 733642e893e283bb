// A strict reader for the DER encoding of the public keys and signature
// blocks the launcher checks.
//
// Every element is tag, length, value:
//   tag     one byte; the multi-byte tag form (low five bits all set) is
//           refused;
//   length  one byte below 0x80, or 0x81..0x84 followed by that many length
//           bytes, in the fewest bytes that can hold the value (0x80, the
//           indefinite form, is refused);
//   value   exactly length bytes, which must all lie inside the input.
// The reader only ever moves forward through a span; it never reads a byte
// outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace der {

inline constexpr uint8_t kTagInteger = 0x02;
inline constexpr uint8_t kTagBitString = 0x03;
inline constexpr uint8_t kTagOctetString = 0x04;
inline constexpr uint8_t kTagNull = 0x05;
inline constexpr uint8_t kTagOid = 0x06;
inline constexpr uint8_t kTagSequence = 0x30;

// Bytes not yet read.
struct Reader {
    std::span<const uint8_t> rest;
};

// One decoded element: its tag, its value bytes, and its whole encoding.
struct Element {
    uint8_t tag;
    std::span<const uint8_t> value;
    std::span<const uint8_t> encoding;
};

// Reads the next element of any tag. False when the bytes left do not
// start with a well-formed element; the reader is then unchanged.
bool read_any(Reader& reader, Element& element);

// Reads the next element, which must carry the given tag.
bool read(Reader& reader, uint8_t tag, std::span<const uint8_t>& value);

// True when every byte has been read.
inline bool at_end(const Reader& reader) {
    return reader.rest.empty();
}

// Reads a non-negative INTEGER in its minimal encoding and gives its
// magnitude without the sign byte (a single zero byte for zero).
bool read_unsigned_integer(Reader& reader, std::span<const uint8_t>& magnitude);

// True when two byte strings are equal.
bool equal(std::span<const uint8_t> a, std::span<const uint8_t> b);

}  // namespace der
