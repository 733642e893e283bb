"""The board directory on QEMU's ppce500 machine: what maps onto it, the
disks made from it before a start, and what the switch changed, written
back after the emulator has stopped.

Everything a board holds is checked in `read_board` before any file is made;
what cannot be mapped raises `Unmappable` with the reason. `Run.prepare`
makes the disks in the run directory, `Run.write_back` turns the disks back
into the board's files. docs/sandbox.md describes the mapping.
"""

import ctypes
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "lib"))
import boardlayout  # noqa: E402
from boardlayout import EEPROM_SIZE, ENV_SIZE, LED_REGISTERS, MTD_NAMES  # noqa: E402,F401

# A stand-in register file: an at24c EEPROM of QEMU 7.2 always takes a
# 16-bit address, so after the register byte alone its pointer is
# (previous low byte << 8) | register. Filling address (h << 8) | l with h
# makes a read of the register just written return the value written.
STANDIN_SIZE = 0x10000
SECTOR = 512
SD_LIMIT = 32 << 30
EXT_MAGIC_OFFSET = 1080
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULT_LAYOUT = os.path.join(ROOT, "sandbox", "partsetup")
LAYOUT_LINE = re.compile(r"^/dev/mmcblk0p(\d+)\s*:\s*start=\s*(\d+),\s*size=\s*(\d+)(,.*)?$")


# The file that takes /user's room when a run asks for little of it left.
FILLER = "/.sandbox-filler"


class Unmappable(ValueError):
    pass


class Faults:
    """What a run injects from outside the switch (the options of
    sandbox/boot-e500): disks whose reads fail at byte offsets, the room
    left on /user, the size of /tmp."""

    def __init__(self, read_errors=None, user_free=None, tmp_size=None):
        self.read_errors = read_errors or {}
        self.user_free = user_free
        self.tmp_size = tmp_size


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_text(path, default=""):
    try:
        with open(path) as f:
            return f.read().strip()
    except FileNotFoundError:
        return default


def is_ext(image, offset=0):
    """True when an ext2/3/4 superblock starts 1024 bytes into the image."""
    try:
        with open(image, "rb") as f:
            f.seek(offset + EXT_MAGIC_OFFSET)
            return f.read(2) == b"\x53\xef"
    except OSError:
        return False


def next_power_of_two(n):
    power = 1 << 20
    while power < n:
        power <<= 1
    return power


# --- the board, checked

class Board:
    """What a board directory holds, as the engine maps it."""

    def __init__(self, path):
        self.path = path

    def file(self, *parts):
        return os.path.join(self.path, *parts)


def read_board(path):
    if not os.path.isfile(os.path.join(path, "eeprom.bin")):
        raise Unmappable(f"{path} is not a board directory (make one with sandbox/mkboard)")
    board = Board(os.path.abspath(path))
    check_i2c(board)
    check_mtd(board)
    check_emmc(board)
    check_usb(board)
    check_rest(board)
    return board


def check_i2c(board):
    if len(read_bytes(board.file("eeprom.bin"))) != EEPROM_SIZE:
        raise Unmappable(f"eeprom.bin is not {EEPROM_SIZE} bytes")
    absent = read_text(board.file("i2c-absent")).split()
    if "rtc" in absent:
        raise Unmappable("the real-time clock is the machine's own: it cannot be absent")
    if "mux" in absent and "eeprom" not in absent:
        # On the switch the EEPROM answers only behind multiplexer channel
        # 2; QEMU's answers whatever the multiplexer did, so without one the
        # EEPROM would answer here and stay silent on the switch.
        raise Unmappable("an absent multiplexer with the EEPROM present: QEMU's EEPROM answers "
                         "without the multiplexer's channel 2, the switch's does not")
    if read_text(board.file("i2c-read-fails")).split():
        raise Unmappable("devices whose reads fail (i2c-read-fails) need the namespace sandbox")
    buses = read_text(board.file("i2c-buses"), "0 1").split()
    if "0" not in buses:
        raise Unmappable("I2C bus 0 is the machine's own controller: it cannot be absent")
    board.i2c_absent = absent
    board.i2c_bus1 = "1" in buses
    rtc = read_text(board.file("rtc"), "host")
    if rtc == "host":
        board.rtc_base = "utc"
    elif boardlayout.rtc_valid(rtc):
        board.rtc_base = rtc.replace(" ", "T")
    else:
        raise Unmappable(f"rtc: '{rtc}' is not a time or host")
    led = read_bytes(board.file("led.bin")) if os.path.exists(board.file("led.bin")) else b""
    board.led = bytearray(led[:LED_REGISTERS].ljust(LED_REGISTERS, b"\0"))


def check_mtd(board):
    if os.path.exists(board.file("mtd", "power-cut-after")):
        raise Unmappable("power cuts (mtd/power-cut-after) stay on the namespace sandbox")
    erase = int(read_text(board.file("mtd", "erase-size"), "65536"), 0)
    if erase < 4096 or erase & (erase - 1):
        raise Unmappable(f"erase size {erase}: block2mtd takes a power of two of 4096 or more")
    board.erase_size = erase
    board.mtd = {}
    for name in MTD_NAMES:
        image = board.file("mtd", f"{name}.bin")
        if not os.path.exists(image):
            continue
        size = os.path.getsize(image)
        if size == 0 or size % erase:
            raise Unmappable(f"flash partition {name}: {size} bytes is not a whole number of "
                             f"{erase}-byte erase blocks")
        if size > 1 << 30:
            raise Unmappable(f"flash partition {name}: {size} bytes is larger than its disk may be")
        board.mtd[name] = image
    env = board.mtd.get("ubootenv")
    board.env_variables = None
    if env is not None and os.path.getsize(env) >= ENV_SIZE:
        block = read_bytes(env)[:ENV_SIZE]
        if boardlayout.env_crc_good(block):
            board.env_variables = env_variables(block[4:])


def env_variables(data):
    """The NAME=VALUE strings of an environment block with a good CRC."""
    variables = []
    for text in data.split(b"\0"):
        if not text:
            break
        line = text.decode("latin-1")
        if "\n" in line or line.startswith("#") or "=" not in line:
            raise Unmappable(f"environment entry {line!r} cannot be written by mkenvimage")
        variables.append(line)
    return variables


def read_layout(path):
    """Partition number -> (first sector, sectors) of an sfdisk script."""
    layout = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line.startswith("/dev/"):
                continue
            match = LAYOUT_LINE.match(line)
            if not match:
                raise Unmappable(f"{path}: cannot read the layout line '{line}'")
            layout[int(match.group(1))] = (int(match.group(2)), int(match.group(3)))
    return layout


def check_emmc(board):
    board.emmc = os.path.exists(board.file("emmc", "present"))
    if not board.emmc:
        return
    partitions = [int(n) for n in read_text(board.file("emmc", "partitions")).split()]
    layout_file = board.file("partsetup")
    if not os.path.exists(layout_file):
        layout_file = DEFAULT_LAYOUT
    layout = read_layout(layout_file)
    for n in partitions:
        if n not in layout:
            raise Unmappable(f"eMMC partition {n} is not in the layout {layout_file}")
    spans = sorted(layout[n] for n in partitions)
    if any(n not in range(1, 5) for n in layout) or any(
            start < 1 or size < 1 or start + size > 1 << 32 for start, size in spans) or any(
            a[0] + a[1] > b[0] for a, b in zip(spans, spans[1:])):
        raise Unmappable(f"{layout_file}: the SD card's table takes four primary partitions "
                         "that do not overlap")
    end = max((start + size for start, size in layout.values()), default=2048) * SECTOR
    sd_size = next_power_of_two(end)
    if sd_size > SD_LIMIT:
        raise Unmappable(f"the eMMC layout needs {end} bytes: more than the SD card's "
                         f"{SD_LIMIT >> 30} GiB")
    board.partitions = partitions
    board.layout = {n: layout[n] for n in partitions}
    board.layout_file = layout_file
    board.sd_size = sd_size
    board.content = {}
    for n in partitions:
        start, sectors = layout[n]
        raw = board.file("emmc", f"p{n}.img")
        tree = board.file("emmc", f"p{n}")
        if os.path.exists(raw) and os.path.getsize(raw) > sectors * SECTOR:
            raise Unmappable(f"emmc/p{n}.img is larger than partition {n}")
        if n in (1, 4) and is_ext(raw):
            board.content[n] = ("image", raw)
        elif n in (1, 4) and os.path.isdir(tree):
            board.content[n] = ("tree", tree)
        else:
            board.content[n] = ("raw", raw)


def check_usb(board):
    stick = board.file("usb")
    board.usb = os.path.isdir(stick)
    if not board.usb:
        return
    total = 0
    for top, dirs, files in os.walk(stick):
        for name in dirs + files:
            path = os.path.join(top, name)
            if os.path.islink(path) or not (os.path.isdir(path) or os.path.isfile(path)):
                raise Unmappable(f"usb/{os.path.relpath(path, stick)}: a FAT stick holds only "
                                 "regular files and directories")
            if os.path.isfile(path):
                size = os.path.getsize(path)
                if size >= 1 << 32:
                    raise Unmappable(f"usb/{os.path.relpath(path, stick)}: too large for FAT")
                total += size
    board.usb_size = max(64 << 20, (total + total // 4 + (16 << 20)) // (1 << 20) * (1 << 20))
    after = read_text(board.file("usb-mount-after"))
    try:
        seconds = boardlayout.usb_mount_after(after)
    except ValueError as e:
        raise Unmappable(f"usb-mount-after: {e}")
    board.usb_mount_after = str(round(seconds)) if isinstance(seconds, float) else after


def check_rest(board):
    if os.path.exists(board.file("tty")):
        raise Unmappable("the e500 board's console is its /dev/ttyS0: a separate line (tty) "
                         "needs the namespace sandbox")
    answers = board.file("answers")
    scripted = [n for n in os.listdir(answers) if not n.startswith(".")] \
        if os.path.isdir(answers) else []
    if scripted:
        raise Unmappable(f"answers/{scripted[0]}: the e500 board runs the real programs, "
                         "which take no scripted answers")
    flashfs = board.file("flashfs")
    if os.path.isdir(flashfs) and os.listdir(flashfs):
        raise Unmappable("flashfs/: the flash user filesystem (JFFS2) is not mapped")
    if not usb_mount_after_usable(board):
        raise Unmappable("usb-mount-after without a stick needs a number or never")
    board.link_up = read_text(board.file("link"), "up") != "down"
    board.tftp = board.file("tftp")


def usb_mount_after_usable(board):
    if board.usb:
        return True
    try:
        boardlayout.usb_mount_after(read_text(board.file("usb-mount-after")))
        return True
    except ValueError:
        return False


# --- one run: the disks before the start, the board's files after

def run_tool(args, what):
    result = subprocess.run(args, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{what}: {' '.join(args)}: {result.stderr.strip() or result.stdout.strip()}")
    return result.stdout


def data_pieces(f, start, end):
    """The data of a sparse file between start and end, as (position,
    bytes) pieces of at most 1 MiB; the holes between are passed over
    unread."""
    position = start
    while position < end:
        try:
            data_at = min(os.lseek(f.fileno(), position, os.SEEK_DATA), end)
        except OSError:  # no data after position
            return
        hole_at = min(os.lseek(f.fileno(), data_at, os.SEEK_HOLE), end)
        f.seek(data_at)
        while data_at < hole_at:
            chunk = f.read(min(hole_at - data_at, 1 << 20))
            if not chunk:
                return
            yield data_at, chunk
            data_at += len(chunk)
        position = hole_at


def digest(path, offset=0, length=None):
    """SHA-256 of a file's data and where it lies, reading only the data of
    a sparse file (a hole and written zeros differ: a change either way)."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        end = os.path.getsize(path) if length is None else offset + length
        for position, chunk in data_pieces(f, offset, end):
            h.update(b"%d %d\n" % (position - offset, len(chunk)))
            h.update(chunk)
        h.update(b"end %d\n" % (end - offset))
    return h.hexdigest()


def copy_range(src, src_offset, length, dst, dst_offset):
    """Copies bytes between files, leaving holes where the source has them."""
    with open(src, "rb") as fin, open(dst, "r+b" if os.path.exists(dst) else "w+b") as fout:
        for position, chunk in data_pieces(fin, src_offset, src_offset + length):
            fout.seek(dst_offset + position - src_offset)
            fout.write(chunk)
        fout.truncate(max(os.fstat(fout.fileno()).st_size, dst_offset + length))


class Run:
    """The run directory of one start: the disks QEMU gets, and what the
    board gets back."""

    def __init__(self, board, directory, faults=None):
        self.board = board
        self.dir = directory
        self.given = {}
        self.faults = faults or Faults()

    def path(self, name):
        return os.path.join(self.dir, name)

    def prepare(self):
        """Makes the run directory and the disks. A failure raises
        RuntimeError or OSError, and removes everything it made: the board
        is left as it was."""
        made_run = not os.path.exists(os.path.dirname(self.dir))
        try:
            self.make_disks()
        except BaseException:
            self.remove(made_run)
            raise

    def remove(self, with_parent=False):
        shutil.rmtree(self.dir, ignore_errors=True)
        if with_parent:
            try:
                os.rmdir(os.path.dirname(self.dir))
            except OSError:
                pass

    def make_disks(self):
        if os.path.exists(self.dir):
            shutil.rmtree(self.dir)
        os.makedirs(self.dir)
        board = self.board
        shutil.copyfile(board.file("eeprom.bin"), self.path("eeprom.bin"))
        standin = bytearray(address >> 8 for address in range(STANDIN_SIZE))
        standin[:LED_REGISTERS] = board.led
        with open(self.path("led.bin"), "wb") as f:
            f.write(standin)
        with open(self.path("mux.bin"), "wb") as f:
            f.write(bytes(address >> 8 for address in range(STANDIN_SIZE)))
        for name, image in board.mtd.items():
            target = self.path(f"mtd-{name}.img")
            shutil.copyfile(image, target)
            if name == "ubootenv" and board.env_variables is not None:
                self.write_env(target)
            self.given[f"mtd-{name}"] = digest(target)
        for name, size in (("result", 1 << 20), ("tmp", 1 << 30)):
            with open(self.path(f"{name}.img"), "wb") as f:
                f.truncate(size)
        if board.emmc:
            self.make_sd()
        if board.usb:
            self.make_stick()
        for device, offsets in self.faults.read_errors.items():
            self.write_blkdebug(device, offsets)

    def write_blkdebug(self, device, offsets):
        """QEMU's blkdebug rules for the disk: every read that touches the
        sector holding one of the offsets fails with EIO (errno 5)."""
        with open(self.path(f"{device}.blkdebug"), "w") as f:
            for offset in offsets:
                f.write(f'[inject-error]\nevent = "read_aio"\niotype = "read"\nerrno = "5"\n'
                        f'sector = "{offset // SECTOR}"\nonce = "off"\nimmediately = "off"\n\n')

    def drive(self, device, image):
        """The -drive options of a disk: the image, behind blkdebug when its
        reads are to fail."""
        if device in self.faults.read_errors:
            return (f"format=raw,file.driver=blkdebug,file.config={self.path(device + '.blkdebug')},"
                    f"file.image.filename={image}")
        return f"file={image},format=raw"

    def write_env(self, target):
        """The environment block again, written by u-boot-tools' mkenvimage
        from the board's variables: a second writer of the format."""
        text = self.path("env.txt")
        with open(text, "w", encoding="latin-1") as f:
            f.write("".join(v + "\n" for v in self.board.env_variables))
        block = self.path("env.bin")
        run_tool(["mkenvimage", "-b", "-s", str(ENV_SIZE), "-o", block, text], "mkenvimage")
        with open(target, "r+b") as f:
            f.write(read_bytes(block))

    def make_sd(self):
        board = self.board
        sd = self.path("emmc.img")
        with open(sd, "wb") as f:
            f.truncate(board.sd_size)
        write_mbr(sd, board.layout)
        for n, (start, size) in board.layout.items():
            kind, source = board.content[n]
            offset = start * SECTOR
            if kind == "tree":
                run_tool(["mke2fs", "-q", "-F", "-t", "ext3", "-b", "4096", "-d", source,
                          "-E", f"offset={offset},root_owner=0:0", sd, str(size * SECTOR // 4096)],
                         f"mke2fs for eMMC partition {n}")
                if n == 1 and self.faults.user_free is not None:
                    fill(f"{sd}?offset={offset}", self.faults.user_free)
            elif os.path.exists(source) and os.path.getsize(source):
                copy_range(source, 0, os.path.getsize(source), sd, offset)
            self.given[f"p{n}"] = digest(sd, offset, size * SECTOR)

    def make_stick(self):
        stick = self.path("usb.img")
        with open(stick, "wb") as f:
            f.truncate(self.board.usb_size)
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1", MTOOLSRC="/dev/null")
        run_mtools(["mformat", "-i", stick, "-F", "-v", "STICK", "::"], env, "mformat")
        source = self.board.file("usb")
        for name in sorted(os.listdir(source)):
            run_mtools(["mcopy", "-i", stick, "-s", "-p", "-m", os.path.join(source, name), "::/"],
                       env, f"mcopy of usb/{name}")
        self.given["usb"] = digest(stick)

    # --- after the run

    def ended(self):
        """The launcher's exit status when the guest shut down in order
        ('-' when it did not end by itself), None when it did not."""
        with open(self.path("result.img"), "rb") as f:
            line = f.read(64).split(b"\n")[0].decode("latin-1")
        return line.split(" ", 1)[1] if line.startswith("ended ") else None

    def write_back(self, led_registers, rebooted=False, cut=False, stick_pulled=False):
        """Turns the disks into the board's files, all or nothing: every
        part is read into the run directory first, the new board is
        assembled beside the old one from it (the unchanged files linked),
        and then put in the old one's place in one rename. A failure on the
        way leaves the board as it was.

        After a power cut (`cut`) the guest's memory is gone: /tmp is
        empty, the flash partitions keep what they held before the run
        (block2mtd's writes may still have been in the guest's page cache,
        where NOR flash keeps each write at once), and eMMC partitions 1
        and 4 go back as raw images with their journals unreplayed. A
        pulled stick is no longer in the switch."""
        board = self.board
        staged = []
        if read_bytes(self.path("eeprom.bin")) != read_bytes(board.file("eeprom.bin")):
            staged.append((self.path("eeprom.bin"), "eeprom.bin"))
        led = self.path("led-registers.bin")
        with open(led, "wb") as f:
            f.write(bytes(led_registers))
        staged.append((led, "led.bin"))
        if not cut:
            for name in board.mtd:
                disk = self.path(f"mtd-{name}.img")
                if digest(disk) != self.given[f"mtd-{name}"]:
                    staged.append((disk, os.path.join("mtd", f"{name}.bin")))
        if stick_pulled:
            staged.append((None, "usb"))
        elif board.usb and digest(self.path("usb.img")) != self.given["usb"]:
            staged.append((self.extract_stick(), "usb"))
        if cut:
            empty = self.path("tmp-out")
            os.makedirs(empty)
            staged.append((empty, "tmp"))
        else:
            staged.append((self.extract_tmp(), "tmp"))
        if board.emmc:
            if self.faults.user_free is not None and not cut:
                table = read_mbr(self.path("emmc.img"))
                if 1 in table:
                    remove_filler(f"{self.path('emmc.img')}?offset={table[1][0] * SECTOR}")
            staged += self.stage_emmc(cut)
        if not cut:
            staged.append((self.commands_log(), "commands.log"))
        marker = self.path("rebooted")
        if rebooted:
            open(marker, "w").close()
            staged.append((marker, os.path.join("run", "rebooted")))
        else:
            staged.append((None, os.path.join("run", "rebooted")))
        commit(board.path, os.path.relpath(self.dir, board.path), staged)

    def commands_log(self):
        """The board's commands.log with this run's command lines after the
        earlier runs' ones, as the namespace engine appends them: the
        guest's shell noted them, and they follow the result's first
        sector."""
        out = self.path("commands.log")
        with open(self.path("result.img"), "rb") as f:
            f.seek(512)
            noted = f.read().split(b"\0", 1)[0]
        with open(out, "wb") as f:
            earlier = self.board.file("commands.log")
            f.write((read_bytes(earlier) if os.path.exists(earlier) else b"") + noted)
        return out

    def extract_stick(self):
        out = self.path("usb-out")
        os.makedirs(out)
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1", MTOOLSRC="/dev/null")
        listing = run_mtools(["mdir", "-i", self.path("usb.img"), "-b", "::/"], env, "mdir")
        if listing.strip():
            run_mtools(["mcopy", "-i", self.path("usb.img"), "-s", "-p", "-m", "-n", "::/*", out],
                       env, "mcopy from the stick")
        return out

    def extract_tmp(self):
        out = self.path("tmp-out")
        os.makedirs(out)
        try:
            archive = tarfile.open(self.path("tmp.img"), "r:")
        except tarfile.TarError:
            return out
        with archive:
            for member in archive:
                name = os.path.normpath(member.name)
                if name.startswith(("/", "..")) or name == ".":
                    continue
                target = os.path.join(out, name)
                if member.isdir():
                    os.makedirs(target, exist_ok=True)
                elif member.isfile():
                    os.makedirs(os.path.dirname(target), exist_ok=True)
                    with archive.extractfile(member) as data, open(target, "wb") as f:
                        shutil.copyfileobj(data, f)
                    os.chmod(target, member.mode & 0o777)
                elif member.issym():
                    os.makedirs(os.path.dirname(target), exist_ok=True)
                    os.symlink(member.linkname, target)
        return out

    def stage_emmc(self, cut=False):
        """The partition table as the switch left it, and each partition:
        files of an ext filesystem on 1 and 4 (after a cut: the raw
        filesystem, its journal as the cut left it), raw bytes on the
        others. Targets are relative to the board directory."""
        board = self.board
        sd = self.path("emmc.img")
        table = read_mbr(sd)
        staged = []
        listing = self.path("partitions")
        with open(listing, "w") as f:
            f.write(" ".join(str(n) for n in sorted(table)) + "\n")
        staged.append((listing, os.path.join("emmc", "partitions")))
        for n, (start, sectors) in sorted(table.items()):
            offset, length = start * SECTOR, sectors * SECTOR
            before = board.content.get(n, ("raw", None))
            layout_same = board.layout.get(n) == (start, sectors)
            changed = not layout_same or digest(sd, offset, length) != self.given.get(f"p{n}")
            raw = os.path.join("emmc", f"p{n}.img")
            tree = os.path.join("emmc", f"p{n}")
            if n in (1, 4) and cut:
                staged.append((None, tree))
                staged.append((self.raw_partition(sd, offset, length, n), raw))
            elif n in (1, 4):
                if is_ext(sd, offset):
                    if changed or before[0] != "tree":
                        staged.append((self.dump_ext(sd, offset, n), tree))
                elif before[0] == "tree" or changed:
                    staged.append((None, tree))
                if before[0] == "image" and changed:
                    staged.append((self.raw_partition(sd, offset, length, n), raw))
            elif changed:
                staged.append((self.raw_partition(sd, offset, length, n), raw))
            if not os.path.exists(board.file(raw)) and not any(t == raw for _, t in staged):
                empty = self.path(f"p{n}-empty.img")
                open(empty, "wb").close()
                staged.append((empty, raw))
        return staged

    def dump_ext(self, sd, offset, n):
        """The files of an ext filesystem, by debugfs. debugfs says it
        dumped the tree even when items failed (a block it could not read,
        a node that is not a file, directory or link, which it passes over
        without a word), so its messages and a listing of every directory
        are compared with what it wrote: anything missing is an error."""
        out = self.path(f"p{n}-files")
        os.makedirs(out)
        image = f"{sd}?offset={offset}"
        result = subprocess.run(["debugfs", "-c", "-R", f"rdump / {out}", image],
                                capture_output=True, text=True)
        complaints = [line for line in result.stderr.splitlines()
                      if line.strip() and not line.startswith("debugfs ")]
        if result.returncode != 0 or complaints:
            raise RuntimeError(f"debugfs of eMMC partition {n}: "
                               f"{'; '.join(complaints) or result.returncode}")
        check_dump(image, out, n)
        lost = os.path.join(out, "lost+found")
        if os.path.isdir(lost) and not os.listdir(lost):
            os.rmdir(lost)
        return out

    def raw_partition(self, sd, offset, length, n):
        out = self.path(f"p{n}-raw.img")
        copy_range(sd, offset, length, out, 0)
        return out


def write_mbr(image, layout):
    """A DOS partition table of primary Linux partitions: number -> (first
    sector, sectors)."""
    mbr = bytearray(SECTOR)
    for n, (start, sectors) in layout.items():
        entry = 446 + 16 * (n - 1)
        mbr[entry + 4] = 0x83
        mbr[entry + 8:entry + 16] = struct.pack("<II", start, sectors)
    mbr[510:512] = b"\x55\xaa"
    with open(image, "r+b") as f:
        f.write(mbr)


def read_mbr(image):
    """Partition number -> (first sector, sectors) of an MBR."""
    with open(image, "rb") as f:
        mbr = f.read(SECTOR)
    table = {}
    if mbr[510:512] != b"\x55\xaa":
        return table
    for i in range(4):
        entry = mbr[446 + 16 * i: 462 + 16 * i]
        kind = entry[4]
        start, sectors = struct.unpack("<II", entry[8:16])
        if kind and sectors:
            table[i + 1] = (start, sectors)
    return table


def run_mtools(args, env, what):
    result = subprocess.run(args, env=env, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{what}: {result.stderr.strip() or result.stdout.strip()}")
    return result.stdout


def check_dump(image, out, n):
    """Every entry debugfs lists in each directory of the filesystem is in
    the dump, with the same kind and, for a file, the same size."""
    directories = ["/"]
    for top, dirs, _ in os.walk(out):
        directories += ["/" + os.path.relpath(os.path.join(top, d), out) for d in dirs]
    commands = os.path.join(os.path.dirname(out), f"p{n}-listing.cmd")
    with open(commands, "w") as f:
        for directory in directories:
            if '"' in directory or "\n" in directory:
                raise RuntimeError(f"eMMC partition {n}: {directory!r} cannot be listed by debugfs")
            f.write(f'ls -p "{directory}"\n')
    listing = run_tool(["debugfs", "-c", "-f", commands, image], f"debugfs listing of partition {n}")
    current = None
    for line in listing.splitlines():
        if line.startswith("debugfs: ls -p "):
            current = line[len('debugfs: ls -p "'):-1]
            continue
        fields = line.split("/")
        # Free slots of a directory (a fresh lost+found holds only those)
        # list with inode 0.
        if current is None or len(fields) < 8 or fields[1] == "0" or fields[5] in (".", ".."):
            continue
        mode, name, size = int(fields[2], 8), "/".join(fields[5:-2]), fields[-2]
        path = os.path.join(out, current.lstrip("/"), name)
        kind = mode & 0o170000
        if kind == 0o040000:
            good = os.path.isdir(path) and not os.path.islink(path)
        elif kind == 0o120000:
            good = os.path.islink(path)
        elif kind == 0o100000:
            good = os.path.isfile(path) and not os.path.islink(path) and \
                str(os.path.getsize(path)) == size
        else:
            good = False
        if not good:
            raise RuntimeError(f"eMMC partition {n}: {os.path.join(current, name)} "
                               f"(mode {mode:o}, {size} bytes) is not in debugfs's dump as it is "
                               "on the card")


def fill(image, room):
    """Leaves `room` bytes free on the ext filesystem: a file of the rest,
    its blocks allocated (and zeroed) by debugfs, the size set so that a
    filesystem check finds nothing to mend."""
    head = run_tool(["dumpe2fs", "-h", image], "dumpe2fs")
    fields = dict(line.split(":", 1) for line in head.splitlines() if ":" in line)
    block = int(fields["Block size"])
    free = int(fields["Free blocks"]) * block
    # One indirect block per 1024 data blocks, and a few more.
    data = (free - room) * 1024 // 1025 // block - 4
    if room > free or data <= 0:
        raise RuntimeError(f"/user has {free} bytes free: it cannot be filled to leave {room}")
    run_tool(["debugfs", "-w", "-R", f"write /dev/null {FILLER}", image], "debugfs write")
    run_tool(["debugfs", "-w", "-R", f"fallocate {FILLER} 0 {data - 1}", image], "debugfs fallocate")
    run_tool(["debugfs", "-w", "-R", f"sif {FILLER} size {data * block}", image], "debugfs sif")
    head = run_tool(["dumpe2fs", "-h", image], "dumpe2fs")
    fields = dict(line.split(":", 1) for line in head.splitlines() if ":" in line)
    left = int(fields["Free blocks"]) * block
    # Fill the last blocks exactly: a second, smaller file.
    extra = (left - room) // block
    if extra > 0:
        run_tool(["debugfs", "-w", "-R", f"write /dev/null {FILLER}-2", image], "debugfs write")
        run_tool(["debugfs", "-w", "-R", f"fallocate {FILLER}-2 0 {extra - 1}", image],
                 "debugfs fallocate")
        run_tool(["debugfs", "-w", "-R", f"sif {FILLER}-2 size {extra * block}", image],
                 "debugfs sif")


def remove_filler(image):
    """Removes the filler files, where the switch left them (a rebuild of
    the filesystem, for one, leaves none)."""
    if not is_ext(image.split("?offset=")[0], int(image.split("?offset=")[1])):
        return
    for name in (FILLER, FILLER + "-2"):
        found = subprocess.run(["debugfs", "-c", "-R", f"stat {name}", image],
                               capture_output=True, text=True)
        if found.returncode == 0 and "Inode:" in found.stdout:
            run_tool(["debugfs", "-w", "-R", f"rm {name}", image], "debugfs rm")


def link_tree(source, target, skip):
    """A copy of a directory tree whose files are hard links to the
    source's (nothing is ever written in place, so the two stay apart)."""
    os.mkdir(target)
    shutil.copystat(source, target)
    for top, dirs, files in os.walk(source):
        relative = os.path.relpath(top, source)
        dirs[:] = [d for d in dirs if os.path.normpath(os.path.join(relative, d)) != skip]
        for name in dirs + files:
            src = os.path.join(top, name)
            dst = os.path.join(target, relative, name)
            if os.path.islink(src):
                os.symlink(os.readlink(src), dst)
            elif os.path.isdir(src):
                os.mkdir(dst)
                shutil.copystat(src, dst)
            else:
                try:
                    os.link(src, dst)
                except OSError:
                    shutil.copy2(src, dst)


RENAME_EXCHANGE = 2


def exchange(a, b):
    """Swaps two directories in one step (renameat2 RENAME_EXCHANGE)."""
    libc = ctypes.CDLL(None, use_errno=True)
    AT_FDCWD = -100
    if libc.renameat2(AT_FDCWD, a.encode(), AT_FDCWD, b.encode(), RENAME_EXCHANGE) != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"cannot exchange {a} and {b}: {os.strerror(error)}")


def commit(board_path, run_relative, staged):
    """Assembles the new board beside the old one (the staged parts in
    place of the old ones, every other file linked), swaps the two, and
    removes the old one; the run directory moves over to the new board."""
    parent, name = os.path.split(os.path.normpath(board_path))
    new = os.path.join(parent, f".{name}.e500-new")
    if os.path.lexists(new):
        shutil.rmtree(new)
    try:
        link_tree(board_path, new, os.path.normpath(run_relative))
        for source, target in staged:
            replace(source, os.path.join(new, target))
        exchange(new, board_path)
    except BaseException:
        shutil.rmtree(new, ignore_errors=True)
        raise
    # `new` is the old board now; the new one takes over the run directory.
    old_run = os.path.join(new, run_relative)
    if os.path.isdir(old_run):
        os.makedirs(os.path.dirname(os.path.join(board_path, run_relative)), exist_ok=True)
        os.rename(old_run, os.path.join(board_path, run_relative))
    shutil.rmtree(new, ignore_errors=True)


def replace(source, target):
    """Puts the staged file or tree at target (None: removes target)."""
    if os.path.isdir(target) and not os.path.islink(target):
        shutil.rmtree(target)
    elif os.path.lexists(target):
        os.unlink(target)
    if source is not None:
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.move(source, target)
