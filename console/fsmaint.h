// Filesystem maintenance of the eMMC card and the standalone diagnostics.
#pragma once

// Checks (and if need be repairs or re-creates) the filesystem on /user;
// `limit` bounds the update question in tenths of a second (0: no limit).
// 1, except 0 when a confirmed re-creation failed.
int check_filesystem(unsigned limit);

// Backs up /user, repartitions and reformats the eMMC card and restores the
// files; `interactive` asks first. 1 when done or declined, 0 when a step
// failed. A step that fails after the backup was made puts the files back
// on /user, or says that they are in /tmp/backup when /user cannot be
// mounted.
int update_filesystem(unsigned limit, int interactive);

// Runs the diagnostics image of the rescue partition when allowed; returns
// only when it was refused (0) or could not be booted (1).
int run_standalone_diags();
