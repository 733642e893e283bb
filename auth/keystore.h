// The key store: the production and development public keys that image
// signatures are checked against.
//
// Both keys are built into the launcher (auth/builtin_keys.h) and mirrored
// in two key files on the eMMC, encrypted under a key bound to the board's
// serial number (auth/keyfile.h). Every load reads the file, decrypts it and
// compares it with the built-in key of the same name: a missing file is
// created, a file that decrypts to anything but the whole built-in key (an
// empty text and a leading part of it included) is rewritten from the
// built-in key, and a file that cannot be decrypted at all makes the store
// delete every key file ("rm /user/*.pem"); the next load recreates them. A
// board whose serial number is blank (twelve zero bytes) never touches the
// files and uses the built-in keys.
#pragma once

#include <cstdint>

#include "auth/keyfile.h"

inline constexpr const char* kProductionKeyFile = "/user/production_key.pub.pem";
inline constexpr const char* kDevelopmentKeyFile = "/user/development_key.pub.pem";

// Key files larger than this are refused.
inline constexpr std::uint32_t kKeyFileMaxSize = 500;

// One public key in memory, owned by the caller. `length` bytes of `pem`
// are the key's PEM text; the text need not be zero-terminated.
struct KeyRecord {
    std::uint16_t length;
    char pem[506];
};

// Decrypts a key file's bytes as keyfile_decrypt does (release the result
// with imgsign_release(buffer, cipherLen + 1)); on any failure it also
// deletes every key file, so that the next load starts afresh.
std::uint8_t* imgsign_decrypt(const std::uint8_t* material, std::uint32_t materialLen,
                              const std::uint8_t* cipher, std::uint32_t cipherLen,
                              std::uint32_t* textLen);

// Encrypts `textLen` bytes of key text and writes them to `fileName`. 1 when
// the file was written whole, 0 otherwise.
int imgsign_writeKey(const char* text, std::uint32_t textLen, const char* fileName,
                     const std::uint8_t* material, std::uint32_t materialLen);

// Loads the key of `fileName` (kProductionKeyFile or kDevelopmentKeyFile)
// into *record, creating or repairing the file on the way. 1 when the
// record holds a key (which may be empty after a file that could not be
// decrypted: that key verifies nothing), 0 on failure.
int imgsign_loadKey(KeyRecord* record, const char* fileName);

// Loads both keys, which creates or repairs both files; 1 when both were
// loaded, else 0.
int imgsign_loadSystemKeys();

// Wipes a record before its memory goes back to the stack.
void imgsign_wipeRecord(KeyRecord* record);
