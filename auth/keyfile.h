// The cipher of the key files: the image-signing public keys are mirrored on
// the eMMC encrypted with AES-128-CBC under a key bound to the board's
// serial number, so a key file copied from one switch to another decrypts
// to garbage there and is replaced from the built-in key.
//
// This part touches no board and no file: the launcher's key store and the
// host tool (imgtool keyfile) share it, so a key file written by either is
// read the same way by the other.
//
//   AES key (16 bytes):  key material (the 12-byte serial number) | 4-byte filler
//   IV (16 bytes):       fixed, the same for both files and both directions
//   file:                AES-128-CBC(text, its zero byte, zero padding to 16)
#pragma once

#include <cstdint>

// Bytes of key material: the serial number as the board EEPROM holds it.
inline constexpr std::uint32_t kKeyMaterialLength = 12;

// Encrypts `plainLen` bytes: the text is zero-padded to the next multiple of
// 16 (a multiple of 16 stays as it is) and encrypted under the key built
// from `material`. A new buffer of *cipherLen bytes (release it with
// imgsign_release), or null after printing why.
std::uint8_t* imgsign_encrypt(const std::uint8_t* material, std::uint32_t materialLen,
                              const std::uint8_t* plain, std::uint32_t plainLen,
                              std::uint32_t* cipherLen);

// Decrypts `cipherLen` bytes under the key built from `material`. A new
// buffer of cipherLen + 1 bytes holding the plaintext and a zero byte
// (release it with imgsign_release(buffer, cipherLen + 1)), with *textLen
// the bytes before the plaintext's first zero byte; or null after printing
// why. Whether the result is a key is not checked: a wrong serial number
// gives garbage. Nothing is deleted here; the key store's imgsign_decrypt
// adds that.
std::uint8_t* keyfile_decrypt(const std::uint8_t* material, std::uint32_t materialLen,
                              const std::uint8_t* cipher, std::uint32_t cipherLen,
                              std::uint32_t* textLen);

// Wipes `length` bytes of a buffer from the functions above and releases
// it; null is ignored.
void imgsign_release(std::uint8_t* buffer, std::uint32_t length);
