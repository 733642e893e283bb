// Filesystem maintenance of the eMMC card and the standalone diagnostics.
#pragma once

// Checks (and if need be repairs or re-creates) the filesystem on /user;
// `limit` bounds the update question in tenths of a second (0: no limit).
int check_filesystem(unsigned limit);

// Runs the diagnostics image of the rescue partition when allowed; returns
// only when it was refused or could not be booted.
int run_standalone_diags();
