#!/usr/bin/env bash
# Boots a large slot image in the sandbox and compares the launcher with
# the floor of the same work done by plain tools.
#
#   bench/boot_bench.sh [BUILD_DIR]      (BOOT_BENCH_MIB=256 by default)
#
# Prints the launcher's peak resident memory (the whole process tree: the
# launcher and the tar, gzip and shell it runs) and the elapsed time of the
# boot against the floor: reading the image once and writing its payload
# once (one dd of the image in the same sandbox, which reads every byte and
# writes every byte). Each is run several times, alternately, after a sync
# (so that one run's writes are not flushed in the next one's time), and
# the fastest run of each is compared: other work on the machine only ever
# adds time. Fixed waits of the launcher are scaled away with SANDBOX_SPEED.
#
# The start-up around the boot (setting the clock, checking and mounting
# /user, starting the application) costs the same whatever the image's
# size, and in the sandbox it is mostly the fake outside programs, shell
# scripts that cost far more than the switch's own. It is measured with the
# same boot of a 1 MiB slot, and the part of the boot that grows with the
# image (the boot minus that start-up) is compared with the floor too.
# The launcher copies in pieces of 256 KiB; the floor keeps dd's 64 KiB
# blocks, and the same dd with 256 KiB blocks is shown beside it, so that
# what the piece size alone gains can be told from the rest.
# The launcher timed is bootlauncher-bench (the launcher built with the
# switch's optimisation) when the build has it. Never fails on a figure.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(readlink -f "${1:-$top/build/host}")
mib=${BOOT_BENCH_MIB:-256}
runs=${BOOT_BENCH_RUNS:-3}
launcher=$build/bootlauncher-bench
[ -x "$launcher" ] || launcher=$build/bootlauncher-sandbox
work=$build/boot-bench
rm -rf "$work"
mkdir -p "$work/app/home/bin"

# The payload: a small application archive, then filler up to the size.
# gzip stops at the end of its stream, so tar unpacks only the program and
# the time goes to checking and copying the image, which is what is measured.
# The start-up's own cost is measured with the same archive and 1 MiB of
# filler.
printf '#!/bin/sh\necho boot-bench-app-up\n' > "$work/app/home/bin/mp.elf.strip"
chmod +x "$work/app/home/bin/mp.elf.strip"
tar czf "$work/archive" -C "$work/app" home
for image in image1:$((mib * 1024 * 1024)) small:1048576; do
  { cat "$work/archive"; head -c "${image#*:}" /dev/urandom; } > "$work/payload"
  "$build/imgtool" pack -o "$work/${image%%:*}" --type application --format 1 \
    --version 1.0.0.0 "$work/payload" > /dev/null
done
size=$(stat -c %s "$work/image1")

"$top/sandbox/mkboard" "$work/board" --slot "1=$work/image1" --rtc "2026-01-01 00:00:00"
cp "$work/small" "$work/board/emmc/p1/small"
# The switch's own time tool measures inside the sandbox: elapsed seconds
# and the peak resident set of everything it waited for.
script='
  boot() {
    sync
    /bin/busybox time -f "$1 %e s %M KiB" sh -c "/sbin/bootlauncher > /tmp/boot.out 2>&1"
    grep -q boot-bench-app-up /tmp/boot.out || { echo "the image did not boot:"; cat /tmp/boot.out; exit 1; }
    rm -rf /tmp/home
  }
  i=0
  while [ $i -lt '"$runs"' ]; do
    boot launcher
    sync
    /bin/busybox time -f "floor %e s" sh -c "dd if=/user/images/image1 of=/tmp/floor bs=65536 2>/dev/null"
    rm -f /tmp/floor
    sync
    /bin/busybox time -f "floor-256k %e s" sh -c "dd if=/user/images/image1 of=/tmp/floor bs=262144 2>/dev/null"
    rm -f /tmp/floor
    mv /user/images/image1 /user/large && cp /user/small /user/images/image1
    boot start-up
    mv /user/large /user/images/image1
    i=$((i + 1))
  done
'
SANDBOX_SPEED=1000000 "$top/sandbox/enter" --put "$launcher=/sbin/bootlauncher" \
  "$work/board" -- sh -c "$script" 2> "$work/times" || { cat "$work/times"; exit 1; }
cat "$work/times"
awk -v mib="$mib" -v size="$size" -v runs="$runs" '
  function least(old, new) { return old == "" || new < old ? new : old }
  /^launcher/ { t = least(t, $2); if ($4 > kib) kib = $4 }
  /^floor / { floor = least(floor, $2) }
  /^floor-256k/ { floor256 = least(floor256, $2) }
  /^start-up/ { fixed = least(fixed, $2) }
  END {
    printf "boot of a %d MiB slot image (%d bytes), fastest of %d runs: %.2f s, peak resident %.1f MiB (goal <= 16 MiB)\n", mib, size, runs, t, kib / 1024
    if (floor > 0) {
      printf "floor (read once + write once): %.2f s; launcher / floor = %.2f\n", floor, t / floor
      printf "start-up (the same boot of a 1 MiB slot): %.2f s; (launcher - start-up) / floor = %.2f (goal <= 2)\n", fixed, (t - fixed) / floor
      if (floor256 > 0) printf "floor with 256 KiB blocks: %.2f s; (launcher - start-up) / it = %.2f\n", floor256, (t - fixed) / floor256
    }
  }' "$work/times"
rm -rf "$work"
