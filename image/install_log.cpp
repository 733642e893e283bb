#include "image/install_log.h"

#include <cstdio>
#include <ctime>

#include "board/i2c.h"
#include "image/durable.h"
#include "platform/platform.h"

namespace {

constexpr const char* kLogPath = "/user/install.log";
constexpr const char* kRecordDir = "/tmp/kvrt-cfg";

// One record file under the mounted configuration partition; a file that
// cannot be created is skipped. A cut leaves the old record or the new one.
void write_record(const char* name, const char* suffix, const void* data, std::size_t length) {
    char path[96];
    std::snprintf(path, sizeof path, "%s/%s-%s", kRecordDir, name, suffix);
    durable_replace(path, data, length);
}

void write_be32_record(const char* name, const char* suffix, std::uint32_t value) {
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    write_record(name, suffix, bytes, sizeof bytes);
}

// The log line, from the file name on; its length, or -1.
int format_log_line(char* out, std::size_t room, const char* file_name, const char* source,
                    const ClockStamp& now) {
    // The clock registers are BCD: printed in hexadecimal they show as the
    // decimal digits they hold. The date is day-month-year.
    return std::snprintf(out, room, "File %s installed from %s at %2.2x:%2.2x:%2.2x on %x-%x-20%2.2x\n",
                         file_name, source, now.reg[kRtcHours] & 0x3Fu,
                         now.reg[kRtcMinutes] & 0x7Fu, now.reg[kRtcSeconds] & 0x7Fu,
                         now.reg[kRtcDay] & 0x3Fu, now.reg[kRtcMonth] & 0x1Fu,
                         static_cast<unsigned>(now.reg[kRtcYear]));
}

}  // namespace

int install_log_write(const char* file_name, const char* source) {
    ClockStamp now{};
    rtc_read(&now);
    // A path on the stick is at most 4095 bytes, and the rest of the line
    // is short.
    char line[4096 + 128];
    int length = format_log_line(line, sizeof line, file_name, source, now);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof line) {
        return 1;
    }
    std::printf("Updating install log. %s", line);
    // The log is replaced with itself and the new line: a cut leaves it
    // with or without the line, never with half of it.
    durable_append(kLogPath, line, static_cast<std::size_t>(length));
    return 1;
}

int version_records_write(const char* name, std::uint32_t id, std::uint32_t crc) {
    std::puts("Updating install logs");
    plat_system("mkdir /tmp/kvrt-cfg &> /dev/null");
    if (plat_system("mount /dev/mmcblk0p4 /tmp/kvrt-cfg") != 0) {
        return 1;
    }
    write_be32_record(name, "version", id);
    write_be32_record(name, "crc", crc);
    std::time_t now = std::time(nullptr);
    std::tm local{};
    // At most 127 characters and the line end.
    char stamp[129];
    std::size_t length = 0;
    if (localtime_r(&now, &local) != nullptr) {
        length = std::strftime(stamp, sizeof stamp - 1, "%H:%M:%S %Z %a %b %e %Y", &local);
    }
    stamp[length++] = '\n';
    write_record(name, "timestamp", stamp, length);
    plat_system("umount /tmp/kvrt-cfg");
    return 1;
}
