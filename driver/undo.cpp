// `-c undo`: a patch taken back. Everything that could refuse the undo is
// checked before anything is changed; then, in the apply's order, the
// product is stopped, the originals are put back and the product is
// started again, and only once it runs on the originals does the record
// change and the per-patch backup go. A failure on the way puts the new
// copies back and starts the product again, leaving the record and the
// backup as they were.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/run_items.h"
#include "patchdata/patchdata.h"
#include "shared/run_log.h"
#include "shared/shared.h"
#include "system/system.h"

namespace {

// Every module the description lists has its original in the backup. 0 or 13.
ResultCode CheckListedModulesBackedUp(const std::vector<std::wstring>& backedUp) {
  wchar_t installFolder[kPathChars] = {};
  std::vector<std::wstring> listed;
  ResultCode result = ReadListedModules(installFolder, &listed);
  if (result != RC_SUCCEED) return result;
  for (const std::wstring& module : listed) {
    if (CheckModuleBackup(installFolder, module.c_str()) != RC_SUCCEED ||
        std::find(backedUp.begin(), backedUp.end(), module) == backedUp.end()) {
      LogEvent(L"module %ls: listed, but the backup holds no original of it", module.c_str());
      return RC_MOVE_FILE_FAILED;
    }
  }
  return RC_SUCCEED;
}

}  // namespace

ResultCode PerformUndo() {
  AttachRunLogToProduct();
  LogRunStart(L"undo");
  return [] {
    ResultCode checked = CheckInstalledProduct();
    wchar_t recordPath[kPathChars] = {};
    if (checked != RC_SUCCEED) {
      LogPatchState(recordPath, checked);
      return checked;
    }
    // Current (0), not applied (16, 17), or a later patch over it (23).
    ResultCode state = CheckPatchIsCurrent(recordPath);
    LogPatchState(recordPath, state);
    if (state != RC_SUCCEED && state != RC_NOT_PATCHED && state != RC_RECORD_MISSING) return state;
    // A record that is there but could not be read may list the patch:
    // what the backup holds is then not known to be an unfinished apply's.
    if (state == RC_RECORD_MISSING && !RecordAbsentOrBlank(recordPath)) {
      state = CheckPatchIsCurrent(recordPath);
      LogPatchState(recordPath, state);
      if (state == RC_RECORD_MISSING) {
        LogEvent(L"the record %ls is there but cannot be read", recordPath);
        return RC_XML_LOAD_FAILED;
      }
      if (state != RC_SUCCEED && state != RC_NOT_PATCHED) return state;
    }

    // The per-patch backup is the list of what the apply replaced.
    std::vector<std::wstring> modules;
    checked = ListBackedUpModules(&modules);
    if (checked != RC_SUCCEED) return checked;
    wchar_t installFolder[kPathChars] = {};
    if (ReadInstallValue(L"Path", installFolder, kPathChars) != RC_SUCCEED) return RC_REGISTRY_READ_FAILED;
    const bool recorded = state == RC_SUCCEED;
    if (recorded) {
      checked = CheckListedModulesBackedUp(modules);
      if (checked != RC_SUCCEED) return checked;
    } else if (modules.empty()) {
      // Not applied, and no apply was cut off half way: nothing to undo.
      return state;
    } else {
      LogEvent(L"the record does not list the patch, but the backup holds %d original(s) of an apply that "
               L"did not finish: they go back",
               static_cast<int>(modules.size()));
    }

    WorkItemList work;
    checked = work.Do(StopProductItem());
    if (checked != RC_SUCCEED) {
      work.RollBack();
      return checked;
    }
    EndProductPrograms();
    for (const std::wstring& module : modules) {
      checked = work.Do(ModuleItem(L"put back the original of", installFolder, module, RestoreModule, RestoreNewCopy,
                                    true));
      if (checked != RC_SUCCEED) {
        work.RollBack();
        return checked;
      }
    }
    checked = work.Do(StartProductItem());
    if (checked != RC_SUCCEED) {
      work.RollBack();
      return checked;
    }
    // The product runs on the originals: now the record and the backup.
    if (recorded) {
      char previous[kValueBytes] = {};
      const bool kept = ReadPreviousCurrent(recordPath, previous, sizeof previous);
      checked = UnrecordPatch(recordPath, kept ? previous : nullptr);
      if (checked != RC_SUCCEED) {
        LogEvent(L"the record %ls cannot be changed: the new copies go back", recordPath);
        work.RollBack();
        return checked;
      }
      LogEvent(L"the patch is off the record %ls", recordPath);
    }
    for (const std::wstring& module : modules) RemoveModuleBackup(installFolder, module.c_str());
    ForgetPreviousCurrent(recordPath);
    RemovePatchBackupFolder();
    return RC_SUCCEED;
  }();
}

ResultCode RunUndo() {
  BeginRunLog();
  const ResultCode result = RunExclusively(PerformUndo);
  AttachRunLogToProduct();  // a run that could not start logs its outcome too
  LogOutcome(result);
  EndRunLog();
  return result;
}
