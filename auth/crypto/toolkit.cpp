#include "auth/crypto/toolkit.h"

#include <cstdlib>
#include <cstring>

namespace {

// Process-wide start-up state, written only by TOOLKIT_init.
struct ToolkitState {
    uint32_t initCount;
    uint8_t* base64Table;
};

ToolkitState g_toolkit = {0, nullptr};

ToolkitMemoryHooks g_memory = {std::malloc, std::free};

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

CryptoStatus build_base64_table() {
    auto* table = static_cast<uint8_t*>(toolkit_alloc(256));
    if (table == nullptr) {
        return CRYPTO_ERR_NO_MEMORY;
    }
    for (size_t i = 0; i < 64; ++i) {
        table[static_cast<uint8_t>(kBase64Alphabet[i])] = static_cast<uint8_t>(i + 1);
    }
    g_toolkit.base64Table = table;
    return CRYPTO_OK;
}

}  // namespace

// Only the first call of the process does any work; a failed first call is
// not retried. The launcher needs one thing from the start-up: the Base64
// decoding table, without which no PEM key converts and so no signature
// verifies.
// The platform hooks need no starting: the only ones the services use are
// the memory hooks, malloc and free from the first call on. There is no
// trace channel to reset: the services write no trace lines, the console
// messages are their callers'. No random generator is built or seeded from
// /dev/urandom: nothing in the launcher draws random numbers (it verifies
// signatures and decrypts key files with fixed vectors), and start-up
// ignores this status anyway.
int32_t TOOLKIT_init() {
    g_toolkit.initCount += 1;
    if (g_toolkit.initCount != 1) {
        return 0;
    }
    CryptoStatus status = build_base64_table();
    if (status != CRYPTO_OK) {
        return status;
    }
    return 1;
}

void toolkit_setMemoryHooks(const ToolkitMemoryHooks* hooks) {
    if (hooks == nullptr) {
        g_memory = {std::malloc, std::free};
        return;
    }
    g_memory = *hooks;
}

void* toolkit_alloc(size_t size) {
    void* block = g_memory.alloc(size);
    if (block != nullptr) {
        std::memset(block, 0, size);
    }
    return block;
}

void toolkit_free(void* block) {
    if (block != nullptr) {
        g_memory.release(block);
    }
}

void toolkit_wipe(void* data, size_t len) {
    volatile uint8_t* bytes = static_cast<volatile uint8_t*>(data);
    for (size_t i = 0; i < len; ++i) {
        bytes[i] = 0;
    }
}

const uint8_t* toolkit_base64Table() {
    return g_toolkit.base64Table;
}

void toolkit_resetForTest() {
    toolkit_free(g_toolkit.base64Table);
    g_toolkit = {0, nullptr};
}
