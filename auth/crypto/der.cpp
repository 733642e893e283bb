#include "auth/crypto/der.h"

namespace der {

namespace {

// Decodes the length at the start of bytes; sets used to the number of
// length bytes. False for the indefinite form, more than four length bytes,
// or a length that a shorter form could have held.
bool read_length(std::span<const uint8_t> bytes, size_t& length, size_t& used) {
    if (bytes.empty()) {
        return false;
    }
    uint8_t first = bytes[0];
    if (first < 0x80) {
        length = first;
        used = 1;
        return true;
    }
    size_t count = first & 0x7Fu;
    if (count == 0 || count > 4 || bytes.size() - 1 < count || bytes[1] == 0) {
        return false;
    }
    uint32_t value = 0;
    for (size_t i = 1; i <= count; ++i) {
        value = (value << 8) | bytes[i];
    }
    if (value < 0x80) {
        return false;
    }
    length = value;
    used = 1 + count;
    return true;
}

}  // namespace

bool read_any(Reader& reader, Element& element) {
    std::span<const uint8_t> bytes = reader.rest;
    if (bytes.size() < 2 || (bytes[0] & 0x1Fu) == 0x1Fu) {
        return false;
    }
    size_t length = 0;
    size_t used = 0;
    if (!read_length(bytes.subspan(1), length, used)) {
        return false;
    }
    size_t header = 1 + used;
    if (length > bytes.size() - header) {
        return false;
    }
    element.tag = bytes[0];
    element.value = bytes.subspan(header, length);
    element.encoding = bytes.first(header + length);
    reader.rest = bytes.subspan(header + length);
    return true;
}

bool read(Reader& reader, uint8_t tag, std::span<const uint8_t>& value) {
    Reader probe = reader;
    Element element{};
    if (!read_any(probe, element) || element.tag != tag) {
        return false;
    }
    value = element.value;
    reader = probe;
    return true;
}

bool read_unsigned_integer(Reader& reader, std::span<const uint8_t>& magnitude) {
    Reader probe = reader;
    std::span<const uint8_t> value;
    if (!read(probe, kTagInteger, value) || value.empty()) {
        return false;
    }
    // A negative number, or a leading zero byte that is not needed to keep
    // the next byte's top bit clear, is refused.
    if ((value[0] & 0x80u) != 0) {
        return false;
    }
    if (value.size() > 1 && value[0] == 0) {
        if ((value[1] & 0x80u) == 0) {
            return false;
        }
        value = value.subspan(1);
    }
    magnitude = value;
    reader = probe;
    return true;
}

bool equal(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace der
