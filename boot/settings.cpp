#include "boot/settings.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "board/mtd.h"

BootSettings boot_settings;

namespace {

// The value text of the first occurrence of `key` anywhere in the text, or
// null. A key also counts at the tail of a longer name or inside another
// variable's value: the boot loader's users rely on that looseness.
const char* find_value(const char* text, const char* key) {
    const char* at = std::strstr(text, key);
    return at == nullptr ? nullptr : at + std::strlen(key);
}

bool value_starts_with(const char* value, const char* prefix) {
    return std::strncmp(value, prefix, std::strlen(prefix)) == 0;
}

// A decimal integer as "%d" reads it: leading white space, an optional
// sign, at least one digit. A number that does not fit 32 bits is refused
// rather than wrapped, so the port keeps its default.
bool parse_int(const char* text, std::int32_t* out) {
    while (std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    if (!std::isdigit(static_cast<unsigned char>(*text))) {
        return false;
    }
    long long value = 0;
    while (std::isdigit(static_cast<unsigned char>(*text))) {
        value = value * 10 + (*text - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            return false;
        }
        ++text;
    }
    value = negative ? -value : value;
    if (value > INT_MAX) {
        return false;
    }
    *out = static_cast<std::int32_t>(value);
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// One group of "%x": leading white space, an optional 0x, hex digits. A
// group above FF cannot be a byte of a MAC address and is refused.
const char* parse_hex_byte(const char* text, unsigned* out) {
    while (std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && hex_digit(text[2]) >= 0) {
        text += 2;
    }
    if (hex_digit(*text) < 0) {
        return nullptr;
    }
    unsigned value = 0;
    for (; hex_digit(*text) >= 0; ++text) {
        value = value * 16 + static_cast<unsigned>(hex_digit(*text));
        if (value > 0xFF) {
            return nullptr;
        }
    }
    *out = value;
    return text;
}

// Six colon-separated groups, normalised to lower-case two-digit form. The
// 17 characters always fit `eth_addr`.
bool parse_mac(const char* text, char out[18]) {
    unsigned bytes[6];
    for (int i = 0; i < 6; ++i) {
        if (i > 0) {
            if (*text != ':') {
                return false;
            }
            ++text;
        }
        text = parse_hex_byte(text, &bytes[i]);
        if (text == nullptr) {
            return false;
        }
    }
    std::snprintf(out, 18, "%2.2x:%2.2x:%2.2x:%2.2x:%2.2x:%2.2x", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5]);
    return true;
}

// A flag set when the value starts with `prefix`, cleared otherwise;
// untouched when the key is absent.
template <typename Flag>
void apply_flag(const char* text, const char* key, const char* prefix, Flag* flag) {
    const char* value = find_value(text, key);
    if (value != nullptr) {
        *flag = value_starts_with(value, prefix) ? 1 : 0;
    }
}

}  // namespace

void boot_settings_parse(const char* text, BootSettings* settings) {
    apply_flag(text, "gdb=", "on", &settings->gdb);
    const char* value = find_value(text, "gdbserver=");
    if (value != nullptr) {
        settings->gdbserver = value_starts_with(value, "on") ? 1 : 0;
        if (settings->gdbserver) {
            settings->gdb = 1;
        }
    }
    value = find_value(text, "ethact=");
    if (value != nullptr) {
        settings->eth_digit = value_starts_with(value, "TSEC1") ? '1' : '0';
    }
    value = find_value(text, "gdbport=");
    if (value != nullptr) {
        parse_int(value, &settings->gdb_port);
    }
    value = find_value(text, "ethaddr=");
    if (value != nullptr) {
        parse_mac(value, settings->eth_addr);
    }
    apply_flag(text, "shell=", "on", &settings->shell);
    apply_flag(text, "memchk=", "on", &settings->memchk);
    apply_flag(text, "diagnostics=", "rescue", &settings->rescue);
    apply_flag(text, "lowsec=", "quvendolar", &settings->lowsec);
    apply_flag(text, "diagnostics=", "diags", &settings->diags);
}

void read_boot_settings() {
    // One byte more than is read: the zero that ends the text, which the
    // memset puts there and the blanking loop below leaves alone.
    char* text = new (std::nothrow) char[kBootEnvSize + 1];
    if (text == nullptr) {
        return;
    }
    std::memset(text, 0, kBootEnvSize + 1);
    if (partition_read(text, mtd_partitions.uboot_env, kBootEnvOffset, kBootEnvSize) == 0) {
        // The variables are NUL-separated; as blanks they form one text
        // that a plain substring search covers whole.
        for (std::size_t i = 0; i < kBootEnvSize; ++i) {
            if (text[i] == '\0') {
                text[i] = ' ';
            }
        }
        boot_settings_parse(text, &boot_settings);
    }
    delete[] text;
}
