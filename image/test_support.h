// Helpers for the image unit tests: components built byte by byte (without
// the code under test) and container files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/crc32.h"

namespace image_test {

using Bytes = std::vector<std::uint8_t>;

inline void put_be16(Bytes& bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(value);
}

inline void put_be32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    put_be16(bytes, at, value >> 16);
    put_be16(bytes, at + 2, value & 0xFFFFu);
}

// One extension entry: tag, length counted from the tag, value.
inline Bytes entry(std::uint16_t tag, const Bytes& value) {
    Bytes bytes(4);
    put_be16(bytes, 0, tag);
    put_be16(bytes, 2, static_cast<std::uint32_t>(4 + value.size()));
    bytes.insert(bytes.end(), value.begin(), value.end());
    return bytes;
}

inline Bytes alias_entry(std::uint32_t magic) {
    Bytes value(4);
    put_be32(value, 0, magic);
    return entry(6, value);
}

inline Bytes signature_entry(const Bytes& signature) {
    Bytes value(2);
    put_be16(value, 0, static_cast<std::uint32_t>(signature.size()));
    value.insert(value.end(), signature.begin(), signature.end());
    return entry(3, value);
}

inline Bytes pattern(std::size_t count, unsigned salt) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 31 + salt) ^ (i >> 8));
    }
    return bytes;
}

// A component with a correct CRC. Format 1: 16-byte header. Format 2: a
// 24-byte long header (the flag is set in `magic` here). Format 3: "HDR3",
// 24 bytes plus `entries`. `magic` is stored as given.
inline Bytes component(std::uint32_t magic, int format, const Bytes& payload,
                       const Bytes& entries = {}, std::uint32_t id = 0x01020304u) {
    Bytes bytes(format == 1 ? 16 : 24, 0);
    if (format == 2) {
        magic |= 0x80000000u;
        put_be16(bytes, 18, 24);
    }
    if (format == 3) {
        bytes.insert(bytes.end(), entries.begin(), entries.end());
        std::memcpy(bytes.data() + 16, "HDR3", 4);
        put_be16(bytes, 22, static_cast<std::uint32_t>(bytes.size()));
    }
    std::uint32_t len = static_cast<std::uint32_t>(format == 3 ? bytes.size() + payload.size() - 16
                                                               : payload.size());
    put_be32(bytes, 4, len);
    put_be32(bytes, 8, magic);
    put_be32(bytes, 12, id);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    put_be32(bytes, 0,
             image_crc32(bytes.data() + 4, static_cast<std::uint32_t>(bytes.size() - 4),
                         kImageCrcStart));
    return bytes;
}

// The same as file content, its CRC spoiled when `crc_ok` is false.
inline std::string component_file(std::uint32_t magic, const std::string& payload,
                                  bool crc_ok = true, int format = 1) {
    Bytes bytes = component(magic, format, Bytes(payload.begin(), payload.end()));
    bytes[0] ^= crc_ok ? 0 : 1;
    return std::string(bytes.begin(), bytes.end());
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// A scratch file holding `bytes`, positioned at its start.
inline std::FILE* file_with(const Bytes& bytes) {
    std::FILE* file = std::tmpfile();
    if (file && !bytes.empty()) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::rewind(file);
    }
    return file;
}

}  // namespace image_test
