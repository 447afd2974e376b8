#include "driver/run_items.h"

#include "driver/driver.h"
#include "shared/run_log.h"
#include "shared/shared.h"
#include "system/module_restore.h"

#ifndef QLPATCH_VERSION_TEXT
#define QLPATCH_VERSION_TEXT "0.0.0"
#endif

namespace {

// A service phase on a worker thread. `undoWorker` (none: nothing to
// undo) puts back what the phase did, from the ledger.
class ServicePhase : public WorkItem {
 public:
  using Worker = int32_t (*)(void*);
  ServicePhase(const wchar_t* description, Worker worker, ResultCode cannotRun, Worker undoWorker,
               ServiceLedger* ledger, const std::vector<std::wstring>& (ServiceLedger::*changed)() const)
      : description_(description),
        worker_(worker),
        cannotRun_(cannotRun),
        undoWorker_(undoWorker),
        ledger_(ledger),
        changed_(changed) {}
  std::wstring Describe() const override { return description_; }
  ResultCode Do() override { return RunServicePhase(worker_, ledger_, cannotRun_); }
  bool Undo() override {
    if (undoWorker_ == nullptr || (ledger_->*changed_)().empty()) return true;  // no service was changed
    return RunServicePhase(undoWorker_, ledger_, RC_START_SERVICE_FAILED, WorkerStart::kTryAgain) == RC_SUCCEED;
  }

 private:
  std::wstring description_;
  Worker worker_;
  ResultCode cannotRun_;
  Worker undoWorker_;
  ServiceLedger* ledger_;
  const std::vector<std::wstring>& (ServiceLedger::*changed_)() const;
};

class ModuleStep : public WorkItem {
 public:
  ModuleStep(const ModulePlan& module, ModuleAction action) : module_(module), action_(action) {}
  std::wstring Describe() const override {
    return (action_ == ModuleAction::kReplace ? L"replace " : L"put back the original of ") + module_.name;
  }
  ResultCode Do() override {
    if (module_.read == ModuleRead::kHeldOpen) {
      // Held open when the run began; the product is stopped now.
      const std::wstring installFolder = module_.installFolder;
      const std::wstring name = module_.name;
      const ResultCode read = ReadModulePlan(installFolder.c_str(), name.c_str(), HeldModule::kWaitOut, &module_);
      if (read != RC_SUCCEED) return read;
      if (action_ == ModuleAction::kReplace) {
        const ResultCode usable = CheckModuleCanBeReplaced(module_);
        if (usable != RC_SUCCEED) return usable;
      }
    }
    return action_ == ModuleAction::kReplace ? BackupAndReplaceModule(module_, &change_)
                                             : RestoreModule(module_, &change_);
  }
  bool Undo() override { return PutModuleBackAsFound(module_, change_) == RC_SUCCEED; }

 private:
  ModulePlan module_;
  ModuleAction action_;
  ModuleChange change_;
};

class BackupFolder : public WorkItem {
 public:
  explicit BackupFolder(const wchar_t* patchFolder) : patchFolder_(patchFolder) {}
  std::wstring Describe() const override { return L"the per-patch backup folder"; }
  ResultCode Do() override { return RC_SUCCEED; }  // made with the first module
  bool Undo() override {
    RemovePatchBackupFolder(patchFolder_.c_str());
    return true;
  }

 private:
  std::wstring patchFolder_;
};

}  // namespace

std::unique_ptr<WorkItem> SurveyServicesItem(ServiceLedger* ledger) {
  return std::make_unique<ServicePhase>(L"read the product's services", SurveyServicesWorker,
                                        RC_STOP_SERVICE_FAILED, nullptr, ledger,
                                        &ServiceLedger::StopOrder);
}

std::unique_ptr<WorkItem> StopServicesItem(ServiceLedger* ledger) {
  return std::make_unique<ServicePhase>(L"stop the product's services", StopServicesWorker,
                                        RC_STOP_SERVICE_FAILED, RestartStoppedServicesWorker, ledger, &ServiceLedger::StopOrder);
}

std::unique_ptr<WorkItem> StopAgainItem(ServiceLedger* ledger) {
  return std::make_unique<ServicePhase>(L"look that the services are still stopped", StopAgainWorker,
                                        RC_STOP_SERVICE_FAILED, nullptr,
                                        ledger, &ServiceLedger::StopOrder);
}

std::unique_ptr<WorkItem> StartServicesItem(ServiceLedger* ledger) {
  return std::make_unique<ServicePhase>(L"start the product's services", StartServicesWorker,
                                        RC_START_SERVICE_FAILED, StopStartedServicesWorker, ledger, &ServiceLedger::StartOrder);
}

std::unique_ptr<WorkItem> ModuleItem(const ModulePlan& module, ModuleAction action) {
  return std::make_unique<ModuleStep>(module, action);
}

std::unique_ptr<WorkItem> BackupFolderItem(const wchar_t* patchFolder) {
  return std::make_unique<BackupFolder>(patchFolder);
}

void AttachRunLogToProduct(const InstallInfo& install) {
  wchar_t backupRoot[kPathChars] = {};
  if (!install.folderRead || !BuildPath(backupRoot, install.folder, kBackupRootName)) return;
  AttachRunLog(backupRoot);
}

void LogRunStart(const wchar_t* mode) {
  wchar_t version[32] = {};
  os::WidenText(os::kAnsiCodePage, QLPATCH_VERSION_TEXT, version, 32);
  LogEvent(L"qlpatch %ls, %ls", version, mode);
}

void LogPatchState(const PatchDescription& description, const wchar_t* recordPath, ResultCode state) {
  wchar_t wideVersion[kNameChars] = {}, wideBuild[kNameChars] = {}, widePatch[kNameChars] = {};
  os::WidenText(os::kAnsiCodePage, description.version, wideVersion, kNameChars);
  os::WidenText(os::kAnsiCodePage, description.build, wideBuild, kNameChars);
  os::WidenText(os::kAnsiCodePage, description.patchVersion, widePatch, kNameChars);
  wchar_t message[kMessageChars] = {};
  FormatResultMessage(state, message);
  LogEvent(L"patch: Version %ls, BuildID %ls, PatchVersion %ls; record %ls: %d (%ls)", wideVersion, wideBuild,
           widePatch, recordPath, state, message);
}

void LogOutcome(ResultCode result) {
  wchar_t message[kMessageChars] = {};
  FormatResultMessage(result, message);
  LogEvent(L"outcome: %d (%ls)", result, message);
}
