// Program entry: the conversion driver does the work.
#include "driver/driver.h"

int main(int argc, char** argv) { return tarselMain(argc, argv); }
