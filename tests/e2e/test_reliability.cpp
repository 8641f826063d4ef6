// Lost host answers and crashes of Ravo at every point of a sale.
#include "tests/e2e/terminal.h"
