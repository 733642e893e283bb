// The boot loader's environment text, which anyone with a console on the
// boot loader can set: the search for the launcher's variables.
#include <cstddef>
#include <cstdint>
#include <string>

#include "boot/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    BootSettings settings{};
    boot_settings_parse(text.c_str(), &settings);
    return 0;
}
