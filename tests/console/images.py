"""Image containers and application archives for the console tests.

An independent writer of the container format (the launcher's reader is
the code under test): components are header + payload, every number
big-endian, the CRC field the ones' complement of the usual CRC-32 of the
component from byte 4 on.
"""

import gzip
import io
import struct
import tarfile
import zlib

APPLICATION = 0x014D4152
BOOTLOADER = 0x024D4152
ROOTFS = 0x044D4152
DIAGNOSTICS = 0x064D4152
ORVEX = 0x084D4152
FLAG = 0x80000000


def version_word(version):
    a, b, c, d = (int(x) for x in version.split("."))
    return (a << 24) | (b << 16) | (c << 8) | d


def component(magic, payload, version="1.0.0.0", fmt=1, crc_ok=True):
    ident = version_word(version)
    if fmt == 1:
        header = struct.pack(">III", len(payload), magic, ident)
    elif fmt == 2:
        header = struct.pack(">III", len(payload), magic | FLAG, ident) + struct.pack(
            ">HHI", 0, 24, 0)
    else:
        header_len = 24
        header = struct.pack(">III", header_len - 16 + len(payload), magic, ident) + b"HDR3" + \
            struct.pack(">HH", 0, header_len)
    body = header + payload
    crc = zlib.crc32(body) ^ 0xFFFFFFFF
    if not crc_ok:
        crc ^= 1
    return struct.pack(">I", crc) + body


def archive(files):
    """A gzip-compressed tar archive; `files` maps paths to (text, mode)."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w") as tar:
        for path, (text, mode) in files.items():
            data = text.encode() if isinstance(text, str) else text
            info = tarfile.TarInfo(path)
            info.size = len(data)
            info.mode = mode
            tar.addfile(info, io.BytesIO(data))
    return gzip.compress(raw.getvalue())


def started(line):
    """Shell lines that print `line` when the program got the console and
    nothing else of the launcher's; a descriptor the launcher left open is
    named instead of the line the scenarios wait for. The listing is taken
    in a subshell, whose output file is opened there: the program's own
    descriptors are the console's, and the script the shell reads."""
    return f"""( ls -l /proc/$$/fd/ ) > /tmp/.descriptors 2>/dev/null
leaked=$(sed -n 's|.* \\([0-9][0-9]*\\) -> \\(.*\\)|\\1:\\2|p' /tmp/.descriptors |
         grep -v -e '^[012]:' -e ":$(readlink -f "$0")\\$" | tr '\\n' ' ')
rm -f /tmp/.descriptors
if [ -n "$leaked" ]; then
    echo "started with the launcher's descriptors: $leaked"
else
    echo "{line}"
fi"""


def application(name, env_setup=None, install=True, extra="", files=None):
    """An application archive whose program tells which image it came from
    and shows the variables its env-setup set; `files` adds more."""
    program = f"""#!/bin/sh
{started("application up: " + name)}
echo "APP_COLOUR=$APP_COLOUR"
{extra}
"""
    files = {"home/bin/mp.elf.strip": (program, 0o755), **(files or {})}
    if install:
        files["home/bin/install.sh"] = ("#!/bin/sh\necho install script of " + name + "\n", 0o755)
    if env_setup is not None:
        files["home/bin/env-setup"] = (env_setup, 0o644)
    return archive(files)


def diagnostics(name):
    program = f"#!/bin/sh\n{started('diagnostics up: ' + name)}\n"
    return archive({"mpdiag.elf.strip": (program, 0o755)})
