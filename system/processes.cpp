// placeholder until this part is written
#include "system/system.h"
int TerminateProcessByName(const wchar_t*) { return 0; }
