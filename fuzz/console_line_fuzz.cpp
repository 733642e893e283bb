// A line typed on the serial console (or noise on the line): the TFTP file
// name and MAC address checks that guard the shell command lines, the IPv4
// address parsing and usability test of the address questions, and the USB
// chooser's number. The accepted names and addresses are checked again
// here, character by character, for anything a shell would act on.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "console/network.h"
#include "console/rescue.h"
#include "console/validate.h"

namespace {

// Only these may reach a command line after either check.
bool harmless(const char* text, const char* extra) {
    for (const char* c = text; *c != '\0'; ++c) {
        unsigned char u = static_cast<unsigned char>(*c);
        bool alnum = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
        if (!alnum && std::strchr(extra, *c) == nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A console line ends at its first NUL, as the line reader's buffer does.
    std::string line(reinterpret_cast<const char*>(data), size);
    const char* text = line.c_str();

    if (tftp_filename_valid(text) && (text[0] == '-' || !harmless(text, "._-/+"))) {
        __builtin_trap();
    }
    if (mac_address_valid(text) && (!harmless(text, ":") || std::strlen(text) > 17)) {
        __builtin_trap();
    }
    in_addr parsed{};
    if (inet_aton(text, &parsed) != 0) {
        ip_address_usable(parsed.s_addr);
    }
    long long number = 0;
    parse_file_number(text, &number);
    return 0;
}
