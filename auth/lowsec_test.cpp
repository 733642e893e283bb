// Low security mode on the virtual board: the physical-presence test with
// the location LED (led.log) and the board's fixed clock, the marker, the
// boot loader's override and the key wipe.
#include "auth/lowsec.h"

#include <fcntl.h>

#include <algorithm>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "auth/keystore.h"
#include "auth/test_support.h"

namespace {

using auth_test::on_console;
using auth_test::read_file;
using auth_test::write_file;

const std::string kWarning =
    "WARNING: the following test is used to determine physical presence and if completed will "
    "put the switch in low security mode.\nDo you wish to continue y/N? ";
const std::string kHitAKey =
    "Hit a key to start the test. The blue location LED will blink a number of times.";
const std::string kHowMany = "\nHow many times did the LED blink? ";
const std::string kCorrect =
    "Correct. Physical presence established and low security mode enabled\n";
const std::string kConfirm = "Switch is in low security mode. Confirm disabling Y/n? ";

class PhysicalPresence : public auth_test::AuthBoard {
   protected:
    void SetUp() override {
        AuthBoard::SetUp();
        // Register 2 with bits of its own beside the location LED's.
        std::string registers(16, '\0');
        registers[2] = '\xA6';
        board_.set("led.bin", registers);
        board_.set("led.log", "");
    }
    // The clock stands at this second when the operator starts.
    void at_second(int second) {
        board_.set("rtc", "2026-03-14 09:26:" + std::string(second < 10 ? "0" : "") +
                              std::to_string(second) + "\n");
        board_.set("led.log", "");
        sandbox::reset_slept_us();
        lowsec_setMarker(0);
    }
    std::string run(const std::string& keys, int expected) {
        return on_console(keys, [&] { EXPECT_EQ(expected, lowsec_physicalPresenceTest()); });
    }
    // LED register 2 values written, in order.
    std::vector<int> led_writes() const {
        std::vector<int> values;
        std::istringstream log(board_.get("led.log"));
        std::string time, value;
        while (log >> time >> value) {
            values.push_back(std::stoi(value, nullptr, 16));
        }
        return values;
    }
    // When each of them was written, in counted microseconds.
    std::vector<std::uint64_t> led_times() const {
        std::vector<std::uint64_t> times;
        std::istringstream log(board_.get("led.log"));
        std::string seconds, micros, value;
        while (std::getline(log, seconds, '.') && log >> micros >> value) {
            times.push_back(std::stoull(seconds) * 1000000 + std::stoull(micros));
            log.ignore();
        }
        return times;
    }
    int blinks() const {
        std::vector<int> values = led_writes();
        return static_cast<int>(
            std::count_if(values.begin(), values.end(), [](int v) { return (v & 3) == 1; }));
    }
    bool marker() const { return read_file("/tmp/lowsec") == "plimseth\n"; }
};

TEST_F(PhysicalPresence, CountIsTheSumOfTheSecondsDigitsShownInAtLeastElevenPeriods) {
    for (auto [second, count] : {std::pair{0, 1}, {9, 9}, {10, 1}, {59, 14}}) {
        SCOPED_TRACE(second);
        at_second(second);
        std::string answer = std::to_string(count);
        std::string dots(static_cast<std::size_t>(std::max(count, 11)), '.');
        EXPECT_EQ(kWarning + "y\n" + kHitAKey + "k\n" + dots + kHowMany + answer + "\n" + kCorrect,
                  run("yk" + answer + "\r", 1));
        EXPECT_EQ(count, blinks());
        EXPECT_TRUE(marker());
        // Lit is bits 0-1 = 01, off is 00; the other bits as they were.
        for (int value : led_writes()) {
            EXPECT_EQ(0xA4, value & ~3);
        }
        EXPECT_EQ(0xA4, led_writes().back());
        // Each blink is lit for a second (and its write's 100 ms), then off.
        std::vector<int> values = led_writes();
        std::vector<std::uint64_t> times = led_times();
        ASSERT_EQ(values.size(), times.size());
        for (std::size_t i = 0; i + 1 < values.size(); ++i) {
            if ((values[i] & 3) == 1) {
                EXPECT_EQ(1100000u, times[i + 1] - times[i]) << i;
                EXPECT_EQ(0, values[i + 1] & 3);
            }
        }
        // Two seconds a period, and 100 ms for each LED write.
        EXPECT_EQ(std::max(count, 11) * 2200000u + 100000u, sandbox::slept_us());
    }
}

TEST_F(PhysicalPresence, ThirdWrongAnswerResetsTheBoard) {
    at_second(5);
    // The board's reboot fails, so the test process ends on its own
    // instead of the whole virtual switch.
    board_.set("answers/reboot", "1\n");
    const char* out = "/tmp/presence.out";
    EXPECT_EXIT(
        {
            on_console("ykabc\rk0\rk-1\r", [&] {
                int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
                dup2(fd, STDOUT_FILENO);
                lowsec_physicalPresenceTest();
            });
        },
        ::testing::ExitedWithCode(0), "");
    std::string text = read_file(out);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        EXPECT_NE(std::string::npos, text.find("Incorrect. Try again (attempt " +
                                               std::to_string(attempt) + " of 3)\n"));
    }
    EXPECT_TRUE(
        text.ends_with("(attempt 3 of 3)\nMaximum number of test failed. Board is resetting\n"))
        << text;
    EXPECT_EQ("reboot\n", commands());
    EXPECT_FALSE(marker());
    // Three tests of 11 periods and their LED writes, then the second in
    // which the message is read, then the reboot's own second.
    EXPECT_EQ(3 * (11 * 2200000u + 100000u) + 1000000u + 1000000u, sandbox::slept_us());
    unlink(out);
}

TEST_F(PhysicalPresence, DeclinedOrInterruptedLeavesTheModeOffAndTheLedOff) {
    at_second(30);
    EXPECT_EQ(kWarning + "N\n", run("N", 0));
    // Ctrl-C came while the LED was about to blink.
    interrupt_flag = 1;
    EXPECT_EQ(kWarning + "y\n" + kHitAKey + "k\n", run("yk", 0));
    EXPECT_EQ(std::vector<int>{0xA4}, led_writes());
    EXPECT_EQ(1, interrupt_flag);  // left for the rescue menu
    EXPECT_EQ("<missing>", read_file("/tmp/lowsec"));
}

TEST_F(PhysicalPresence, InLowSecurityModeTheTestOffersToSwitchItOff) {
    lowsec_setMarker(1);
    EXPECT_EQ(kConfirm + "n\n", run("n", 1));
    EXPECT_TRUE(marker());
    EXPECT_EQ(kConfirm + "N\n", run("N", 1));
    EXPECT_TRUE(marker());
    EXPECT_EQ(kConfirm + std::string(1, '\0') + "\n", run("", 0));
    EXPECT_TRUE(marker());
    EXPECT_EQ(kConfirm + "\r\n", run("\r", 1));  // Enter: yes
    EXPECT_EQ("<missing>", read_file("/tmp/lowsec"));
    EXPECT_EQ(0, lowsec_active());

    // The boot loader's override cannot be switched off from here.
    boot_settings.lowsec = 1;
    const std::string note = "NOTE: Uboot low security mode override enabled\n";
    EXPECT_EQ(note + kConfirm + "y\n", run("y", 1));
    EXPECT_EQ(note, auth_test::capture_stdout([] { EXPECT_EQ(1, lowsec_active()); }));
    EXPECT_TRUE(led_writes().empty());
}

TEST_F(PhysicalPresence, KeyWipeDeletesTheKeyFilesOnYesOnlyBeforeSayingSo) {
    const std::string question = "Confirm: wiping system keys y/N: ";
    const std::string deleted =
        "System keys have been deleted. Reset the switch to complete the operation\n";
    for (const char* keys : {"n", "\r", "", "Y", "y"}) {
        SCOPED_TRACE(keys);
        bool yes = keys[0] == 'y' || keys[0] == 'Y';
        write_file(kProductionKeyFile, "key");
        write_file(kDevelopmentKeyFile, "key");
        board_.set("commands.log", "");
        EXPECT_EQ(question + "\n" + (yes ? deleted : ""),
                  on_console(keys, [] { EXPECT_EQ(1, imgsign_wipeKeys()); }));
        EXPECT_EQ(yes ? "rm /user/*.pem\n" : "", commands());
        for (const char* file : {kProductionKeyFile, kDevelopmentKeyFile}) {
            EXPECT_EQ(yes ? "<missing>" : "key", read_file(file));
        }
    }
    // The deletion is reported once it is done: the console's writer looks
    // at the key file as the report reaches it.
    struct Watch {
        std::string text;
        int keys_at_report = -1;
    } watch;
    cookie_io_functions_t writer{};
    writer.write = [](void* cookie, const char* bytes, size_t size) -> ssize_t {
        auto* w = static_cast<Watch*>(cookie);
        w->text.append(bytes, size);
        if (w->keys_at_report < 0 && w->text.find("have been deleted") != std::string::npos) {
            w->keys_at_report = access(kProductionKeyFile, F_OK) == 0 ? 1 : 0;
        }
        return static_cast<ssize_t>(size);
    };
    write_file(kProductionKeyFile, "key");
    on_console("y", [&] {
        std::FILE* console = stdout;
        stdout = fopencookie(&watch, "w", writer);
        setvbuf(stdout, nullptr, _IONBF, 0);
        imgsign_wipeKeys();
        std::fclose(stdout);
        stdout = console;
    });
    EXPECT_EQ(0, watch.keys_at_report) << watch.text;
}

}  // namespace
