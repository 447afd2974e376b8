// placeholder until this part is written
#include "patchdata/patchdata.h"
void CreatePatchRecord(const wchar_t*) {}
ResultCode RecordPatch(const wchar_t*) { return RC_UNKNOWN; }
