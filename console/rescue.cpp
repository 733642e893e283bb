#include "console/rescue.h"

// The rescue menu is not built yet: it returns as if the operator had left
// it at once.
int rescue_menu() {
    return 1;
}
