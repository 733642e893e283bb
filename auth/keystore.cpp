#include "auth/keystore.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "auth/builtin_keys.h"
#include "auth/crypto/toolkit.h"
#include "board/board.h"
#include "image/durable.h"
#include "platform/platform.h"

namespace {

// What the serial number buffer holds before the EEPROM is read: the key
// material of a board whose EEPROM cannot be read at all.
constexpr char kSerialDefault[kKeyMaterialLength + 1] = "mirtaleshvon";

// The built-in key that belongs to a key file name; null for any other name.
const char* builtin_key_for(const char* fileName) {
    if (std::strcmp(fileName, kProductionKeyFile) == 0) {
        return builtin_production_key;
    }
    if (std::strcmp(fileName, kDevelopmentKeyFile) == 0) {
        return builtin_development_key;
    }
    return nullptr;
}

// The serial number buffer, wiped when the load ends.
struct SerialBuffer {
    std::uint8_t bytes[kKeyMaterialLength];
    SerialBuffer() { std::memcpy(bytes, kSerialDefault, sizeof bytes); }
    ~SerialBuffer() { toolkit_wipe(bytes, sizeof bytes); }
    bool blank() const {
        for (std::uint8_t byte : bytes) {
            if (byte != 0) {
                return false;
            }
        }
        return true;
    }
};

void use_builtin(KeyRecord* record, const char* builtin) {
    std::memcpy(record->pem, builtin, kBuiltinKeyStorage);
    record->length = kBuiltinKeyLength;
}

// Whether the record's text is the built-in key, no more and no less. The
// comparison never reads past the built-in key's storage.
bool holds_builtin(const KeyRecord& record, const char* builtin) {
    return record.length == kBuiltinKeyLength &&
           std::memcmp(builtin, record.pem, kBuiltinKeyLength) == 0;
}

bool exists(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0;
}

// Reads a key file of `size` bytes (at most the record's room) into the
// record. false when it cannot be opened or read whole.
bool read_key_file(const char* fileName, std::uint32_t size, KeyRecord* record) {
    std::FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr) {
        return false;
    }
    std::size_t got = std::fread(record->pem, 1, size, file);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        return false;
    }
    // A file that shrank since it was measured gives what it still holds.
    record->length = static_cast<std::uint16_t>(got);
    return true;
}

}  // namespace

std::uint8_t* imgsign_decrypt(const std::uint8_t* material, std::uint32_t materialLen,
                              const std::uint8_t* cipher, std::uint32_t cipherLen,
                              std::uint32_t* textLen) {
    std::uint8_t* plain = keyfile_decrypt(material, materialLen, cipher, cipherLen, textLen);
    if (plain == nullptr) {
        // A key file that cannot be decrypted is of no use to anyone: every
        // key file goes, and the next load writes fresh ones.
        plat_system("rm /user/*.pem");
    }
    return plain;
}

int imgsign_writeKey(const char* text, std::uint32_t textLen, const char* fileName,
                     const std::uint8_t* material, std::uint32_t materialLen) {
    std::uint32_t cipherLen = 0;
    std::uint8_t* cipher = imgsign_encrypt(
        material, materialLen, reinterpret_cast<const std::uint8_t*>(text), textLen, &cipherLen);
    if (cipher == nullptr) {
        return 0;
    }
    // Written beside the old file and renamed over it: a cut in the middle
    // leaves the old key file whole, where a rewrite in place would leave
    // a cut one whose next load removes every key file. A failed write (a
    // full filesystem) leaves the old file too, and is reported.
    DurableResult result = durable_replace(fileName, cipher, cipherLen);
    imgsign_release(cipher, cipherLen);
    if (result == DurableResult::OpenFailed) {
        std::printf("ERROR creating file %s\n", fileName);
    }
    return result == DurableResult::Written ? 1 : 0;
}

int imgsign_loadKey(KeyRecord* record, const char* fileName) {
    if (record == nullptr || fileName == nullptr) {
        return 0;
    }
    const char* builtin = builtin_key_for(fileName);
    SerialBuffer serial;
    board_read_serial(serial.bytes);
    if (serial.blank()) {
        std::puts("WARNING: Serial # not set on this unit. Built in keys must be used");
        if (builtin == nullptr) {
            return 0;
        }
        use_builtin(record, builtin);
        return 1;
    }

    record->length = 0;
    if (!exists(fileName)) {
        if (builtin != nullptr) {
            imgsign_writeKey(builtin, kBuiltinKeyStorage, fileName, serial.bytes,
                             sizeof serial.bytes);
        }
        if (!exists(fileName)) {
            std::puts("ERROR - unable to find system key");
            return 0;
        }
    }
    struct stat info {};
    if (stat(fileName, &info) != 0) {
        return 0;
    }
    if (info.st_size > static_cast<off_t>(kKeyFileMaxSize)) {
        std::printf("ERROR loading key as length too long %d > %d\n",
                    static_cast<int>(info.st_size), static_cast<int>(kKeyFileMaxSize));
        return 0;
    }
    if (!read_key_file(fileName, static_cast<std::uint32_t>(info.st_size), record)) {
        return 0;
    }

    std::uint32_t textLen = 0;
    std::uint8_t* plain = imgsign_decrypt(serial.bytes, sizeof serial.bytes,
                                          reinterpret_cast<const std::uint8_t*>(record->pem),
                                          record->length, &textLen);
    std::uint32_t cipherLen = record->length;
    toolkit_wipe(record->pem, sizeof record->pem);
    record->length = 0;
    bool decrypted = plain != nullptr;
    if (decrypted) {
        std::memcpy(record->pem, plain, textLen);
        record->length = static_cast<std::uint16_t>(textLen);
        imgsign_release(plain, cipherLen + 1);
    }

    // A file that decrypted is kept only when it holds the built-in key
    // whole. An empty text (a zero-byte file, left by a full /user) or a
    // leading part of the key verifies no image, so it is rewritten as a
    // file of another key is. A file that could not be decrypted has just
    // been deleted with every key file; the next load recreates it.
    if (builtin != nullptr && decrypted && !holds_builtin(*record, builtin)) {
        std::puts(builtin == builtin_production_key ? "Updating system key...."
                                                    : "Updating system development key....");
        imgsign_writeKey(builtin, kBuiltinKeyStorage, fileName, serial.bytes, sizeof serial.bytes);
        use_builtin(record, builtin);
    }
    return 1;
}

int imgsign_loadSystemKeys() {
    KeyRecord scratch{};
    int loaded = imgsign_loadKey(&scratch, kProductionKeyFile) &&
                 imgsign_loadKey(&scratch, kDevelopmentKeyFile);
    imgsign_wipeRecord(&scratch);
    return loaded ? 1 : 0;
}

void imgsign_wipeRecord(KeyRecord* record) {
    toolkit_wipe(record, sizeof *record);
}
