// The key store: the production and development public keys that image
// signatures are checked against.
#pragma once

// Loads both keys; 1 when both were loaded, else 0.
int imgsign_loadSystemKeys();
