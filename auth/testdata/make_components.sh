#!/usr/bin/env bash
# Makes the signed components of the signature-policy tests: one root
# filesystem component (HDR3, 200-byte payload) packed by imgtool and signed
# by OpenSSL with the test production key, and the same payload signed with
# the test development key. Run after building imgtool (and again after the
# test keys change):
#   auth/testdata/make_components.sh [build/host/imgtool]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
imgtool=${1:-$root/build/host/imgtool}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 13 + 5) & 0xFF for i in range(200)))' \
  > "$work/payload"
for key in production development; do
  "$imgtool" pack -o "$here/rootfs_$key.img" --type rootfs --version 4.0.0.1 \
    --sign "$root/keys/test/$key.key.pem" "$work/payload"
  "$imgtool" verify --key "$root/keys/test/$key.pub.pem" "$here/rootfs_$key.img"
done
