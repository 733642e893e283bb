#!/usr/bin/env bash
# Makes signed_1286.img: a kernel component in the HDR3 format with one
# signature entry (256 bytes, test production key) and a 1000-byte payload,
# packed by imgtool. Run after building imgtool (and again after the test
# keys change):
#   image/testdata/make_fixture.sh [build/host/imgtool]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
imgtool=${1:-$root/build/host/imgtool}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7 + 3) & 0xFF for i in range(1000)))' \
  > "$work/payload"
"$imgtool" pack -o "$here/signed_1286.img" --type kernel --format 3 --version 1.2.3.4 \
  --sign "$root/keys/test/production.key.pem" "$work/payload"
"$imgtool" verify --key "$root/keys/test/production.pub.pem" "$here/signed_1286.img"
