// The rescue menu on the serial console.
#pragma once

// 1 when the operator leaves the menu without a reboot; otherwise it does
// not return.
int rescue_menu();
