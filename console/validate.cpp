#include "console/validate.h"

static bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

static bool is_filename_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '/' || c == '+';
}

int tftp_filename_valid(const char* name) {
    if (name == nullptr || name[0] == '\0' || name[0] == '-') {
        return 0;
    }
    for (const char* p = name; *p != '\0'; ++p) {
        if (!is_filename_char(*p)) {
            return 0;
        }
    }
    return 1;
}

int mac_address_valid(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    const char* p = text;
    for (int group = 0; group < 6; ++group) {
        if (group > 0) {
            if (*p != ':') {
                return 0;
            }
            ++p;
        }
        int digits = 0;
        while (digits < 2 && is_hex_digit(*p)) {
            ++digits;
            ++p;
        }
        if (digits == 0) {
            return 0;
        }
    }
    return *p == '\0' ? 1 : 0;
}
