// The XMODEM receiver against lrzsz sx and against a scripted sender for
// a damaged block and a cancel (fuzz/xmodem_fuzz.cpp feeds it malformed
// lines). The sender runs in a child process on the far end of a
// pseudo-terminal; its log holds every byte the receiver answered.
#include "serial/xmodem.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "serial/test_support.h"

namespace {

using sandbox_test::capture;
using sandbox_test::read_file;
using sandbox_test::write_file;
using serial_test::SerialLine;
using serial_test::Terminal;

const char kSoh = 0x01, kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCan = 0x18;
const char* const kOut = "/tmp/xmodem-received";

// CRC-16/XMODEM bit by bit, as the test's own oracle.
std::uint16_t crc16(const std::string& data) {
    std::uint16_t crc = 0;
    for (unsigned char byte : data) {
        crc ^= static_cast<std::uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

// Block data made of letters only, so that leftovers of a refused block
// are never taken for a header.
std::string data(std::size_t size, unsigned salt) {
    std::string bytes(size, 'a');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + (i * 7 + salt) % 26);
    }
    return bytes;
}

std::string block(unsigned number, const std::string& payload, unsigned complement_error = 0,
                  unsigned crc_error = 0) {
    std::string bytes;
    bytes += payload.size() == 1024 ? kStx : kSoh;
    bytes += static_cast<char>(number);
    bytes += static_cast<char>(255 - number + complement_error);
    bytes += payload;
    std::uint16_t crc = crc16(payload) ^ crc_error;
    bytes += static_cast<char>(crc >> 8);
    bytes += static_cast<char>(crc & 0xFF);
    return bytes;
}

// One transfer: the result, the messages on the error output, what the
// receiver answered on the line and the sender's status.
struct Transfer {
    long result;
    std::string err;
    std::string answers;
    int sender;
};

Transfer receive(SerialLine& line, std::function<int(Terminal&)> script) {
    unlink(kOut);
    Transfer t{};
    line.start(std::move(script));
    t.err = capture(2, [&] { capture(1, [&] { t.result = xmodem_receive(kOut); }); });
    t.sender = line.join(&t.answers);
    return t;
}

// lrzsz sx with 128-byte blocks and with 1K blocks (the tail in whatever
// blocks sx chooses): the file arrives whole, padded with 0x1A to a block.
// In 128-byte blocks it takes more than 255, so block 255 is followed by 0.
TEST(XmodemPeer, LrzszSxWith128ByteAnd1KBlocks) {
    const std::string source = "/tmp/xmodem-source";
    std::string content;
    for (int i = 0; i < 33000; ++i) {
        content += static_cast<char>((i * 131 + i / 256) & 0xFF);
    }
    write_file(source, content);
    for (bool one_k : {false, true}) {
        SCOPED_TRACE(one_k ? "1K blocks" : "128-byte blocks");
        SerialLine line;
        Transfer t = receive(line, [&](Terminal& term) {
            const char* plain[] = {"/usr/bin/sx", source.c_str(), nullptr};
            const char* big[] = {"/usr/bin/sx", "-k", source.c_str(), nullptr};
            return term.run_program(one_k ? big : plain);
        });
        EXPECT_EQ(t.sender, 0);
        std::string got = read_file(kOut);
        EXPECT_EQ(t.result, static_cast<long>(got.size()));
        ASSERT_GE(got.size(), content.size());
        EXPECT_EQ(got.substr(0, content.size()), content);
        EXPECT_EQ(got.substr(content.size()), std::string(got.size() - content.size(), 0x1A));
        EXPECT_EQ(got.size() % 128, 0u);
        // One ACK per block and one for the end.
        auto acks = std::count(t.answers.begin(), t.answers.end(), kAck);
        if (one_k) {
            EXPECT_LT(acks, 66);
            EXPECT_LT(got.size() - content.size(), 1024u);
        } else {
            EXPECT_EQ(acks, 258 + 1);
            EXPECT_LT(got.size() - content.size(), 128u);
        }
        EXPECT_EQ(t.answers.substr(0, 1), "C");
        EXPECT_EQ(t.answers.substr(t.answers.size() - 2), (std::string{kNak, kAck}));
        EXPECT_EQ(t.err, "EOT\nAll done\n");
    }
}

// Before the first block a misnumbered block or block 0 is answered with
// C; afterwards a misnumbered or damaged block with NAK, and a repeated one
// with ACK without writing it twice. EOT is confirmed with one NAK, and
// line noise behind it is dropped before the NAK so that the repeated EOT
// is the answer read. A block header in answer to that NAK is no end: the
// transfer goes on, and a header wait with nothing in it is a failed cycle.
TEST(XmodemScripted, DamagedMisnumberedAndRepeatedBlocks) {
    SerialLine line;
    const std::string one = data(128, 1), two = data(1024, 2);
    // A block whose CRC ends in a zero byte, sent without that byte: a CRC
    // that did not arrive whole matches nothing.
    std::string zero_low = data(128, 4);
    for (int last = 0; (crc16(zero_low) & 0xFF) != 0; ++last) {
        zero_low.back() = static_cast<char>(last);
    }
    const std::string cut_crc = block(1, zero_low).substr(0, 3 + 128 + 1);
    Transfer t = receive(line, [&](Terminal& term) {
        // A block whose number came and then nothing is no block, not even
        // an empty one: the whole of block 1 is still awaited.
        const std::string steps[] = {
            block(1, one, 1), block(0, one),    block(1, one).substr(0, 3), cut_crc,
            block(1, one),    block(2, two, 3), block(2, two, 0, 0x100),
            block(2, two),    block(2, two),    std::string{kEot},
            std::string{kSoh}, std::string{kEot, 'z', 'z'}};
        std::size_t expected = 1;
        for (const auto& step : steps) {
            term.send(step);
            term.await(++expected);
        }
        term.send(std::string{kEot});
        term.await(++expected);
        return 0;
    });
    EXPECT_EQ(t.answers,
              (std::string{'C', 'C', 'C', 'C', 'C', kAck, kNak, kNak, kAck, kAck, kNak, kNak, kNak,
                           kAck}));
    EXPECT_EQ(t.result, 128 + 1024);
    EXPECT_EQ(read_file(kOut), one + two);
    EXPECT_EQ(t.err, "EOT\nEOT\nAll done\n");
}

// What is not what it seems is a failed cycle, answered at once: an ACK
// or a lone CAN before the first block (C again, not after a wait for a
// header); a
// block whose number never came in its 3 seconds, even when the
// complement that follows would match a number of 1 (NAK, never taken for
// a repeat), where a CRC byte 2.5 seconds late is still in time; a
// number whose complement never came; a damaged block whose rest trickles
// in (NAK 2 quiet seconds after its last byte); a byte
// other than EOT or a header after an EOT, here an ACK,
// which confirms an end only before the first block (NAK after the 2 quiet
// seconds of a failed cycle, not after a header wait). A repeated
// block is acknowledged after 1 quiet second, an EOT that is not repeated
// after 5. The sender's status has a
// bit for each answer that came at the wrong time.
TEST(XmodemScripted, StrayAckLoneCanLateNumberAndFalseEndAreFailedCycles) {
    SerialLine line;
    setenv("SANDBOX_SPEED", "20", 1);  // the sender reads the count in time
    const std::string one = data(128, 1), two = data(128, 3), three = data(128, 5),
                      second = block(2, two);
    Transfer t = receive(line, [&](Terminal& term) {
        int late = 0;
        std::uint64_t from = 0;
        auto send = [&](const std::string& bytes) {
            term.send(bytes);
            from = sandbox::slept_us();
        };
        // Awaits answer `n`; the counted tenths of a second since the send.
        auto answer = [&](std::size_t n) {
            term.await(n);
            return (sandbox::slept_us() - from) / 100000;
        };
        // Waits until the receiver has counted `us` since the send; false
        // when it answered before (the limit only keeps a broken receiver
        // from holding the test).
        auto silent_for = [&](std::uint64_t us) {
            for (int i = 0; i < 30000 && sandbox::slept_us() - from < us; ++i) {
                if (term.pending()) {
                    return false;
                }
                usleep(1000);
            }
            return true;
        };
        term.await(1);
        send(std::string{kAck});
        late |= answer(2) >= 5 ? 1 : 0;
        send(std::string{kCan, 'x'});
        late |= answer(3) >= 5 ? 1 : 0;
        term.send(block(1, one));
        term.await(4);
        send(std::string{kSoh});
        late |= silent_for(3500000) ? 0 : 64;
        term.send(block(1, one).substr(2));
        term.await(5);
        send(block(1, one));
        std::uint64_t quiet = answer(6);
        late |= quiet < 10 || quiet >= 16 ? 2 : 0;
        // A field that comes within its 3 seconds is taken: block 2's last
        // CRC byte 2.5 seconds after the rest of it.
        send(second.substr(0, second.size() - 1));
        late |= silent_for(2500000) ? 0 : 64;
        term.send(second.substr(second.size() - 1));
        term.await(7);
        // A number whose complement never comes (one that a complement of
        // 1 would match) fails the cycle: NAK after its 3 seconds and 2
        // quiet ones, never a cancel for a block out of sequence.
        send(std::string{kSoh, '\xFE'});
        std::uint64_t lone = answer(8);
        late |= lone < 45 || lone >= 60 ? 16 : 0;
        if (late != 0) {
            return late;  // a cancelled transfer answers nothing more
        }
        // The rest of a damaged block that trickles in, a byte a second:
        // the NAK waits for 2 quiet seconds after the last one.
        send(block(3, three, 1));
        for (std::uint64_t k = 1; k <= 3; ++k) {
            late |= silent_for(k * 1000000) ? 0 : 32;
            term.send("x");
        }
        late |= answer(9) < 45 ? 32 : 0;
        term.send(block(3, three));
        term.await(10);
        // Once a block has come, even an ACK after an EOT is no
        // confirmation (only before the first block is it one).
        term.send(std::string{kEot});
        term.await(11);
        send(std::string{kAck});
        std::uint64_t nak = answer(12);
        late |= nak < 20 || nak >= 30 ? 4 : 0;
        term.send(std::string{kEot});
        term.await(13);
        // No second EOT: the end counts as confirmed after 5 quiet seconds.
        // The count is taken while nothing has come yet, so that it is never
        // one that the receiver's next wait after the ACK has moved on.
        from = sandbox::slept_us();
        std::uint64_t quiet_until = from;
        for (;;) {
            std::uint64_t now = sandbox::slept_us();
            if (term.pending()) {
                break;
            }
            quiet_until = now;
        }
        term.await(14);
        std::uint64_t end = (quiet_until - from) / 100000;
        late |= end < 41 || end > 50 ? 8 : 0;
        return late;
    });
    EXPECT_EQ(t.answers,
              (std::string{'C', 'C', 'C', kAck, kNak, kAck, kAck, kNak, kNak, kAck, kNak, kNak,
                           kNak, kAck}));
    EXPECT_EQ(t.sender, 0);
    EXPECT_EQ(t.result, 384);
    EXPECT_EQ(read_file(kOut), one + two + three);
    EXPECT_EQ(t.err, "CAN\nEOT\nEOT\nAll done\n");
}

// Before the first block a lone CAN is answered with C once its 3 seconds
// for a second CAN are over; CAN CAN is the sender giving up, answered at
// once with five CAN. Without a file name or a port nothing starts. The sender
// reports the counted tenths of a second the lone CAN waited.
TEST(XmodemScripted, LoneCanWaitsThreeSecondsTwoCansCancel) {
    EXPECT_EQ(-1, xmodem_receive(nullptr));
    {
        // Nor without a port: -1 at once, and no file is made.
        sandbox_test::BoardFiles board;
        board.set("tty", "/dev/no-such-port\n");
        unlink(kOut);
        long result = 0;
        capture(2, [&] { capture(1, [&] { result = xmodem_receive(kOut); }); });
        EXPECT_EQ(-1, result);
        EXPECT_NE(0, access(kOut, F_OK));
    }
    SerialLine line;
    setenv("SANDBOX_SPEED", "20", 1);  // the sender reads the count in time
    Transfer t = receive(line, [&](Terminal& term) {
        term.await(1);
        std::uint64_t from = sandbox::slept_us();
        term.send(std::string{kCan});
        term.await(2);
        std::uint64_t waited = (sandbox::slept_us() - from) / 100000;
        term.send(std::string{kCan, kCan});
        term.await(7);
        return static_cast<int>(waited);
    });
    EXPECT_EQ(t.answers, "CC" + std::string(5, kCan));
    EXPECT_GE(t.sender, 30);
    EXPECT_LT(t.sender, 40);
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.err, "CAN\nCAN\n");
}

// A block from the future means the two ends disagree: the transfer is
// cancelled at once with five CAN, keeping what arrived before; a first
// block numbered 2 too.
TEST(XmodemScripted, OutOfSequenceBlockCancels) {
    for (unsigned first : {1u, 0u}) {
        SerialLine line;
        Transfer t = receive(line, [&](Terminal& term) {
            term.await(1);
            if (first == 1) {
                term.send(block(1, data(128, 1)));
                term.await(2);
            }
            term.send(block(first + 2, data(128, 3)));
            term.await(first + 6);
            return 0;
        });
        std::string acked = first == 1 ? std::string{kAck} : "";
        EXPECT_EQ(t.answers, "C" + acked + std::string(5, kCan));
        EXPECT_EQ(t.result, 0);
        EXPECT_EQ(read_file(kOut), first == 1 ? data(128, 1) : "");
        EXPECT_EQ(t.err, "");
    }
}

}  // namespace

namespace {

// After the first block the sender has 5 seconds for each header. The
// third failed cycle of a block, here three silences, cancels with five
// CAN; each of the two NAKs before waits for 2 quiet seconds. The sender
// counts, in tenths of a second, the time from the first ACK to the
// cancel: 5 + 2 + 5 + 2 + 5 seconds, give or take what the receiver
// counted while the sender was reading the count at either end (a header
// wait of 4 or 6 seconds is 3 seconds off). After the cancel the line goes
// back to the console's speed once it has been quiet for 2 seconds. The
// sender's status has a bit for each count that is off.
TEST(XmodemScripted, ThirdSilentCycleAfterABlockCancels) {
    SerialLine line;
    setenv("SANDBOX_SPEED", "20", 1);  // the sender reads the count in time
    Transfer t = receive(line, [&](Terminal& term) {
        term.await(1);
        term.send(block(1, data(128, 1)));
        term.await(2);
        std::uint64_t acked = sandbox::slept_us();
        term.await(9);
        std::uint64_t cancelled = sandbox::slept_us();
        std::uint64_t cycles = (cancelled - acked) / 100000;
        // Only the Enter wait after the switch counts whole seconds, so
        // the count passes 2.5 seconds while the line is still fast only
        // when the receiver waited longer than 2 quiet seconds.
        while (sandbox::slept_us() - cancelled < 2500000 && term.fast()) {
            term.pump(1);
        }
        bool back = !term.fast();
        return (cycles >= 180 && cycles < 210 ? 0 : 1) | (back ? 0 : 2);
    });
    EXPECT_EQ(t.answers, (std::string{'C', kAck, kNak, kNak} + std::string(5, kCan)));
    EXPECT_EQ(t.sender, 0);
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(read_file(kOut), data(128, 1));
}

}  // namespace

namespace {

// Nobody sends: the receiver asks with C once a second, 60 times in all,
// then cancels. The sender reports the counted seconds from the first C
// to the last.
// A file that cannot be made ends the download before anything is asked
// of the sender, and the line goes back to the console's own speed.
TEST(XmodemScripted, FileThatCannotBeMadeBringsTheLineBack) {
    SerialLine line;
    line.start([](Terminal&) { return 0; });
    long result = 0;
    std::string out;
    std::string err = capture(2, [&] {
        out = capture(1, [&] { result = xmodem_receive("/tmp/no-such-folder/image"); });
    });
    EXPECT_EQ(-1, result);
    EXPECT_EQ("Can't open file!: No such file or directory\n", err);
    EXPECT_NE(std::string::npos, out.find("Change the baud rate back to 9600 bps"));
    // A line left fast would leave the terminal waiting for ever: the
    // sender is then stopped instead.
    ASSERT_FALSE(line.fast());
    std::string answers;
    EXPECT_EQ(0, line.join(&answers));
    EXPECT_EQ(std::string::npos, answers.find('C'));
}

// A block is read up to its count and no further, whatever else the line
// holds. A second without a byte ends a pass, and a pass that gets nothing
// ends the block: a line that goes quiet costs two seconds.
TEST(XmodemBlock, ReadStopsAtItsCountAndEndsAfterAQuietSecondTwice) {
    int ends[2];
    ASSERT_EQ(0, pipe2(ends, O_NONBLOCK));
    const std::string line = data(9, 5);
    ASSERT_EQ(9, write(ends[1], line.data(), line.size()));
    unsigned char dest[9];
    std::fill(std::begin(dest), std::end(dest), 0xEE);
    std::uint16_t crc = 0;
    sandbox::reset_slept_us();
    EXPECT_EQ(4, xmodem_read_block(dest, 4, &crc, ends[0]));
    EXPECT_EQ(line.substr(0, 4), std::string(dest, dest + 4));
    EXPECT_EQ(0xEE, dest[4]);
    EXPECT_EQ(crc16(line.substr(0, 4)), crc);
    EXPECT_EQ(0u, sandbox::slept_us());
    // Five bytes left for a block of eight.
    EXPECT_EQ(5, xmodem_read_block(dest, 8, &crc, ends[0]));
    EXPECT_EQ(line.substr(4), std::string(dest, dest + 5));
    EXPECT_EQ(crc16(line.substr(4)), crc);
    EXPECT_EQ(2000000u, sandbox::slept_us());
    close(ends[0]);
    close(ends[1]);
}

TEST(XmodemScripted, SilentSenderIsAskedSixtyTimesOnceASecondThenCancelled) {
    SerialLine line;
    setenv("SANDBOX_SPEED", "20", 1);  // the sender reads the count in time
    Transfer t = receive(line, [&](Terminal& term) {
        term.await(1);
        std::uint64_t first = sandbox::slept_us();
        term.await(60);
        std::uint64_t last = sandbox::slept_us();
        term.await(65);
        return static_cast<int>((last - first) / 1000000);
    });
    EXPECT_EQ(t.answers, std::string(60, 'C') + std::string(5, kCan));
    // 59 seconds from the first question to the last. The sender reads the
    // counted time while the receiver sleeps on, so either reading may land
    // a second late on a slow build (sanitizers, the PowerPC emulator); a
    // wait of half a second or two would still be far out.
    EXPECT_GE(t.sender, 58);
    EXPECT_LE(t.sender, 60);
    EXPECT_EQ(t.result, 0);
}

}  // namespace
