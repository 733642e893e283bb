#!/usr/bin/env bash
# First process of the virtual switch (PID 1 of its namespaces), still on the
# machine's filesystem. Assembles the switch's root filesystem on a tmpfs,
# moves into it with pivot_root, drops every view of the machine's
# filesystem, and starts the command under busybox. Called by sandbox/enter.
set -euo pipefail

board=$1
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
fail() { printf 'sandbox: %s\n' "$*" >&2; exit 125; }

# Mount events must not leak back to the machine.
mount --make-rprivate /
hostname switch

root=$board/run/root
mkdir -p "$root"
mount -t tmpfs -o mode=755 sandbox-root "$root" || fail "cannot mount the root filesystem"

# --- the busybox system
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,etc,dev,proc,sys,tmp,user,mnt/usb,root,sandbox/board,lib,lib64,usr/lib}
cp /bin/busybox "$root/bin/busybox"
# The applet links, then the fakes of the outside programs that touch
# hardware, the clock or the network; each fake lives at every place of the
# search path so that no busybox applet of the same name is found first.
# One process makes them all: a process per link made this the longest step
# of a start.
/bin/busybox --list-full | python3 -c '
import os, shutil, sys
root, fakes = sys.argv[1], sys.argv[2]
for applet in sys.stdin.read().split():
    link = os.path.join(root, applet)
    if not os.path.lexists(link):
        os.symlink("/bin/busybox", link)
for name in sorted(os.listdir(fakes)):
    if name.endswith(".sh"):
        continue
    for place in ("bin", "sbin", "usr/bin", "usr/sbin"):
        path = os.path.join(root, place, name)
        if os.path.lexists(path):
            os.unlink(path)
        if place != "bin":
            os.symlink("/bin/" + name, path)
    shutil.copy(os.path.join(fakes, name), os.path.join(root, "bin", name))
' "$root" "$here/fakes" || fail "cannot link the busybox applets and the fakes"
cp "$here/fakes/common.sh" "$root/bin/sandbox-fake-common.sh"

# Real programs where they are harmless and faithful.
# lrzsz's rx in its default restricted mode refuses an absolute path such
# as /tmp/image, which the switch's receiver is given: /usr/bin/rx runs it
# unrestricted.
mkdir -p "$root/usr/libexec/lrzsz"
cp /usr/bin/rx "$root/usr/libexec/lrzsz/rx"
printf '#!/bin/sh\nexec /usr/libexec/lrzsz/rx --unrestrict "$@"\n' > "$root/usr/bin/rx"
chmod 755 "$root/usr/bin/rx"
[ -x /usr/bin/sx ] && cp /usr/bin/sx "$root/usr/bin/sx"
[ -x /usr/sbin/in.tftpd ] && cp /usr/sbin/in.tftpd "$root/usr/sbin/in.tftpd"
# in.tftpd sets its supplementary groups, which this user namespace forbids:
# a small preload answers the no-op request for root's own groups.
# Compiling it cost more than the rest of a start, so it is kept in
# build/sandbox/ of the checkout and compiled again only when its source is
# newer (under a temporary name, renamed when whole: switches starting side
# by side never see half a file). A checkout that cannot be written gets a
# copy compiled for this start alone.
if [ -x /usr/sbin/in.tftpd ] && command -v cc >/dev/null; then
  preload_c=$here/lib/keep-groups.c
  cached=$here/../build/sandbox/keep-groups.so
  preload=$root/usr/libexec/sandbox/keep-groups.so
  mkdir -p "${preload%/*}"
  if [ ! "$cached" -nt "$preload_c" ] && mkdir -p "${cached%/*}" 2>/dev/null; then
    cc -shared -fPIC -O2 -o "$cached.$$" "$preload_c" && mv -f "$cached.$$" "$cached" || rm -f "$cached.$$"
  fi
  if [ "$cached" -nt "$preload_c" ]; then
    cp "$cached" "$preload"
  else
    cc -shared -fPIC -O2 -o "$preload" "$preload_c" || fail "cannot build the TFTP server's group preload"
  fi
fi
[ -x /usr/bin/qemu-ppc-static ] && cp /usr/bin/qemu-ppc-static "$root/usr/bin/qemu-ppc-static"
# Shared libraries of the machine, read-only, for the dynamically linked
# helpers above and sanitizer builds.
for dir in lib lib64 usr/lib; do
  [ -d "/$dir" ] && mount --rbind -o ro "/$dir" "$root/$dir" && mount -o remount,bind,ro "$root/$dir" 2>/dev/null || true
done

# --- /etc
# The eMMC layout the board gives (mkboard copies sandbox/partsetup; a board
# made with --no-partsetup has none, and neither has the switch).
[ -f "$board/partsetup" ] && cp "$board/partsetup" "$root/etc/partsetup"
printf 'root:x:0:0:root:/root:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\n' > "$root/etc/group"
printf 'switch\n' > "$root/etc/hostname"
printf '127.0.0.1 localhost\n' > "$root/etc/hosts"

# --- /dev: the few host devices a program needs, the terminals, and the
# eMMC partitions as files of the board.
mount -t tmpfs -o mode=755 sandbox-dev "$root/dev"
for dev in null zero full random urandom tty; do
  touch "$root/dev/$dev"
  mount --bind "/dev/$dev" "$root/dev/$dev"
done
mkdir -p "$root/dev/pts"
mount --bind /dev/pts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
partitions=$(cat "$board/emmc/partitions" 2>/dev/null || true)
if [ -e "$board/emmc/present" ]; then
  touch "$root/dev/mmcblk0"
  for n in $partitions; do
    image=$board/emmc/p$n.img
    [ -f "$image" ] || : > "$image"
    touch "$root/dev/mmcblk0p$n"
    mount --bind "$image" "$root/dev/mmcblk0p$n"
  done
fi

# --- /sys: only the eMMC's block device tree, as the board has it.
mount -t tmpfs -o mode=755 sandbox-sys "$root/sys"
mkdir -p "$root/sys/block"
if [ -e "$board/emmc/present" ]; then
  mkdir -p "$root/sys/block/mmcblk0"
  for n in $partitions; do
    mkdir -p "$root/sys/block/mmcblk0/mmcblk0p$n"
  done
fi

mount -t proc proc "$root/proc"

# --- the board: its directory, /tmp (empty at every start, kept in the
# board for inspection), /user (eMMC partition 1), the USB stick.
mount --bind "$board" "$root/sandbox/board"
touch "$root/sandbox/isolated"
rm -rf "$board/tmp"
mkdir -p "$board/tmp"
if [ -n "${SANDBOX_TMP_SIZE:-}" ]; then
  # A /tmp with only this much room, as on a switch whose RAM is short.
  mount -t tmpfs -o "size=$SANDBOX_TMP_SIZE,mode=1777" sandbox-tmp "$root/tmp"
else
  mount --bind "$board/tmp" "$root/tmp"
fi
if [ -e "$board/emmc/present" ] && [ -d "$board/emmc/p1" ] && [[ " $partitions " == *" 1 "* ]]; then
  mount --bind "$board/emmc/p1" "$root/user"
  printf '/dev/mmcblk0p1 /user\n' > "$board/run/mounts"
else
  : > "$board/run/mounts"
fi
# The system's USB handling announces a mounted stick with the marker
# /tmp/usb: at once, or, when the board says so (usb-mount-after), once the
# launcher has slept that many more seconds (counted time, see
# platform/sandbox), or never.
rm -f "$board/run/usb-mount-at"
[ -d "$board/usb" ] && mount --bind "$board/usb" "$root/mnt/usb"
usb_after=$(cat "$board/usb-mount-after" 2>/dev/null || true)
if [ "$usb_after" = never ]; then
  :
elif [ -n "$usb_after" ]; then
  slept=$(cat "$board/slept-us" 2>/dev/null || echo 0)
  awk -v s="${slept:-0}" -v a="$usb_after" 'BEGIN { printf "%.0f\n", s + a * 1000000 }' \
    > "$board/run/usb-mount-at"
elif [ -d "$board/usb" ]; then
  touch "$root/tmp/usb"
fi

# --- files given with --put, read-only
while IFS= read -r put; do
  [ -n "$put" ] || continue
  src=${put%%=*}; dest=${put#*=}
  mkdir -p "$root$(dirname "$dest")"
  touch "$root$dest"
  mount --bind "$src" "$root$dest"
  mount -o remount,bind,ro "$root$dest"
done <<< "${SANDBOX_PUTS:-}"

# --- the network: lo, and eth0, a veth whose far end sw0 lies in a network
# namespace of its own, the other side of the wire (its holder's PID goes to
# /run/far-end.pid). The far end holds 192.0.2.1/24, where the servers of the
# switch's network listen; the board's link setting brings sw0 up or down,
# which is what eth0's carrier follows. Traffic to 192.0.2.1 really crosses
# the wire, so a link that is down makes those servers unreachable.
ip link set lo up
ip link add eth0 type veth peer name sw0
unshare --net /bin/busybox sleep 2147483647 < /dev/null > /dev/null 2>&1 &
far=$!
for _ in $(seq 100); do
  [ "$(readlink "$root/proc/$far/ns/net")" != "$(readlink "$root/proc/$$/ns/net")" ] && break
  sleep 0.01
done
ip link set sw0 netns "$far" || fail "cannot move the far end of eth0 into its own namespace"
far_net() { nsenter --net="$root/proc/$far/ns/net" "$@"; }
far_net ip link set lo up
far_net ip addr add 192.0.2.1/24 dev sw0
# Servers bind their address even while the far end is down.
far_net sysctl -qw net.ipv4.ip_nonlocal_bind=1 || true
link=$(cat "$board/link" 2>/dev/null || echo up)
if [ "$link" = "up" ]; then
  far_net ip link set sw0 up
fi
# A switch without the port: the wire stays, under a name the launcher
# never asks for. One whose port driver cannot report its link: eth0 is
# then an ifb device, which answers no ETHTOOL_GLINK.
if [ "$link" = "absent" ] || [ "$link" = "unreported" ]; then
  ip link set eth0 name eth9
fi
if [ "$link" = "unreported" ]; then
  ip link add eth0 type ifb && ip link set eth0 up || fail "cannot make eth0 an ifb device"
fi
mkdir -p "$root/run"
echo "$far" > "$root/run/far-end.pid"

# --- into the switch; the machine's filesystem is gone after this.
mkdir -p "$root/.oldroot"
cd "$root"
pivot_root . .oldroot
cd /
/bin/busybox umount -l /.oldroot
/bin/busybox rmdir /.oldroot

# --- the TFTP server of the switch's network: tftpd-hpa in the foreground
# on the far end of eth0, serving the board's tftp/ directory (chrooted
# there). It is a child of the switch's first process and ends with it. It
# runs in a session of its own: a server across the wire never sees the
# switch's console, and a Ctrl-C typed there must not stop it.
if [ -e /usr/libexec/sandbox/keep-groups.so ] && [ -d /sandbox/board/tftp ]; then
  /bin/busybox setsid /bin/busybox nsenter -t "$far" -n -- /bin/busybox env \
    LD_PRELOAD=/usr/libexec/sandbox/keep-groups.so /usr/sbin/in.tftpd --foreground --user root --address 192.0.2.1:69 \
    --secure /sandbox/board/tftp < /dev/null > /dev/null 2>&1 &
  # Serving before the switch's first command runs: port 69 is 0045.
  for _ in $(/bin/busybox seq 100); do
    /bin/busybox grep -q '^ *[0-9]*: [0-9A-F]*:0045 ' "/proc/$far/net/udp" && break
    /bin/busybox usleep 20000
  done
fi

# A clean environment, as the switch's init gives; only the terminal and
# the test settings pass in.
keep=(PATH=/sbin:/usr/sbin:/bin:/usr/bin HOME=/root SHELL=/bin/sh)
for name in TERM COLUMNS LINES SANDBOX_SPEED ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS \
            GTEST_COLOR GTEST_FILTER GTEST_OUTPUT GTEST_SHUFFLE GTEST_RANDOM_SEED; do
  [ -n "${!name+x}" ] && keep+=("$name=${!name}")
done
# A coverage build (scripts/mutate) writes its counts into the board.
[ -n "${SANDBOX_COVERAGE:-}" ] && keep+=(GCOV_PREFIX=/sandbox/board/gcov)
exec /bin/busybox env -i "${keep[@]}" /bin/busybox sh -c 'trap : INT QUIT; "$@"; exit $?' switch-init "$@"
