// Program entry of tarsel-records.
#include "records/records.h"

int main(int argc, char** argv) { return records::recordsMain(argc, argv); }
