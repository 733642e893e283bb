// The rescue menu on the serial console: the operator's last way to get a
// switch back. Downloads (TFTP, XMODEM, USB stick) go through the installer;
// hidden options show versions, set the MAC address, wipe the keys and run
// the diagnostics.
#pragma once

// 1 when the operator leaves the menu without a reboot; otherwise it does
// not return.
int rescue_menu();

// The USB chooser's answer: a line starting with a decimal number (leading
// blanks allowed, the rest ignored). 1 with the number, 0 for anything else.
int parse_file_number(const char* line, long long* number);

// Lists the stick's files and installs the one the operator chooses. The
// installer's result, or 0 when nothing was installed.
int usb_rescue();

// Sets up the management port, fetches "/tmp/image" from a TFTP server and
// installs it. The installer's result, or 0 when the dialogue was left or
// the download failed.
int tftp_rescue();

// Receives "/tmp/image" by XMODEM on the console line at 115200 bps and
// installs it. The installer's result, or 0 when nothing was received.
int xmodem_rescue();

// Shows the version of every installed component. Always 0.
int show_versions();
