#include "auth/keystore.h"

// The key store is not built yet: loading reports success and loads
// nothing, so start-up goes on as with keys in place.
int imgsign_loadSystemKeys() {
    return 1;
}
