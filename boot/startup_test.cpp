// The date command start-up gives the clock. The reboot, after the rescue
// menu or both slots failing, is a console test (test_rescue.py,
// test_power_cut.py); the clock as read, in test_main_job.py.
#include "boot/startup.h"

#include <string>

#include <gtest/gtest.h>

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

}  // namespace
