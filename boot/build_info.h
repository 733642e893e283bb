// What this build of the launcher is: its version and target, shown at
// start-up so that an operator can tell which launcher a switch runs.
#pragma once

// One line such as "bootlauncher 0.1.0 (powerpc)". A build
// whose built-in signing keys are the test keys of keys/test/ ends the
// parenthesis with ", TEST KEYS".
const char* build_info_line();
