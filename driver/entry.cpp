// Process entry of the Windows program.
#include "driver/driver.h"

int wmain(int argc, wchar_t** argv) { return RunEntry(argc, argv); }
