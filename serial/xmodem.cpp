#include "serial/xmodem.h"

#include <array>
#include <cstdio>

#include "platform/platform.h"
#include "serial/serial.h"

// The XMODEM receiver of the console port: 128-byte (SOH) and 1024-byte
// (STX) blocks with a CRC-16, as terminal programs send them.
//
// Block on the wire:
//   SOH|STX  number  255-number  data[128|1024]  crc-high  crc-low
// The receiver asks for CRC mode with 'C', answers ACK or NAK per block and
// ends on EOT, which it confirms with one NAK first (a sender repeats EOT).

namespace {

constexpr unsigned char kSoh = 0x01;
constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEot = 0x04;
constexpr unsigned char kAck = 0x06;
constexpr unsigned char kNak = 0x15;
constexpr unsigned char kCan = 0x18;
constexpr unsigned char kCrcMode = 'C';

constexpr int kBlockSize = 128;
constexpr int kBlock1kSize = 1024;
// Header waits: short while the sender may not have started yet (each time
// out asks again with 'C'), longer once blocks flow.
constexpr int kStartTimeoutS = 1;
constexpr int kHeaderTimeoutS = 5;
constexpr int kFieldTimeoutS = 3;  // block number, complement, CRC bytes
constexpr int kEotConfirmS = 5;
constexpr int kCanConfirmS = 3;
constexpr int kMaxRetries = 2;  // NAKs for the same block before giving up
// Before the first block the receiver keeps asking for about a minute:
// long enough for the operator to start the terminal program's send
// command, short enough that a console nobody sends on comes back.
constexpr int kMaxStartCycles = 60;
constexpr int kCancelCount = 5;

// The last block received; process-wide, so no large buffer on the stack.
unsigned char block_buffer[kBlock1kSize];

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, MSB first.
constexpr std::array<std::uint16_t, 256> make_crc_table() {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1;
        }
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}
constexpr std::array<std::uint16_t, 256> kCrcTable = make_crc_table();

std::uint16_t crc_update(std::uint16_t crc, const unsigned char* data, int count) {
    for (int i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
    }
    return crc;
}

// Drops bytes until the line has been quiet for `seconds`, so that the
// rest of a damaged block is not taken for the next header.
void wait_quiet(int seconds, int port) {
    unsigned char byte = 0;
    while (serial_get_byte(seconds, &byte, port) == 1) {
    }
}

struct Receiver {
    int port;
    std::FILE* out;
    unsigned char header;
    unsigned char last_block;
    bool started;
    int retries;
    bool aborted;
    int header_timeout;
    long total;
    int start_cycles;
};

// Waits for a block header, EOT, or (before the first block) ACK or CAN.
// False on a time-out.
bool wait_header(Receiver& rx) {
    for (;;) {
        unsigned char byte = 0;
        if (serial_get_byte(rx.header_timeout, &byte, rx.port) != 1) {
            return false;
        }
        if (byte == kSoh || byte == kStx || byte == kEot ||
            (!rx.started && (byte == kAck || byte == kCan))) {
            rx.header = byte;
            return true;
        }
    }
}

// The sender signalled the end: NAK it once and take the next byte (a
// repeated EOT, or nothing) as confirmation. False when something else
// came.
bool confirm_end(Receiver& rx) {
    std::fputs("EOT\n", stderr);
    serial_drain(rx.port);
    serial_put_byte(kNak, rx.port);
    unsigned char byte = kEot;
    serial_get_byte(kEotConfirmS, &byte, rx.port);
    rx.header = byte;
    if (byte == kEot || byte == kSoh || byte == kStx ||
        (!rx.started && (byte == kAck || byte == kCan))) {
        return true;
    }
    rx.header = 0;
    return false;
}

// One block after its header byte. False when the cycle failed; an
// out-of-sequence block also aborts the transfer.
bool receive_block(Receiver& rx) {
    int size = rx.header == kStx ? kBlock1kSize : kBlockSize;
    if (!rx.started) {
        rx.retries = 0;
        rx.header_timeout = kHeaderTimeoutS;
    }
    unsigned char number = 0;
    unsigned char complement = 0;
    serial_get_byte(kFieldTimeoutS, &number, rx.port);
    serial_get_byte(kFieldTimeoutS, &complement, rx.port);
    if (number + complement != 255) {
        return false;
    }
    if (number == static_cast<unsigned char>(rx.last_block + 1)) {
        std::uint16_t crc = 0;
        int count = xmodem_read_block(block_buffer, size, &crc, rx.port);
        if (count == 0) {
            return false;
        }
        // Both CRC bytes must arrive: one that never came would otherwise
        // match a CRC whose byte happens to equal the starting value.
        unsigned char high = 0;
        unsigned char low = 0;
        if (serial_get_byte(kFieldTimeoutS, &high, rx.port) != 1 ||
            serial_get_byte(kFieldTimeoutS, &low, rx.port) != 1 || ((high << 8) | low) != crc) {
            return false;
        }
        rx.retries = 0;
        rx.total += count;
        rx.started = true;
        rx.last_block = number;
        // The padding of the last block stays in the file: XMODEM carries
        // no length, so the receiver cannot tell it from data.
        std::fwrite(block_buffer, 1, static_cast<std::size_t>(count), rx.out);
        serial_drain(rx.port);
        serial_put_byte(kAck, rx.port);
        return true;
    }
    if (number == 0 && !rx.started) {
        return false;
    }
    if (number == rx.last_block) {
        // The sender missed our ACK and sent the block again: acknowledge
        // it once the repeat is over, without writing it twice.
        serial_drain(rx.port);
        wait_quiet(1, rx.port);
        serial_put_byte(kAck, rx.port);
        return true;
    }
    rx.aborted = true;
    return false;
}

// One cycle: a header and what follows it. False when the cycle failed.
bool receive_cycle(Receiver& rx) {
    if (!wait_header(rx)) {
        return false;
    }
    switch (rx.header) {
        case kEot:
            return confirm_end(rx);
        case kCan: {
            std::fputs("CAN\n", stderr);
            unsigned char byte = 0;
            if (serial_get_byte(kCanConfirmS, &byte, rx.port) != 1 || (byte & 0x7F) != kCan) {
                return false;
            }
            // A confirmed cancel before the first block: the sender gave
            // up, so does the receiver.
            rx.aborted = true;
            return true;
        }
        case kAck:
            return false;
        default:
            return receive_block(rx);
    }
}

void after_failed_cycle(Receiver& rx) {
    if (!rx.started) {
        rx.start_cycles += 1;
        if (rx.start_cycles >= kMaxStartCycles) {
            rx.aborted = true;
        } else if (rx.header != kEot) {
            serial_put_byte(kCrcMode, rx.port);
        }
        return;
    }
    rx.retries += 1;
    if (rx.retries > kMaxRetries) {
        rx.aborted = true;
        return;
    }
    serial_drain(rx.port);
    wait_quiet(2, rx.port);
    serial_put_byte(kNak, rx.port);
}

}  // namespace

int xmodem_read_block(unsigned char* dest, int count, std::uint16_t* crc, int port) {
    std::uint16_t sum = 0;
    int got = 0;
    while (got < count) {
        int pass = 0;
        while (got + pass < count && serial_get_byte(1, dest + got + pass, port) == 1) {
            pass += 1;
        }
        if (pass == 0) {
            break;
        }
        sum = crc_update(sum, dest + got, pass);
        got += pass;
    }
    *crc = sum;
    return got;
}

long xmodem_receive(const char* path) {
    if (path == nullptr) {
        return -1;
    }
    int port = serial_fast_mode();
    if (port < 0) {
        // No port, no transfer: nothing is created and nothing waits.
        return -1;
    }
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        std::perror("Can't open file!");
        // The operator is at 115200 bps by now: bring the console back to
        // its own speed before giving up.
        serial_restore_mode(port);
        plat_close(port);
        return -1;
    }
    serial_drain(port);
    serial_put_byte(kCrcMode, port);

    Receiver rx{port, out, 0, 0, false, 0, false, kStartTimeoutS, 0, 0};
    do {
        if (!receive_cycle(rx) && !rx.aborted) {
            after_failed_cycle(rx);
        }
    } while (rx.header != kEot && !rx.aborted);

    long result = 0;
    if (!rx.aborted) {
        serial_put_byte(kAck, port);
        std::fputs("All done\n", stderr);
        result = rx.total;
    } else {
        for (int i = 0; i < kCancelCount; ++i) {
            serial_put_byte(kCan, port);
        }
        serial_drain(port);
        wait_quiet(2, port);
    }
    serial_restore_mode(port);
    plat_close(port);
    std::fclose(out);
    return result;
}
