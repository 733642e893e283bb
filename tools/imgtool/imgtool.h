// imgtool: the host tool release engineering uses to make, list and check
// the image containers the boot launcher installs and boots. It reads and
// writes only the files it is given; it reads containers through the
// launcher's own readers (image/) and checks signatures with the
// launcher's own crypto services (auth/crypto/), so what it accepts is what
// the switch accepts. Only signing (pack --sign) uses OpenSSL.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "image/container.h"

// Exit statuses of every command.
inline constexpr int kImgtoolOk = 0;
inline constexpr int kImgtoolFailed = 1;
inline constexpr int kImgtoolUsage = 2;

int imgtool_pack(int argc, char** argv);
int imgtool_inspect(int argc, char** argv);
int imgtool_verify(int argc, char** argv);
int imgtool_keyfile(int argc, char** argv);

// Prints "imgtool COMMAND: MESSAGE" on the error output.
void imgtool_error(const char* command, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// True when the argument asks for help.
bool imgtool_is_help(const char* arg);

// The name of a type (`magic` with the flag bit clear), such as
// "application"; "unknown" for a value that names no component.
const char* imgtool_type_name(std::uint32_t type);

// A type given on the command line: a name (application, bootloader,
// kernel, rootfs, devicetree, diagnostics, orvex, onie) or a type code
// 0-127 (decimal or 0x-prefixed). 1 with *code set, or 0.
int imgtool_parse_type(const char* text, std::uint32_t* code);

// A magic value given on the command line: a type as above (made into its
// magic with "MAR"), or any 32-bit value above 127 taken as it is.
int imgtool_parse_magic(const char* text, std::uint32_t* magic);

// "a.b.c.d", four decimal numbers 0-255, into an `id`. 1, or 0.
int imgtool_parse_version(const char* text, std::uint32_t* id);

// A boot loader's payload carries at this offset a 16-byte version block
// laid out like the component header, whose last 12 bytes (`len`,
// `magic`, `id`) equal those of the component's own header: the switch
// keeps only the payload in flash and reads the installed version there.
inline constexpr std::uint32_t kVersionBlockOffset = 240;

// False when `block` (the bytes a payload of `payload_len` bytes holds at
// kVersionBlockOffset, 16 or fewer) mirrors `header`; true with the fault
// in words otherwise ("the payload of 300 bytes ends before ...").
bool imgtool_version_block_fault(std::span<const std::uint8_t> block, std::uint64_t payload_len,
                                 std::span<const std::uint8_t, kImageHeaderSize> header,
                                 std::string* fault);

// ---- Walking the components of a file ----

// One component, read in pieces: never more than its header and one piece
// in memory.
struct ToolComponent {
    int index;  // 1 for the first component of the file
    std::uint64_t offset;
    ComponentLayout layout;
    ImageHeader header;
    std::vector<std::uint8_t> header_bytes;  // the whole header, as far as the file holds it
    std::uint32_t computed_crc;              // register over bytes 4 to the end read
    std::uint64_t bytes_read;                // of the component; below its size when truncated
    bool complete;                           // the file holds the whole component
    std::uint8_t payload_digest[32];         // SHA-256 of the payload, when asked for
    // The payload's bytes at kVersionBlockOffset, as far as it holds them.
    std::uint8_t version_block[kImageHeaderSize];
    std::uint32_t version_block_len;
};

struct ToolWalk {
    std::FILE* file;
    bool digest;  // compute payload_digest
    std::uint64_t offset;
    int count;
    // Where the walk ended: the bytes after the last component that are
    // too few to hold a header (0 when the file ended exactly), or the
    // fault of a component whose sizes were refused.
    std::uint64_t trailing;
    ImageHeaderFault fault;
    ImageHeader refused_header;  // first 16 bytes of the refused component
    bool read_error;
};

void imgtool_walk_begin(ToolWalk& walk, std::FILE* file, bool digest);

// 1 with *component filled; 0 at the end of the file (see walk.trailing);
// -1 when a component's sizes are malformed (walk.fault) or the file could
// not be read (walk.read_error): nothing after it can be found.
int imgtool_walk_next(ToolWalk& walk, ToolComponent* component);

// Opens a file for reading; prints why on failure.
std::FILE* imgtool_open(const char* command, const char* path);

// ---- Signing (pack --sign; OpenSSL's libcrypto) ----

// Prints "imgtool COMMAND: WHAT: " and the first error OpenSSL queued.
void imgtool_openssl_error(const char* command, const char* what);

// True when a --sign argument is a PKCS#11 URI ("pkcs11:...") rather than
// a PEM file.
bool imgtool_is_pkcs11_uri(const char* key);

// Where the PIN of a hardware security module is read from (pack
// --pin-file); without it IMGTOOL_PKCS11_PIN_FILE, IMGTOOL_PKCS11_PIN, then
// the terminal.
void imgtool_pkcs11_set_pin_file(const char* path);

// The private key a PKCS#11 URI names, in the module the pkcs11 engine
// opens (tools/imgtool/pkcs11.cpp); nullptr after a message, with *status
// kImgtoolUsage (a URI without token or object, no PIN, a PIN file that
// cannot be read) or kImgtoolFailed (no engine, a module that cannot be
// loaded, no such token, a wrong PIN, no such key). Free the key with
// EVP_PKEY_free before imgtool_pkcs11_close, which also wipes the PIN.
EVP_PKEY* imgtool_pkcs11_load_key(const char* uri, int* status);
void imgtool_pkcs11_close();
