#include "driver/run_plan.h"

#include <cwchar>

#include "driver/run_items.h"
#include "patchdata/module_names.h"
#include "shared/run_log.h"

ResultCode ReadModulePlans(const std::vector<std::wstring>& names, RunPlan* plan) {
  plan->modules.clear();
  for (const std::wstring& name : names) {
    bool seen = false;
    for (const ModulePlan& earlier : plan->modules) seen = seen || SameIgnoringAsciiCase(earlier.name, name);
    if (seen) {
      LogEvent(L"module %ls: listed more than once; handled once", name.c_str());
      continue;
    }
    ModulePlan module;
    const ResultCode result = ReadModulePlan(plan->install.folder, name.c_str(), HeldModule::kReadLater, &module);
    if (result != RC_SUCCEED) return result;
    plan->modules.push_back(module);
  }
  return RC_SUCCEED;
}

ResultCode ReadApplyPlan(const InstallInfo& install, RunPlan* plan) {
  plan->install = install;
  plan->description = ReadPatchDescription();
  ResultCode result = CheckInstalledProduct(install, plan->description);
  if (result != RC_SUCCEED) {
    LogPatchState(plan->description, plan->recordPath, result);
    return result;
  }
  plan->patchState = EvaluatePatchState(install, plan->description, plan->recordPath);
  LogPatchState(plan->description, plan->recordPath, plan->patchState);
  if (plan->patchState != RC_NOT_PATCHED && plan->patchState != RC_RECORD_MISSING) return plan->patchState;
  if (!BuildPath(plan->patchFolder, install.folder, kBackupRootName, g_backupFolderName)) {
    return RC_CREATE_BACKUP_DIR_FAILED;
  }

  return ReadModulesToReplace(plan);
}

ResultCode ReadModulesToReplace(RunPlan* plan) {
  // Every listed module is read and checked before anything is changed:
  // every name is one the tool accepts, every new copy is there, and each
  // module is found in a state the apply knows how to take forward.
  std::vector<std::wstring> names;
  ResultCode result = ReadModuleList(&names);
  if (result != RC_SUCCEED) return result;
  result = ReadModulePlans(names, plan);
  if (result != RC_SUCCEED) return result;
  for (const ModulePlan& module : plan->modules) {
    result = CheckModuleCanBeReplaced(module);
    if (result != RC_SUCCEED) return result;
  }
  return RC_SUCCEED;
}
