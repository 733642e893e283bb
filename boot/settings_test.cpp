// Boot settings: the loose key search and the value tests the boot loader's
// users rely on, and reading the real environment partition.
#include "boot/settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "board/mtd.h"
#include "platform/platform.h"
#include "platform/sandbox/board_files.h"

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
        {"bootcmd=run boot baudrate=9600", ""},
        // "on" is a case-sensitive prefix.
        {"gdb=on", "gdb=1"},
        {"gdb=online", "gdb=1"},
        {"gdb=ON", ""},
        {"gdb=1", ""},
        {"memchk=on", "memchk=1"},
        {"lowsec=quvendolar", "lowsec=1"},
        {"lowsec=quvendola", ""},
        // The server forces the debugger, not the reverse.
        {"gdbserver=on", "gdb=1 gdbserver=1"},
        {"gdb=on gdbserver=off", "gdb=1"},
        // Keys are found inside other names and values; the first counts.
        {"xshell=on", "shell=1"},
        {"bootargs=console=ttyS0 shell=on", "shell=1"},
        {"shell=off shell=on", ""},
        {"diagnostics=rescue", "rescue=1"},
        {"diagnostics=diags", "diags=1"},
        {"diagnostics=none", ""},
        // The port is a decimal number or keeps its default.
        {"gdbport=2345", "port=2345"},
        {"gdbport=  -7x", "port=-7"},
        {"gdbport=abc", ""},
        {"gdbport=99999999999", ""},  // does not fit: refused
        {"ethact=TSEC1", "eth=1"},
        {"ethact=TSEC2", ""},
        // The MAC address is normalised or refused whole.
        {"ethaddr=00:11:22:33:44:55", "00:11:22:33:44:55"},
        {"ethaddr=00:1A:2B:3C:4D:5E", "00:1a:2b:3c:4d:5e"},
        {"ethaddr=0:1:2:3:4:5", "00:01:02:03:04:05"},
        {"ethaddr=00:11", ""},
        {"ethaddr=00:11:22:33:44:155", ""},
        {"ethaddr=fffffffff:1:2:3:4:5", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(changed(row.text), row.changed) << row.text;
    }
}

// --- reading the environment partition of the board

class BootSettingsPartition : public ::testing::Test {
   protected:
    void SetUp() override {
        saved_ = *sandbox::read_board_file("mtd/ubootenv.bin");
        boot_settings = BootSettings{};
        mtd_partitions.uboot_env = plat_open("/dev/mtd-ubootenv", O_RDWR | O_SYNC);
    }
    void TearDown() override {
        plat_close(mtd_partitions.uboot_env);
        mtd_partitions.uboot_env = -1;
        sandbox::write_board_file("mtd/ubootenv.bin", saved_);
        boot_settings = BootSettings{};
    }
    // An environment block: 4 CRC bytes (never checked), then the text.
    void put_environment(const std::string& variables) {
        std::string partition(saved_.size(), '\xff');
        std::string block = std::string("\xde\xad\xbe\xef", 4) + variables;
        partition.replace(0, block.size(), block);
        sandbox::write_board_file("mtd/ubootenv.bin", partition);
    }
    std::string saved_;
};

// NUL-separated variables in a real environment block: every console test
// that sets a variable (tests/console/test_boot.py) boots from one.
TEST_F(BootSettingsPartition, OnlyTheFirst128KiBAfterTheCrcAreSearched) {
    // "shell=on" ends exactly at the end of the window: seen.
    put_environment(std::string(kBootEnvSize - 9, 'x') + std::string("\0shell=on", 9));
    read_boot_settings();
    EXPECT_EQ(boot_settings.shell, 1);

    boot_settings = BootSettings{};
    // One byte later the value's last letter lies past the window: the key
    // is found with the value "o", which is not "on".
    put_environment(std::string(kBootEnvSize - 8, 'x') + std::string("\0shell=on", 9));
    read_boot_settings();
    EXPECT_EQ(boot_settings.shell, 0);

    // Wholly past the window: not seen, the default stays.
    put_environment(std::string(kBootEnvSize, 'x') + std::string("gdbport=5", 9));
    read_boot_settings();
    EXPECT_EQ(boot_settings.gdb_port, 1234);
}

// A garbage partition boots with the defaults in test_boot.py.
TEST_F(BootSettingsPartition, UnreadablePartitionKeepsTheDefaults) {
    plat_close(mtd_partitions.uboot_env);
    mtd_partitions.uboot_env = -1;
    testing::internal::CaptureStdout();
    read_boot_settings();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(boot_settings.shell, 0);
    EXPECT_STREQ(boot_settings.eth_addr, "00:E0:0C:02:00:FD");
}

}  // namespace
