"""The board directory's constants and rules, in one place for every tool
that makes or reads one: sandbox/mkboard writes boards by them, and the
e500 engine (sandbox/boot-e500, sandbox/e500/board.py) maps them onto the
emulated machine by the same ones. docs/sandbox.md describes the layout."""

import datetime
import struct
import zlib

EEPROM_SIZE = 8192
# EEPROM bytes the launcher reads.
SERIAL_OFFSET = 0x0D
BOOT_SLOT_OFFSET = 0x100
OS_KIND_OFFSET = 0x138
ORVEX_SLOT_OFFSET = 0x139
USB_BYTE_OFFSET = 0x13B
USB_ENABLED = 213
DEFAULT_SERIAL = "VKT3390A0001"

# One U-Boot environment block: a CRC-32 in the CPU's (big-endian) order,
# then NAME=VALUE strings, each ended by a zero byte, up to 128 KiB.
ENV_SIZE = 0x20000

# The flash partitions and their sizes: each holds the largest component
# the installer accepts for it; the environment partition one block.
DEFAULT_ERASE_SIZE = 0x10000
MTD_SIZES = {
    "uboot": 0x80000,
    "ubootenv": 0x40000,
    "devicetree": 0x20000,
    "kernel": 0x300000,
    "rfs": 0x500000,
    "rescue": 0x700000,
    "onie": 0x3E0000,
    "user": 0x100000,
}
MTD_NAMES = tuple(MTD_SIZES)

I2C_DEVICES = ("mux", "eeprom", "rtc", "led")
LED_REGISTERS = 16
# The real-time clock file: a fixed start time in this format, or "host".
RTC_FORMAT = "%Y-%m-%d %H:%M:%S"


def env_block(data, crc_good=True):
    """The environment block of `data` (the strings, padded with zeros to
    the block); a wrong CRC when crc_good is false."""
    data = data + b"\0" * (ENV_SIZE - 4 - len(data))
    crc = zlib.crc32(data) & 0xFFFFFFFF
    if not crc_good:
        crc ^= 0xFFFFFFFF
    return struct.pack(">I", crc) + data


def env_crc_good(block):
    """Whether a block of ENV_SIZE bytes carries the CRC of its strings."""
    return len(block) == ENV_SIZE and \
        struct.unpack(">I", block[:4])[0] == zlib.crc32(block[4:]) & 0xFFFFFFFF


def rtc_valid(text):
    if text == "host":
        return True
    try:
        datetime.datetime.strptime(text, RTC_FORMAT)
    except ValueError:
        return False
    return True


def usb_mount_after(text):
    """The seconds after the start at which the system mounts the stick,
    as the board's usb-mount-after says: None when the file is empty (at
    once), "never", or a number of seconds from 0 up to a million. Raises
    ValueError for anything else."""
    if text in (None, ""):
        return None
    if text == "never":
        return text
    try:
        seconds = float(text)
    except ValueError:
        seconds = -1.0
    if not 0 <= seconds < 1e6:
        raise ValueError(f"'{text}' is not a number of seconds or never")
    return seconds
