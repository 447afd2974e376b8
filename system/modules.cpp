// placeholder until this part is written
#include "system/system.h"
ResultCode ReplaceModules() { return RC_UNKNOWN; }
ResultCode BackupAndReplaceModule(const wchar_t*, const wchar_t*) { return RC_UNKNOWN; }
