#include "auth/crypto/testdata/fixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "auth/crypto/toolkit.h"

std::span<const uint8_t> crypto_fixture(const char* name) {
    std::span<const uint8_t> bytes = crypto_fixture_file(name);
    if (bytes.empty()) {
        ADD_FAILURE() << "no test fixture " << name;
    }
    return bytes;
}

std::string crypto_fixture_text(const char* name) {
    std::span<const uint8_t> bytes = crypto_fixture(name);
    return std::string(bytes.begin(), bytes.end());
}

void crypto_test_ready() {
    toolkit_setMemoryHooks(nullptr);
    if (toolkit_base64Table() == nullptr) {
        toolkit_resetForTest();
        ASSERT_EQ(TOOLKIT_init(), 1);
    }
}

void crypto_use_allocator_without_empty_blocks() {
    static const ToolkitMemoryHooks kNoEmptyBlocks{
        [](size_t size) { return size == 0 ? nullptr : std::malloc(size); }, std::free};
    toolkit_setMemoryHooks(&kNoEmptyBlocks);
}

std::vector<uint8_t> crypto_hex(const char* hex) {
    std::vector<uint8_t> bytes;
    size_t len = std::strlen(hex);
    EXPECT_EQ(len % 2, 0u) << hex;
    for (size_t i = 0; i + 1 < len; i += 2) {
        char pair[3] = {hex[i], hex[i + 1], '\0'};
        bytes.push_back(static_cast<uint8_t>(std::strtoul(pair, nullptr, 16)));
    }
    return bytes;
}
