// Start-up pieces that end in the date command and the reboot.
#include "boot/startup.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/sandbox/test_support.h"

namespace {

std::string date_command(std::initializer_list<std::uint8_t> registers) {
    ClockStamp clock{};
    std::copy(registers.begin(), registers.end(), clock.reg);
    char command[64];
    rtc_date_command(clock, command, sizeof command);
    return command;
}

// seconds, minutes, hours, weekday, day, month, year
TEST(DateCommand, BcdDigitsWithTheCenturyAndTwelveHourBitsMasked) {
    EXPECT_EQ(date_command({0x59, 0x07, 0x23, 0x02, 0x31, 0x12, 0x24}), "date 123123072024.59\n");
    EXPECT_EQ(date_command({0x80, 0x80, 0x45, 0x00, 0x01, 0x92, 0x99}), "date 120105002099.00\n");
    // An unreadable clock gives the year 2000.
    EXPECT_EQ(date_command({0, 0, 0, 0, 0, 0, 0}), "date 000000002000.00\n");
}

TEST(Reboot, RunsRebootAfterASecondAndEnds) {
    // The board's reboot answers with a failure status, so the test
    // process ends on its own instead of the whole virtual switch.
    sandbox_test::BoardFiles board;
    board.set("answers/reboot", "1\n");
    board.set("commands.log", "");
    sandbox::reset_slept_us();
    EXPECT_EXIT(reboot_board(), ::testing::ExitedWithCode(0), "^$");
    EXPECT_EQ(board.get("commands.log"), "reboot\n");
    EXPECT_EQ(sandbox::slept_us(), 1000000u);
}

}  // namespace
