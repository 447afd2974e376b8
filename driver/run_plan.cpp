#include "driver/run_plan.h"

#include <cwchar>

#include "driver/folder_trust.h"
#include "driver/run_items.h"
#include "patchdata/module_names.h"
#include "shared/run_log.h"

ResultCode ReadModulePlans(const std::vector<std::wstring>& names, RunPlan* plan) {
  plan->modules.clear();
  for (const std::wstring& listed : names) {
    std::wstring name;
    if (ResolveModuleName(plan->install.folder, listed.c_str(), &name) != ModuleNameProblem::kNone) {
      LogEvent(L"module %ls: refused (it leaves the install folder, names a device, the backup folder, a data "
               L"stream or a file of the tool's own)", listed.c_str());
      return RC_MOVE_FILE_FAILED;
    }
    if (name != listed) LogEvent(L"module %ls: is %ls", listed.c_str(), name.c_str());
    for (const ModulePlan& earlier : plan->modules) {
      if (os::SameFileName(earlier.name.c_str(), name.c_str())) {
        LogEvent(L"module %ls: listed twice (as %ls too); a second entry is a mistake in the list, refused",
                 name.c_str(), earlier.name.c_str());
        return RC_MOVE_FILE_FAILED;
      }
    }
    ModulePlan module;
    const ResultCode result = ReadModulePlan(plan->install.folder, name.c_str(), HeldModule::kReadLater, &module);
    if (result != RC_SUCCEED) return result;
    plan->modules.push_back(module);
  }
  return RC_SUCCEED;
}

ResultCode ReadApplyPlan(const RunStart& start, RunPlan* plan) {
  const InstallInfo& install = start.install;
  plan->install = install;
  plan->description = start.description;
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
  const ResultCode ours = RefuseFolderNotOurs(plan->patchFolder);
  if (ours != RC_SUCCEED) return ours;

  result = ReadModulesToReplace(plan);
  return result != RC_SUCCEED ? result : CheckRoomForCopies(*plan, ModuleAction::kReplace);
}

ResultCode CheckRoomForCopies(const RunPlan& plan, ModuleAction action) {
  uint64_t needed = 0;
  for (const ModulePlan& module : plan.modules) {
    uint64_t size = 0;
    if (action == ModuleAction::kReplace) {
      // A module already new, or held open and read later, may need none;
      // counted all the same.
      if (module.found == ModuleFound::kNew && module.read == ModuleRead::kRead) continue;
      os::FileSizeAt(module.name.c_str(), &size);
      needed += size;
    } else if (os::FileSizeAt(module.paths.backup, &size) && size > needed) {
      needed = size;
    }
  }
  uint64_t free = 0;
  if (!os::FreeBytesAt(plan.install.folder, &free)) {
    LogFailure(os::LastError(), L"the free space on the disk of %ls cannot be read; the copies are made as they "
               L"come", plan.install.folder);
    return RC_SUCCEED;
  }
  if (free >= needed + kRoomMarginBytes) return RC_SUCCEED;
  LogEvent(L"not enough room on the disk of %ls: %ls bytes free, %ls needed for the copies and %ls to spare; "
           L"nothing is changed", plan.install.folder, std::to_wstring(free).c_str(),
           std::to_wstring(needed).c_str(), std::to_wstring(kRoomMarginBytes).c_str());
  return RC_COPY_FILE_FAILED;
}

ResultCode RefuseFolderNotOurs(const wchar_t* folder) {
  os::Handle held = nullptr;
  const os::FolderOpen open = os::HoldFolder(folder, &held);
  if (open == os::FolderOpen::kMissing) return RC_SUCCEED;
  if (open == os::FolderOpen::kFailed) {
    LogFailure(os::LastError(), L"the backup folder %ls cannot be opened", folder);
    return RC_CREATE_BACKUP_DIR_FAILED;
  }
  // Its owner could empty it and make it a link, or change what it holds:
  // one made before the backup folder was the tool's (a user's, kept when
  // an admin gave that folder back) is not used.
  const ResultCode result = RefuseUntrustedFolder(open, held, folder);
  if (held != nullptr) os::LetGoOfFolder(held);
  return result;
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

bool FoundWhole(const RunPlan& plan) {
  int originals = 0, news = 0;
  for (const ModulePlan& module : plan.modules) {
    if (module.read == ModuleRead::kHeldOpen) {
      originals += module.backup == BackupFound::kNone ? 1 : 0;
    } else if (module.found == ModuleFound::kOriginal && module.backup != BackupFound::kOther) {
      ++originals;
    } else if (module.found == ModuleFound::kNew) {
      ++news;
    }
  }
  const int all = static_cast<int>(plan.modules.size());
  return originals == all || news == all;
}

bool HeldWithBackup(const std::vector<ModulePlan>& modules) {
  for (const ModulePlan& module : modules) {
    if (module.read == ModuleRead::kHeldOpen && module.backup != BackupFound::kNone) return true;
  }
  return false;
}
