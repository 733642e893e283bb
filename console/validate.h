// Checks on operator input that ends up inside a shell command line.
//
// The rescue downloads and the MAC address dialogue build commands such as
// "tftp -g -r NAME ..." and "ifconfig eth0 hw ether MAC" and hand them to
// the shell. Only text made of harmless characters may go there, so that a
// line typed on the console (or noise on the serial line) can never run a
// command of its own.
#pragma once

// 1 when `name` is a plain TFTP file name: not empty, only letters, digits
// and the characters . _ - / +, and not starting with '-' (which the tftp
// client would take for an option). 0 otherwise, and for a null pointer.
int tftp_filename_valid(const char* name);

// 1 when `text` is exactly six groups of one or two hexadecimal digits
// separated by ':' (as 00:1a:2B:3:4:5), with nothing before or after. 0
// otherwise, and for a null pointer.
int mac_address_valid(const char* text);
