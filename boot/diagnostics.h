// Two special boots: the diagnostics or recovery image stored in the
// rescue flash partition, and the debugger fetched from the slot that is
// not booted for debugger mode.
#pragma once

// Boots the rescue partition's component. 0 when it holds no usable
// component; otherwise it does not return.
int launch_diagnostics();

// Unpacks the debugger from the other slot (2 when `slot` is 1, 1 when it
// is 2) to /tmp/gdb. 1 when its payload was copied and unpacked, else 0.
int extract_gdb(int slot);
