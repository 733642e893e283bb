// Start-up of the crypto services and the few things they share: the
// memory hooks, wiping of working copies, and the Base64 decoding table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "auth/crypto/status.h"

// Initialises the crypto services once per process. The first call returns
// 1 when every step succeeded or a negative status; every later call
// returns 0 at once, whatever the first call gave.
int32_t TOOLKIT_init();

// Memory hooks: every allocation of the crypto services goes through these
// (malloc and free by default), so a test can make allocation fail or check
// what a block holds when it is released.
struct ToolkitMemoryHooks {
    void* (*alloc)(size_t size);
    void (*release)(void* block);
};

// Installs hooks; a null pointer restores malloc and free.
void toolkit_setMemoryHooks(const ToolkitMemoryHooks* hooks);
// Allocates size bytes, all zero; null when memory is exhausted.
void* toolkit_alloc(size_t size);
// Releases a block from toolkit_alloc; null is ignored.
void toolkit_free(void* block);

// Overwrites len bytes with zero through a volatile pointer, so that the
// compiler cannot drop the stores even when the memory is freed right after.
void toolkit_wipe(void* data, size_t len);

// The Base64 decoding table built by TOOLKIT_init: entry c is 1 + the
// position of character c in the alphabet, or 0 for any other character.
// Null until TOOLKIT_init has built it.
const uint8_t* toolkit_base64Table();

// For tests only: forgets the start-up, releasing the table, so that the
// next TOOLKIT_init works again as the first of a process.
void toolkit_resetForTest();
