#include "auth/crypto/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "auth/crypto/imgsign.h"
#include "auth/crypto/testdata/fixtures.h"

namespace {

// The digest of data, written into a buffer with room past its 32 bytes:
// the bytes after the digest must be left as they were.
std::vector<uint8_t> digest_whole(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> digest(kSha256DigestLength + 8, 0xA5);
    uint32_t len = 99;
    // An empty message still needs a data pointer: only absent data is refused.
    static const uint8_t kNothing = 0;
    const uint8_t* bytes = data.empty() ? &kNothing : data.data();
    EXPECT_EQ(IMGSIGN_computeSHA256(bytes, static_cast<uint32_t>(data.size()), digest.data(), &len),
              CRYPTO_OK);
    EXPECT_EQ(len, kSha256DigestLength);
    EXPECT_EQ(std::vector<uint8_t>(8, 0xA5),
              std::vector<uint8_t>(digest.begin() + kSha256DigestLength, digest.end()));
    digest.resize(kSha256DigestLength);
    return digest;
}

struct KnownAnswer {
    std::string message;
    const char* digest;
};

// The examples of the SHA-256 standard and its padding boundaries (55
// bytes fit one block with the length, 56 need a second, 64 fill one).
const KnownAnswer kKnownAnswers[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
    {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
    {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
};

// The 120 bytes 7 i + 1 (Python's hashlib).
const char* const kPieces120 = "8e3b15d9fea7472655aa069620b7f8c2e55ee1499f763200a7515fe826e99d20";

TEST(Sha256KnownAnswers, StandardExamplesAndPaddingBoundaries) {
    for (const KnownAnswer& answer : kKnownAnswers) {
        EXPECT_EQ(digest_whole({answer.message.begin(), answer.message.end()}),
                  crypto_hex(answer.digest))
            << answer.message.size() << " bytes";
    }
    // Fed in pieces of 7 bytes, so that the block buffer holds earlier
    // bytes past the message's last ones: the padding must clear them. At
    // lengths 56 to 63 past a block the padding spills into a block of its
    // own. Bytes 7 i + 1.
    for (size_t length = 119; length <= 128; ++length) {
        std::vector<uint8_t> message(length);
        for (size_t i = 0; i < length; ++i) {
            message[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        Sha256Ctx ctx;
        sha256_init(ctx);
        for (size_t pos = 0; pos < length; pos += 7) {
            sha256_update(ctx, message.data() + pos, std::min<size_t>(7, length - pos));
        }
        std::vector<uint8_t> digest(kSha256DigestLength);
        sha256_final(ctx, digest.data());
        EXPECT_EQ(digest, digest_whole(message)) << length << " bytes in pieces";
        // One byte, then the rest at once: the byte waits in the block
        // buffer for the ones that complete its block.
        sha256_init(ctx);
        sha256_update(ctx, message.data(), 1);
        sha256_update(ctx, message.data() + 1, length - 1);
        sha256_final(ctx, digest.data());
        EXPECT_EQ(digest, digest_whole(message)) << length << " bytes after one";
        if (length == 120) {
            EXPECT_EQ(digest, crypto_hex(kPieces120));
        }
    }
    // Nowhere to read from or to write to is refused, not hashed.
    uint8_t digest[32];
    uint32_t len = 7;
    EXPECT_EQ(CRYPTO_ERR_NULL_ARG, IMGSIGN_computeSHA256(nullptr, 0, digest, &len));
    EXPECT_EQ(CRYPTO_ERR_NULL_ARG, IMGSIGN_computeSHA256(digest, 1, nullptr, &len));
    EXPECT_EQ(7u, len);
}

}  // namespace
