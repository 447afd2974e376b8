// `-c undo`: the current patch taken back. Everything that could refuse the
// undo is checked before anything is changed; then, in the apply's order,
// the product is stopped, the originals are put back, the record is
// changed, the per-patch backup goes and the product is started again.
#include "driver/driver.h"
#include "patchdata/patchdata.h"
#include "shared/shared.h"
#include "system/system.h"

ResultCode PerformUndo() {
  ResultCode result = CheckInstalledProduct();
  if (result != RC_SUCCEED) return result;
  // Not applied (16, 17), or a later patch over it (23).
  wchar_t recordPath[kPathChars] = {};
  result = CheckPatchIsCurrent(recordPath);
  if (result != RC_SUCCEED) return result;
  // Every original is there to be put back (13).
  result = ForEachListedModule(CheckModuleBackup);
  if (result != RC_SUCCEED) return result;

  result = RunServicePhase(StopServicesWorker, RC_STOP_SERVICE_FAILED);
  if (result != RC_SUCCEED) return result;
  EndProductPrograms();
  // The backups stay until the record no longer lists the patch: a run cut
  // off before that finds the patch still current and puts them back again.
  result = ForEachListedModule(RestoreModule);
  if (result != RC_SUCCEED) return result;
  result = UnrecordPatch(recordPath);
  if (result != RC_SUCCEED) return result;
  ForEachListedModule(RemoveModuleBackup);
  RemovePatchBackupFolder();
  // The record already tells the truth about the files.
  return RunServicePhase(StartServicesWorker, RC_START_SERVICE_FAILED);
}
