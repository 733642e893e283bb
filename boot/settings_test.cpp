// Boot settings: the loose key search and the value tests the boot loader's
// users rely on. Reading the environment partition, each mode's plain "on",
// the port, the rescue menu, the low security value and a garbage partition
// are console tests (test_boot.py, test_fsmaint.py, test_stories.py);
// fuzz/boot_settings_fuzz.cpp feeds the search malformed text.
#include "boot/settings.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// The fields that differ from the defaults, as "name=value" words.
std::string changed(const std::string& text) {
    BootSettings s;
    boot_settings_parse(text.c_str(), &s);
    const BootSettings d;
    std::string out;
    auto note = [&](const char* name, long value, long default_value) {
        if (value != default_value) {
            out += std::string(out.empty() ? "" : " ") + name + "=" + std::to_string(value);
        }
    };
    note("gdb", s.gdb, d.gdb);
    note("gdbserver", s.gdbserver, d.gdbserver);
    note("rescue", s.rescue, d.rescue);
    note("diags", s.diags, d.diags);
    note("shell", s.shell, d.shell);
    note("memchk", s.memchk, d.memchk);
    note("lowsec", s.lowsec, d.lowsec);
    note("port", s.gdb_port, d.gdb_port);
    note("eth", s.eth_digit - '0', d.eth_digit - '0');
    if (std::string(s.eth_addr) != d.eth_addr) {
        out += std::string(out.empty() ? "" : " ") + s.eth_addr;
    }
    return out;
}

TEST(BootSettingsParse, EveryVariableAndItsEdges) {
    const struct {
        const char* text;
        const char* changed;
    } rows[] = {
        // "on" is a case-sensitive prefix.
        {"gdb=online", "gdb=1"},
        {"gdb=ON", ""},
        {"gdb=1", ""},
        {"lowsec=quvendola", ""},
        // The debugger without its server; the server brings the debugger.
        {"gdb=on gdbserver=off", "gdb=1"},
        {"gdbserver=on", "gdb=1 gdbserver=1"},
        // Keys are found inside other names and values; the first counts.
        {"xshell=on", "shell=1"},
        {"bootargs=console=ttyS0 shell=on", "shell=1"},
        {"shell=off shell=on", ""},
        {"diagnostics=diags", "diags=1"},
        {"diagnostics=none", ""},
        // The port is a decimal number or keeps its default.
        {"gdbport=  -7x", "port=-7"},
        {"gdbport=abc", ""},
        {"gdbport=99999999999", ""},  // does not fit: refused
        // The 32-bit edges: the lowest number fits, one past either end not.
        {"gdbport=-2147483648", "port=-2147483648"},
        {"gdbport=-2147483649", ""},
        {"gdbport=2147483647", "port=2147483647"},
        {"gdbport=2147483648", ""},
        {"ethact=TSEC1", "eth=1"},
        {"ethact=TSEC2", ""},
        // The MAC address is normalised or refused whole.
        {"ethaddr=00:1A:2B:3C:4D:5E", "00:1a:2b:3c:4d:5e"},
        {"ethaddr=0:1:2:3:4:5", "00:01:02:03:04:05"},
        // Each group as "%x" takes it: blanks first, a 0x, either case.
        {"ethaddr=0xaf: 0XFF:e:Fe:  0:dC", "af:ff:0e:fe:00:dc"},
        {"ethaddr=0x0a:0x0:0X01:0:1:2", "0a:00:01:00:01:02"},  // a 0 right after the 0x
        {"ethaddr=00:11", ""},
        {"ethaddr=00:11:22:33:44:155", ""},
        {"ethaddr=fffffffff:1:2:3:4:5", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(changed(row.text), row.changed) << row.text;
    }
    // Without a usable gdbport the debugger server listens on port 1234.
    EXPECT_EQ(BootSettings{}.gdb_port, 1234);
}

}  // namespace
