#include "board/board.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

// One EEPROM byte, 0 when it cannot be read.
static std::uint8_t board_read_byte(std::uint16_t offset) {
    std::uint8_t value = 0;
    eeprom_read(offset, 1, &value);
    return value;
}

int board_is_orvex() {
    return board_read_byte(kEepromOsKind) == 'C' ? 1 : 0;
}

int board_set_os_kind(int orvex) {
    return eeprom_write_byte(kEepromOsKind, orvex != 0 ? 'C' : 'E');
}

std::uint8_t board_get_boot_slot() {
    return board_read_byte(board_is_orvex() ? kEepromOrvexSlot : kEepromBootSlot);
}

int board_set_boot_slot(std::uint8_t slot) {
    return eeprom_write_byte(board_is_orvex() ? kEepromOrvexSlot : kEepromBootSlot, slot);
}

int board_set_booted_image(std::uint8_t image) {
    return eeprom_write_byte(kEepromBootedImage, image);
}

int board_read_serial(std::uint8_t serial[kBoardSerialLen]) {
    if (serial == nullptr) {
        return 0;
    }
    // Read into scratch and take it only when all 12 bytes came: the serial
    // number is key material, and half of one is worse than the caller's
    // default.
    std::uint8_t scratch[kBoardSerialLen];
    i2c_mux_select(kI2cMuxAddr, 0, kI2cEepromChannel);
    int ok = i2c_read_reg(0, kI2cEepromAddr, kEepromSerial, sizeof scratch, 2, scratch);
    i2c_mux_release(kI2cMuxAddr, 0);
    if (ok) {
        std::memcpy(serial, scratch, sizeof scratch);
    }
    return ok;
}

std::uint8_t board_read_usb_byte() {
    return board_read_byte(kEepromUsbByte);
}

int image_timestamp_write(int slot, const ClockStamp* stamp) {
    if ((slot != 1 && slot != 2) || stamp == nullptr) {
        return 0;
    }
    std::uint16_t base = slot == 1 ? kEepromStampSlot1 : kEepromStampSlot2;
    for (int i = 0; i < static_cast<int>(sizeof stamp->reg); ++i) {
        if (eeprom_write_byte(static_cast<std::uint16_t>(base + i), stamp->reg[i]) < 0) {
            std::printf("Error setting image timestamp at offset 0x%x byte %d\n", base, i);
            return 0;
        }
    }
    return 1;
}

int image_stamp_install_time(int slot) {
    ClockStamp now{};
    rtc_read(&now);
    plat_sleep(1);
    return image_timestamp_write(slot, &now);
}
