// The I2C buses of the virtual switch, as the Linux i2c-dev driver presents
// them: a descriptor per bus, I2C_SLAVE to choose the 7-bit address, then
// each write() is one write message and each read() one read message.
//
// Bus 0 carries the board's devices:
//   0x70 multiplexer   one control byte, the mask of enabled channels
//   0x56 EEPROM        behind multiplexer channel 2; 16-bit address pointer,
//                      high byte first; sequential reads; bytes in eeprom.bin
//   0x68 clock         seven BCD registers from 0 (time from the board file rtc)
//   0x47 LED           8-bit register pointer; registers in led.bin; writes
//                      of register 2 logged to led.log
// An address nobody answers is refused with ENXIO, as the adapter reports a
// missing acknowledge (board file i2c-absent names devices taken away);
// devices named in i2c-read-fails acknowledge but fail their reads with
// EIO. Bus 1 has no devices. Every message is logged to i2c.log.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace sandbox {

// The state i2c-dev keeps per open descriptor.
struct I2cHandle {
    int bus = 0;
    int address = -1;  // 7-bit address chosen with I2C_SLAVE, -1 before
};

// True when the board has that bus (board file i2c-buses, default "0 1").
bool i2c_bus_present(int bus);

int i2c_emul_ioctl(I2cHandle& handle, unsigned long request, unsigned long arg);
ssize_t i2c_emul_write(I2cHandle& handle, const void* buf, size_t count);
ssize_t i2c_emul_read(I2cHandle& handle, void* buf, size_t count);

}  // namespace sandbox
