// The key store on the virtual board. Key files created, kept, repaired and
// deleted as the serial number and the files' contents say are console tests
// (tests/console/test_keys.py); here the EEPROM fallback, the bound of the
// comparison and the wiping.
#include "auth/keystore.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "auth/builtin_keys.h"
#include "auth/crypto/testdata/fixtures.h"
#include "auth/test_support.h"
#include "board/board.h"

namespace {

using auth_test::capture_stdout;
using auth_test::read_file;
using auth_test::write_file;

const std::string kProduction(builtin_production_key, kBuiltinKeyLength);
const std::string kDevelopment(builtin_development_key, kBuiltinKeyLength);

const std::uint8_t* bytes_of(const char* text) {
    return reinterpret_cast<const std::uint8_t*>(text);
}

class KeyStore : public auth_test::AuthBoard {
   protected:
    // The key file a board with serial `serial` keeps for `text` (plus
    // its zero byte).
    static std::string key_file_for(const char* serial, const std::string& text) {
        std::string plain = text + '\0';
        std::uint32_t length = 0;
        std::uint8_t* cipher = imgsign_encrypt(bytes_of(serial), 12, bytes_of(plain.c_str()),
                                               static_cast<std::uint32_t>(plain.size()), &length);
        std::string file(reinterpret_cast<char*>(cipher), length);
        imgsign_release(cipher, length);
        return file;
    }
    std::string load(const char* name, int expected_result, KeyRecord* record) {
        return capture_stdout([&] { EXPECT_EQ(expected_result, imgsign_loadKey(record, name)); });
    }
    static std::string text_of(const KeyRecord& record) {
        return std::string(record.pem, record.length);
    }
    KeyRecord record_{};
};

TEST_F(KeyStore, UnreadableEepromKeysTheFilesWithTheBufferDefault) {
    board_.set("i2c-absent", "eeprom\n");
    capture_stdout([] { EXPECT_EQ(1, imgsign_loadSystemKeys()); });
    EXPECT_EQ(key_file_for("mirtaleshvon", kProduction), read_file(kProductionKeyFile));
    std::string out = load(kDevelopmentKeyFile, 1, &record_);
    EXPECT_EQ(std::string::npos, out.find("Updating")) << out;
    EXPECT_EQ(kDevelopment, text_of(record_));
}

// A board whose EEPROM holds no serial number has nothing to key the files
// with: each key with a built-in copy loads that copy, as a success, and no
// key file is written; a file without one loads nothing.
TEST_F(KeyStore, BlankSerialLoadsTheBuiltInKeysAndWritesNoFile) {
    std::string eeprom = board_.get("eeprom.bin");
    eeprom.replace(kEepromSerial, kBoardSerialLen, kBoardSerialLen, '\0');
    board_.set("eeprom.bin", eeprom);
    const std::string warning =
        "WARNING: Serial # not set on this unit. Built in keys must be used\n";
    EXPECT_EQ(warning, load(kDevelopmentKeyFile, 1, &record_));
    EXPECT_EQ(kDevelopment, text_of(record_));
    EXPECT_EQ(warning, load("/user/other_key.pub.pem", 0, &record_));
    EXPECT_NE(0, access(kDevelopmentKeyFile, F_OK));
    EXPECT_NE(0, access(kProductionKeyFile, F_OK));
}

// A key file that cannot be read (a small directory in its place: a
// filesystem mounted there) is no key, and nothing is deleted for it; the
// record that held another key holds none afterwards.
TEST_F(KeyStore, UnreadableKeyFileLoadsNothing) {
    load(kDevelopmentKeyFile, 1, &record_);
    ASSERT_EQ(kDevelopment, text_of(record_));
    ASSERT_EQ(0, mkdir(kProductionKeyFile, 0755));
    ASSERT_EQ(0, mount("none", kProductionKeyFile, "tmpfs", 0, nullptr));
    board_.set("commands.log", "");
    std::string out = load(kProductionKeyFile, 0, &record_);
    // Nor can a key file be written there: said, and refused.
    int written = -1;
    std::string write_out = capture_stdout([&] {
        written = imgsign_writeKey("key text", 8, kProductionKeyFile, bytes_of("VKT3390A0002"), 12);
    });
    EXPECT_EQ(std::string("ERROR creating file ") + kProductionKeyFile + "\n", write_out);
    EXPECT_EQ(0, written);
    umount(kProductionKeyFile);
    rmdir(kProductionKeyFile);
    EXPECT_EQ("", out);
    EXPECT_EQ(0, record_.length);
    EXPECT_EQ("", commands());
    // No record to load into, or no file named: nothing is read or written.
    EXPECT_EQ(0, imgsign_loadKey(nullptr, kDevelopmentKeyFile));
    EXPECT_EQ(0, imgsign_loadKey(&record_, nullptr));
    EXPECT_EQ(0, record_.length);
}

// A text longer than the built-in key is another text: the comparison
// stops at the key's own bytes (the sanitizer build proves it reads no
// further) and the file is rewritten.
TEST_F(KeyStore, TextLongerThanTheKeyIsRewrittenWithoutReadingPastTheKey) {
    write_file(kProductionKeyFile,
               key_file_for("VKT3390A0001", kProduction + kProduction.substr(0, 40)));
    std::string out = load(kProductionKeyFile, 1, &record_);
    EXPECT_NE(std::string::npos, out.find("Updating system key....")) << out;
    EXPECT_EQ(kProduction, text_of(record_));
    EXPECT_EQ(key_file_for("VKT3390A0001", kProduction), read_file(kProductionKeyFile));
}

// Every buffer that held key material or key text is zero when released,
// and nothing was written past its end: each block has a guard behind it.
std::map<void*, std::size_t> live_blocks;
int dirty_releases = 0;
int overrun_releases = 0;
int releases = 0;
constexpr std::size_t kGuard = 16;

TEST_F(KeyStore, KeyTextAndAesContextsAreWipedBeforeRelease) {
    ToolkitMemoryHooks hooks{[](std::size_t size) -> void* {
                                 auto* block = static_cast<unsigned char*>(std::malloc(size + kGuard));
                                 std::memset(block + size, 0x5A, kGuard);
                                 live_blocks[block] = size;
                                 return block;
                             },
                             [](void* block) {
                                 auto* bytes = static_cast<unsigned char*>(block);
                                 std::size_t size = live_blocks[block];
                                 for (std::size_t i = 0; i < size; ++i) {
                                     dirty_releases += bytes[i] != 0;
                                 }
                                 overrun_releases += std::count(bytes + size, bytes + size + kGuard,
                                                                0x5A) != kGuard;
                                 ++releases;
                                 live_blocks.erase(block);
                                 std::free(block);
                             }};
    write_file(kProductionKeyFile, key_file_for("VKT3390A0002", kProduction));
    toolkit_setMemoryHooks(&hooks);
    capture_stdout([&] { imgsign_loadKey(&record_, kProductionKeyFile); });
    toolkit_setMemoryHooks(nullptr);
    // Decryption (context, text), encryption for the rewrite (context,
    // ciphertext).
    EXPECT_GE(releases, 4);
    EXPECT_EQ(0, dirty_releases);
    EXPECT_EQ(0, overrun_releases);
    EXPECT_TRUE(live_blocks.empty());
}

// A key file's text is padded to whole AES blocks in 32 bits: the longest
// text whose rounding still fits is tried (memory refuses it here), one
// byte more would wrap the size to 0 and is refused before any allocation.
// A key file is the text zero-padded to whole AES blocks (a text of whole
// blocks gets none), and decrypts to that text, down to a single byte.
// An empty text too, where the allocator has nothing for a request of 0
// bytes (as C allows it).
TEST_F(KeyStore, KeyFileTextIsPaddedToWholeBlocksAndDecryptsBack) {
    crypto_use_allocator_without_empty_blocks();
    for (std::uint32_t length : {0u, 1u, 15u, 16u, 17u, 32u}) {
        std::string text(length, 'k');
        std::uint32_t cipher_length = 0;
        std::uint8_t* cipher = imgsign_encrypt(bytes_of("VKT3390A0002"), 12, bytes_of(text.c_str()),
                                               length, &cipher_length);
        ASSERT_NE(nullptr, cipher);
        EXPECT_EQ((length + 15) / 16 * 16, cipher_length) << length;
        std::uint32_t text_length = 0;
        std::uint8_t* plain =
            keyfile_decrypt(bytes_of("VKT3390A0002"), 12, cipher, cipher_length, &text_length);
        ASSERT_NE(nullptr, plain);
        EXPECT_EQ(text, std::string(reinterpret_cast<char*>(plain), text_length)) << length;
        imgsign_release(plain, cipher_length + 1);
        imgsign_release(cipher, cipher_length);
    }
    toolkit_setMemoryHooks(nullptr);
}

TEST_F(KeyStore, KeyFileTextIsRefusedOnlyWhereItsPaddedSizeWraps) {
    static std::size_t largest = 0;
    ToolkitMemoryHooks hooks{[](std::size_t size) -> void* {
                                 largest = std::max(largest, size);
                                 return size > (1u << 20) ? nullptr : std::malloc(size);
                             },
                             std::free};
    std::uint8_t text[16] = {};
    std::uint32_t length = 0;
    toolkit_setMemoryHooks(&hooks);
    std::string longest = capture_stdout([&] {
        EXPECT_EQ(nullptr,
                  imgsign_encrypt(bytes_of("VKT3390A0002"), 12, text, 0xFFFFFFF0u, &length));
    });
    std::size_t tried = largest;
    largest = 0;
    std::string wrapping = capture_stdout([&] {
        EXPECT_EQ(nullptr,
                  imgsign_encrypt(bytes_of("VKT3390A0002"), 12, text, 0xFFFFFFF1u, &length));
    });
    toolkit_setMemoryHooks(nullptr);
    EXPECT_EQ(0xFFFFFFF0u, tried);
    EXPECT_EQ("Encrypt malloc failed!\n", longest);
    EXPECT_LT(largest, 1u << 20);
    EXPECT_EQ("Encrypt malloc failed!\n", wrapping);
}

// Memory that runs out for the AES context, after the text's buffer was
// taken: the buffer goes back, nothing is left behind; and decryption,
// which takes its context first, says so, and so does one without room
// for its text after the context.
TEST_F(KeyStore, KeyFileCiphersWithoutMemoryForTheirContextReleaseWhatTheyTook) {
    static int allocations = 0;
    ToolkitMemoryHooks hooks{[](std::size_t size) -> void* {
                                 if (++allocations > 1) {
                                     return nullptr;
                                 }
                                 void* block = std::malloc(size);
                                 live_blocks[block] = size;
                                 return block;
                             },
                             [](void* block) {
                                 live_blocks.erase(block);
                                 std::free(block);
                             }};
    std::uint32_t length = 0;
    toolkit_setMemoryHooks(&hooks);
    std::string said = capture_stdout([&] {
        EXPECT_EQ(nullptr,
                  imgsign_encrypt(bytes_of("VKT3390A0002"), 12, bytes_of("key text"), 9, &length));
    });
    toolkit_setMemoryHooks(nullptr);
    EXPECT_EQ(2, allocations);
    EXPECT_EQ("AES_createCtx(encrypt) failed!\n", said);
    EXPECT_TRUE(live_blocks.empty());
    // Decryption takes its context first: without it, nothing is taken.
    // With its context but without room for the text, the context goes back.
    auto decrypted = [&] {
        const std::uint8_t cipher[16] = {};
        toolkit_setMemoryHooks(&hooks);
        std::string text = capture_stdout([&] {
            EXPECT_EQ(nullptr, keyfile_decrypt(bytes_of("VKT3390A0002"), 12, cipher, 16, &length));
        });
        toolkit_setMemoryHooks(nullptr);
        EXPECT_TRUE(live_blocks.empty());
        return text;
    };
    EXPECT_EQ("imgsign_decrypt: AES_createCtx(decrypt) failed!\n", decrypted());
    EXPECT_EQ(3, allocations);
    allocations = 0;
    EXPECT_EQ("Decrypt malloc failed!\n", decrypted());
    EXPECT_EQ(2, allocations);
}

}  // namespace
