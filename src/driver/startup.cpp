#include "driver/driver.h"

int tarselMain(int, char**) { return 0; }
