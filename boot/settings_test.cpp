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

BootSettings parse(const std::string& text) {
    BootSettings settings;
    boot_settings_parse(text.c_str(), &settings);
    return settings;
}

TEST(BootSettingsParse, DefaultsWhenNothingIsSet) {
    BootSettings s = parse("bootcmd=run boot baudrate=9600");
    EXPECT_EQ(s.gdb, 0);
    EXPECT_EQ(s.gdbserver, 0);
    EXPECT_EQ(s.rescue, 0);
    EXPECT_EQ(s.diags, 0);
    EXPECT_EQ(s.shell, 0);
    EXPECT_EQ(s.memchk, 0);
    EXPECT_EQ(s.lowsec, 0);
    EXPECT_EQ(s.gdb_port, 1234);
    EXPECT_EQ(s.eth_digit, '0');
    EXPECT_STREQ(s.eth_addr, "00:E0:0C:02:00:FD");
}

TEST(BootSettingsParse, OnIsACaseSensitivePrefix) {
    EXPECT_EQ(parse("gdb=on").gdb, 1);
    EXPECT_EQ(parse("gdb=online").gdb, 1);
    EXPECT_EQ(parse("gdb=ON").gdb, 0);
    EXPECT_EQ(parse("gdb=1").gdb, 0);
    EXPECT_EQ(parse("memchk=on").memchk, 1);
    EXPECT_EQ(parse("lowsec=quvendolar").lowsec, 1);
    EXPECT_EQ(parse("lowsec=quvendola").lowsec, 0);
}

TEST(BootSettingsParse, GdbserverForcesGdbButNotTheReverse) {
    BootSettings server = parse("gdbserver=on");
    EXPECT_EQ(server.gdb, 1);
    EXPECT_EQ(server.gdbserver, 1);
    BootSettings local = parse("gdb=on gdbserver=off");
    EXPECT_EQ(local.gdb, 1);
    EXPECT_EQ(local.gdbserver, 0);
}

TEST(BootSettingsParse, KeysAreFoundInsideOtherNamesAndValuesFirstOccurrenceOnly) {
    EXPECT_EQ(parse("xshell=on").shell, 1);
    EXPECT_EQ(parse("bootargs=console=ttyS0 shell=on").shell, 1);
    EXPECT_EQ(parse("shell=off shell=on").shell, 0);
}

TEST(BootSettingsParse, DiagnosticsSetsAtMostOneOfRescueAndDiags) {
    BootSettings rescue = parse("diagnostics=rescue");
    EXPECT_EQ(rescue.rescue, 1);
    EXPECT_EQ(rescue.diags, 0);
    BootSettings diags = parse("diagnostics=diags");
    EXPECT_EQ(diags.rescue, 0);
    EXPECT_EQ(diags.diags, 1);
    BootSettings none = parse("diagnostics=none");
    EXPECT_EQ(none.rescue, 0);
    EXPECT_EQ(none.diags, 0);
}

TEST(BootSettingsParse, GdbPortIsADecimalNumberOrKeepsItsDefault) {
    EXPECT_EQ(parse("gdbport=2345").gdb_port, 2345);
    EXPECT_EQ(parse("gdbport=  -7x").gdb_port, -7);
    EXPECT_EQ(parse("gdbport=abc").gdb_port, 1234);
    EXPECT_EQ(parse("gdbport=99999999999").gdb_port, 1234);  // does not fit: refused
}

TEST(BootSettingsParse, EthaddrIsNormalisedOrRefusedWhole) {
    EXPECT_STREQ(parse("ethaddr=00:11:22:33:44:55").eth_addr, "00:11:22:33:44:55");
    EXPECT_STREQ(parse("ethaddr=00:1A:2B:3C:4D:5E").eth_addr, "00:1a:2b:3c:4d:5e");
    EXPECT_STREQ(parse("ethaddr=0:1:2:3:4:5").eth_addr, "00:01:02:03:04:05");
    EXPECT_STREQ(parse("ethaddr=00:11").eth_addr, "00:E0:0C:02:00:FD");
    EXPECT_STREQ(parse("ethaddr=00:11:22:33:44:155").eth_addr, "00:E0:0C:02:00:FD");
    EXPECT_STREQ(parse("ethaddr=fffffffff:1:2:3:4:5").eth_addr, "00:E0:0C:02:00:FD");
}

TEST(BootSettingsParse, EthactSelectsTheControllerDigit) {
    EXPECT_EQ(parse("ethact=TSEC1").eth_digit, '1');
    EXPECT_EQ(parse("ethact=TSEC2").eth_digit, '0');
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

TEST_F(BootSettingsPartition, GarbageOrAnUnreadablePartitionKeepsTheDefaults) {
    std::string garbage(saved_.size(), '\0');
    for (size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = static_cast<char>((i * 2654435761u) >> 24);
    }
    sandbox::write_board_file("mtd/ubootenv.bin", garbage);
    read_boot_settings();
    EXPECT_EQ(boot_settings.gdb_port, 1234);

    plat_close(mtd_partitions.uboot_env);
    mtd_partitions.uboot_env = -1;
    testing::internal::CaptureStdout();
    read_boot_settings();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(boot_settings.shell, 0);
    EXPECT_STREQ(boot_settings.eth_addr, "00:E0:0C:02:00:FD");
}

}  // namespace
