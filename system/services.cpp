// placeholder until this part is written
#include "system/system.h"
ResultCode ControlNamedService(ServiceAction, const wchar_t*) { return RC_UNKNOWN; }
int32_t StopServicesWorker() { return RC_UNKNOWN; }
int32_t StartServicesWorker() { return RC_UNKNOWN; }
