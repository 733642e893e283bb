#!/usr/bin/env bash
# Installs a large production-signed application component into an image
# slot in the sandbox and compares the installer with the floor of the same
# work done by plain tools in the same run.
#
#   bench/install_bench.sh [BUILD_DIR]      (INSTALL_BENCH_MIB=256 by default)
#
# The installer (install_bench_driver: the installer as the rescue menu
# runs it, built with the switch's optimisation) checks the CRC, hashes the
# payload for the signature and writes the slot file. It installs the
# container as a download leaves it, in /tmp (RAM, mapped by the
# installer), and once from the USB stick (read whole into private
# memory). The floor is `openssl dgst -sha256` of the container plus a `cp`
# of it onto the same eMMC directory. Also printed: the installer's peak
# anonymous memory (RssAnon, sampled while it runs) for both: a mapped
# download counts as file pages, a component read from the stick as
# anonymous memory. Fixed waits are scaled away with SANDBOX_SPEED. Never
# fails on a figure.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(readlink -f "${1:-$top/build/host}")
mib=${INSTALL_BENCH_MIB:-256}
work=$build/install-bench
rm -rf "$work"
mkdir -p "$work"

head -c $((mib * 1024 * 1024)) /dev/urandom > "$work/payload"
"$build/imgtool" pack -o "$work/image" --type application --version 1.0.0.1 \
  --sign "$top/keys/test/production.key.pem" "$work/payload" > /dev/null
rm "$work/payload"
size=$(stat -c %s "$work/image")
mkdir "$work/stick"
"$top/sandbox/mkboard" "$work/board" --usb "$work/stick"

# The floor, on this machine in this run: hash the file, copy it. Once with
# OpenSSL as it runs here (SHA instructions where the CPU has them), once
# with its portable code, as on the switch's CPU, which has no such
# instructions. Elapsed, user and system seconds.
floor_of() {
  local TIMEFORMAT='%R %U %S'
  { time { env "$@" openssl dgst -sha256 "$work/image" > /dev/null
           cp "$work/image" "$work/board/emmc/p1/floor-copy"; } ; } 2>&1
  rm "$work/board/emmc/p1/floor-copy"
}
echo "floor $(floor_of)" > "$work/times"
echo "portable $(floor_of OPENSSL_ia32cap=0)" >> "$work/times"

# The installer inside the switch: timed alone on the download, then on
# the download and on the stick with its RssAnon read from /proc every
# 20 ms by the shell's own read (no process started per sample).
script='
  cp /opt/image /tmp/image && cp /opt/image /mnt/usb/image || exit 1
  /bin/busybox time -f "installer %e %U %S" /opt/tests/install_bench_driver /tmp/image 0 1 \
    > /tmp/install.out 2> /tmp/time.out
  grep -q "image_install: 1" /tmp/install.out || { echo "the image was not installed:"; cat /tmp/install.out; exit 1; }
  tail -n 1 /tmp/time.out
  peak_of() {
    /opt/tests/install_bench_driver "$2" 0 2 > /tmp/install.out 2>&1 &
    pid=$!
    peak=0
    while [ -e /proc/$pid/status ]; do
      state=
      while read -r key value _; do
        case $key in
          State:) state=$value ;;
          RssAnon:) [ "$value" -gt "$peak" ] && peak=$value ;;
        esac
      done 2>/dev/null < /proc/$pid/status || true
      [ "$state" = Z ] && break
      sleep 0.02
    done
    wait $pid
    grep -q "image_install: 1" /tmp/install.out || { echo "$2 was not installed"; exit 1; }
    echo "$1 $peak"
  }
  peak_of rssanon /tmp/image
  peak_of rssanon_usb /mnt/usb/image
'
SANDBOX_SPEED=1000000 "$top/sandbox/enter" \
  --put "$build/install_bench_driver=/opt/tests/install_bench_driver" --put "$work/image=/opt/image" \
  "$work/board" -- sh -c "$script" >> "$work/times" || { cat "$work/times"; exit 1; }
for slot in 1 2; do
  cmp -s "$work/image" "$work/board/emmc/p1/images/image$slot" || { echo "slot file $slot differs"; exit 1; }
done
awk -v mib="$mib" -v size="$size" '
  /^floor/ { fl = $2; floor_cpu = $3 + $4 }
  /^portable/ { portable = $2; portable_cpu = $3 + $4 }
  /^installer/ { t = $2; cpu = $3 + $4 }
  /^rssanon / { kib = $2 }
  /^rssanon_usb / { usb_kib = $2 }
  END {
    printf "install of a %d MiB signed application (%d bytes) into a slot from /tmp: %.2f s elapsed, %.2f s CPU; peak RssAnon %.1f MiB (goal <= 16 MiB)\n", mib, size, t, cpu, kib / 1024
    printf "the same from the USB stick, read into memory: peak RssAnon %.1f MiB (goal: the component, %.1f MiB, + 16 MiB)\n", usb_kib / 1024, size / 1048576
    if (fl > 0) printf "floor (openssl dgst -sha256 + cp): %.2f s elapsed, %.2f s CPU; installer / floor = %.2f elapsed (goal <= 1.5), %.2f CPU\n", fl, floor_cpu, t / fl, (floor_cpu > 0 ? cpu / floor_cpu : 0)
    if (portable > 0) printf "floor with portable OpenSSL (OPENSSL_ia32cap=0, as on the switch CPU): %.2f s elapsed; installer / floor = %.2f\n", portable, t / portable
  }' "$work/times"
rm -rf "$work"
