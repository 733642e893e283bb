"""Writes initramfs archives (cpio "newc") for the emulated switch.

The kernel unpacks every archive of the initrd in turn, so the engine
appends a small archive of the run's own files (the launcher, the board's
settings) to the root filesystem that build-guest made once. Entries are
written in sorted order, owned by root, with a fixed time: the same tree
gives the same bytes.
"""

import os
import stat
import sys

MTIME = 0


def _header(ino, mode, nlink, size, name, rdev=(0, 0)):
    fields = (ino, mode, 0, 0, nlink, MTIME, size, 0, 0, rdev[0], rdev[1], len(name) + 1, 0)
    return b"070701" + b"".join(b"%08X" % value for value in fields) + name + b"\0"


def _pad(length):
    return b"\0" * (-length % 4)


def archive(entries):
    """The archive of `entries`: (path inside, mode, data) tuples, data the
    file's bytes, a symbolic link's target, None for a directory, or the
    (major, minor) numbers of a device node."""
    out = bytearray()
    for ino, (path, mode, data) in enumerate(entries, start=1):
        name = path.lstrip("/").encode()
        rdev = data if isinstance(data, tuple) else (0, 0)
        if data is None or isinstance(data, tuple):
            body = b""
        else:
            body = data if isinstance(data, bytes) else data.encode()
        head = _header(ino, mode, 2 if stat.S_ISDIR(mode) else 1, len(body), name, rdev)
        out += head + _pad(len(head)) + body + _pad(len(body))
    trailer = _header(0, 0, 1, 0, b"TRAILER!!!")
    out += trailer + _pad(len(trailer))
    return bytes(out)


def tree_entries(root):
    """The entries of a directory tree, parents first, sorted."""
    entries = []
    for top, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(dirs) + sorted(files):
            path = os.path.join(top, name)
            inside = os.path.relpath(path, root)
            info = os.lstat(path)
            if stat.S_ISLNK(info.st_mode):
                entries.append((inside, stat.S_IFLNK | 0o777, os.readlink(path)))
            elif stat.S_ISDIR(info.st_mode):
                entries.append((inside, stat.S_IFDIR | 0o755, None))
            elif stat.S_ISREG(info.st_mode):
                mode = 0o755 if info.st_mode & 0o111 else 0o644
                with open(path, "rb") as f:
                    entries.append((inside, stat.S_IFREG | mode, f.read()))
    entries.sort(key=lambda entry: entry[0].split("/"))
    return entries


if __name__ == "__main__":
    # newc.py DIR OUT: the archive of DIR's tree with the console device the
    # kernel opens for the first process, for build-guest.
    if len(sys.argv) != 3:
        sys.exit("usage: newc.py DIR OUT")
    console = ("dev/console", stat.S_IFCHR | 0o600, (5, 1))
    with open(sys.argv[2], "wb") as f:
        f.write(archive(tree_entries(sys.argv[1]) + [console]))
