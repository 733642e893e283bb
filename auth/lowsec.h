// Low security mode, established by the operator's physical presence at the
// switch, and the key wipe.
#pragma once

// 1 when low security mode is in force, else 0.
int lowsec_active();

// Creates (on non-zero) or removes (0) the marker of low security mode.
// Always 0.
int lowsec_setMarker(int on);

// The physical-presence test on the location LED. 1 when the mode was
// established, kept or switched off; 0 when the operator declined or
// interrupted. A third wrong answer resets the board.
int lowsec_physicalPresenceTest();

// Removes the key files after the operator's confirmation. Always 1.
int imgsign_wipeKeys();
