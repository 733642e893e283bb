#include "auth/crypto/der.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

bool reads(const Bytes& bytes, der::Element& element, size_t& left) {
    der::Reader reader{bytes};
    bool ok = der::read_any(reader, element);
    left = reader.rest.size();
    return ok;
}

TEST(DerReader, ShortAndLongLengths) {
    der::Element e{};
    size_t left = 0;
    Bytes twoElements = {0x04, 0x02, 0xAA, 0xBB, 0x05, 0x00};
    ASSERT_TRUE(reads(twoElements, e, left));
    EXPECT_EQ(e.tag, 0x04);
    EXPECT_EQ(Bytes(e.value.begin(), e.value.end()), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(e.encoding.size(), 4u);
    EXPECT_EQ(left, 2u);

    Bytes longForm = {0x04, 0x81, 0x80};
    longForm.resize(3 + 0x80, 0x11);
    ASSERT_TRUE(reads(longForm, e, left));
    EXPECT_EQ(e.value.size(), 0x80u);
    EXPECT_EQ(left, 0u);

    Bytes twoBytes = {0x30, 0x82, 0x01, 0x00};
    twoBytes.resize(4 + 0x100, 0x22);
    ASSERT_TRUE(reads(twoBytes, e, left));
    EXPECT_EQ(e.value.size(), 0x100u);
}

TEST(DerReader, NonStrictOrTruncatedEncodingsAreRefused) {
    const Bytes refused[] = {
        {},                                    // nothing
        {0x04},                                // no length
        {0x04, 0x80, 0x00, 0x00},              // indefinite length
        {0x04, 0x81, 0x05, 1, 2, 3, 4, 5},     // long form for a short length
        {0x04, 0x82, 0x00, 0x81},              // leading zero length byte
        {0x04, 0x85, 0x01, 0x00, 0, 0, 0},     // more than four length bytes
        {0x04, 0x03, 0x01, 0x02},              // value past the end
        {0x04, 0x82, 0xFF, 0xFF, 0x00},        // long value past the end
        {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF},  // length near 2^32
        {0x1F, 0x81, 0x01, 0x00},              // multi-byte tag form
        {0x3F, 0x01, 0x00},                    //
    };
    for (const Bytes& bytes : refused) {
        der::Element e{};
        size_t left = 99;
        EXPECT_FALSE(reads(bytes, e, left)) << ::testing::PrintToString(bytes);
        EXPECT_EQ(left, bytes.size());
    }
}

TEST(DerReader, ReadChecksTheTagAndKeepsPositionOnFailure) {
    Bytes bytes = {0x02, 0x01, 0x05};
    der::Reader reader{bytes};
    std::span<const uint8_t> value;
    EXPECT_FALSE(der::read(reader, der::kTagOctetString, value));
    EXPECT_EQ(reader.rest.size(), 3u);
    EXPECT_TRUE(der::read(reader, der::kTagInteger, value));
    EXPECT_TRUE(der::at_end(reader));
}

TEST(DerReader, UnsignedIntegersMustBeMinimalAndNotNegative) {
    struct Case {
        Bytes encoding;
        bool ok;
        Bytes magnitude;
    } cases[] = {
        {{0x02, 0x01, 0x00}, true, {0x00}},
        {{0x02, 0x01, 0x7F}, true, {0x7F}},
        {{0x02, 0x02, 0x00, 0x80}, true, {0x80}},
        {{0x02, 0x03, 0x01, 0x00, 0x01}, true, {0x01, 0x00, 0x01}},
        {{0x02, 0x00}, false, {}},              // empty
        {{0x02, 0x01, 0x80}, false, {}},        // negative
        {{0x02, 0x02, 0xFF, 0x7F}, false, {}},  // negative
        {{0x02, 0x02, 0x00, 0x7F}, false, {}},  // needless zero byte
        {{0x02, 0x02, 0x00, 0x00}, false, {}},  //
        {{0x04, 0x01, 0x01}, false, {}},        // not an INTEGER
    };
    for (const Case& c : cases) {
        der::Reader reader{c.encoding};
        std::span<const uint8_t> magnitude;
        EXPECT_EQ(der::read_unsigned_integer(reader, magnitude), c.ok)
            << ::testing::PrintToString(c.encoding);
        if (c.ok) {
            EXPECT_EQ(Bytes(magnitude.begin(), magnitude.end()), c.magnitude);
        }
    }
}

}  // namespace
