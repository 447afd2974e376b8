#include "driver/run_items.h"

#include "driver/folder_trust.h"

#include "driver/driver.h"
#include "shared/run_log.h"
#include "shared/shared.h"
#include "system/module_restore.h"
#include "system/restart_swap.h"

#ifndef QLPATCH_VERSION_TEXT
#define QLPATCH_VERSION_TEXT "0.0.0"
#endif

namespace {

// The services read, nothing changed.
class SurveyServicesStep : public WorkItem {
 public:
  explicit SurveyServicesStep(ServiceLedger* ledger) : ledger_(ledger) {}
  std::wstring Describe() const override { return L"read the product's services"; }
  ResultCode Do() override { return RunServicePhase(SurveyServicesWorker, ledger_, RC_STOP_SERVICE_FAILED); }
  bool Undo() override { return true; }

 private:
  ServiceLedger* ledger_;
};

// The product's services stopped; undone, every service the ledger says
// this run sent a stop is started again once it has stopped.
class StopServicesStep : public WorkItem {
 public:
  explicit StopServicesStep(ServiceLedger* ledger) : ledger_(ledger) {}
  std::wstring Describe() const override { return L"stop the product's services"; }
  ResultCode Do() override { return RunServicePhase(StopServicesWorker, ledger_, RC_STOP_SERVICE_FAILED); }
  bool Undo() override {
    if (ledger_->StopOrder().empty()) return true;
    return RunServicePhase(RestartStoppedServicesWorker, ledger_, RC_START_SERVICE_FAILED,
                           WorkerStart::kTryAgain) == RC_SUCCEED;
  }

 private:
  ServiceLedger* ledger_;
};

// A look that the services are still stopped, and a stop of any that runs
// again. What it stops goes into the ledger, so the stop step's put-back
// starts it again.
class StopAgainStep : public WorkItem {
 public:
  explicit StopAgainStep(ServiceLedger* ledger) : ledger_(ledger) {}
  std::wstring Describe() const override { return L"look that the services are still stopped"; }
  ResultCode Do() override { return RunServicePhase(StopAgainWorker, ledger_, RC_STOP_SERVICE_FAILED); }
  bool Undo() override { return true; }

 private:
  ServiceLedger* ledger_;
};

// A wait for the services still stopping; what stops is noted in the
// ledger, so the stop step's put-back starts it again as before.
class AwaitStoppedStep : public WorkItem {
 public:
  explicit AwaitStoppedStep(ServiceLedger* ledger) : ledger_(ledger) {}
  std::wstring Describe() const override { return L"wait for the services still stopping"; }
  ResultCode Do() override { return RunServicePhase(AwaitStoppedWorker, ledger_, RC_STOP_SERVICE_FAILED); }
  bool Undo() override { return true; }

 private:
  ServiceLedger* ledger_;
};

// The product's services started; undone, what it started is stopped.
class StartServicesStep : public WorkItem {
 public:
  explicit StartServicesStep(ServiceLedger* ledger) : ledger_(ledger) {}
  std::wstring Describe() const override { return L"start the product's services"; }
  ResultCode Do() override { return RunServicePhase(StartServicesWorker, ledger_, RC_START_SERVICE_FAILED); }
  bool Undo() override {
    if (ledger_->StartOrder().empty()) return true;
    return RunServicePhase(StopStartedServicesWorker, ledger_, RC_STOP_SERVICE_FAILED, WorkerStart::kTryAgain) ==
           RC_SUCCEED;
  }

 private:
  ServiceLedger* ledger_;
};

class ModuleStep : public WorkItem {
 public:
  ModuleStep(ModulePlan* module, ModuleAction action, Journal* journal, std::vector<std::wstring>* held)
      : module_(module), action_(action), journal_(journal), held_(held) {}
  std::wstring Describe() const override {
    return (action_ == ModuleAction::kReplace ? L"replace " : L"put back the original of ") + module_->name;
  }
  ResultCode Do() override {
    if (module_->read == ModuleRead::kHeldOpen) {
      // Held open when the run began; the product is stopped now.
      // Read into a copy: a module still held stays as the plan found it.
      ModulePlan again;
      const ResultCode read =
          ReadModulePlan(module_->installFolder.c_str(), module_->name.c_str(), HeldModule::kWaitOut, &again);
      if (read != RC_SUCCEED) {
        if (again.read == ModuleRead::kHeldOpen) Held();
        return read;
      }
      *module_ = again;
      if (action_ == ModuleAction::kReplace) {
        const ResultCode usable = CheckModuleCanBeReplaced(*module_);
        if (usable != RC_SUCCEED) return usable;
      }
    }
    if (journal_ != nullptr && !LeavesInstalledAsFound(*module_, action_)) {
      const ResultCode noted = NoteModulesChanging(journal_);
      if (noted != RC_SUCCEED) return noted;
    }
    const ResultCode result = action_ == ModuleAction::kReplace
                                  ? BackupAndReplaceModule(*module_, &change_)
                                  : RestoreModule(*module_, &change_, KeptCopy::kWhereTheVolumeAllows);
    if (result != RC_SUCCEED && change_.held) Held();
    return result;
  }
  bool Undo() override { return PutModuleBackAsFound(*module_, change_) == RC_SUCCEED; }

 private:
  // Held open past the retries: who holds it is logged now, while the
  // product is still stopped and its own services cannot be among them.
  void Held() {
    LogFileHolders(module_->paths.installed);
    held_->push_back(module_->paths.installed);
  }

  // The plan's own entry: what the step finds when it reads a module again
  // is what the run then knows of it.
  ModulePlan* module_;
  ModuleAction action_;
  Journal* journal_;
  std::vector<std::wstring>* held_;
  ModuleChange change_;
};

class EarlierMix : public WorkItem {
 public:
  EarlierMix(const std::vector<ModulePlan>* modules, WholeOn whole) : modules_(modules), whole_(whole) {}
  std::wstring Describe() const override {
    return whole_ == WholeOn::kOriginals ? L"an earlier apply's mix made whole on the originals"
                                         : L"an earlier undo's mix made whole on the new copies";
  }
  ResultCode Do() override {
    left_ = MakeEarlierMixWhole(*modules_, whole_);
    return left_ == MixLeft::kWhole ? RC_SUCCEED : RC_MOVE_FILE_FAILED;
  }
  bool Undo() override { return left_ != MixLeft::kNeither; }

 private:
  const std::vector<ModulePlan>* modules_;
  WholeOn whole_;
  MixLeft left_ = MixLeft::kAsFound;
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
  return std::make_unique<SurveyServicesStep>(ledger);
}

std::unique_ptr<WorkItem> StopServicesItem(ServiceLedger* ledger) {
  return std::make_unique<StopServicesStep>(ledger);
}

std::unique_ptr<WorkItem> StopAgainItem(ServiceLedger* ledger) { return std::make_unique<StopAgainStep>(ledger); }

std::unique_ptr<WorkItem> EarlierMixItem(const std::vector<ModulePlan>* modules, WholeOn whole) {
  return std::make_unique<EarlierMix>(modules, whole);
}

std::unique_ptr<WorkItem> AwaitStoppedItem(ServiceLedger* ledger) {
  return std::make_unique<AwaitStoppedStep>(ledger);
}

std::unique_ptr<WorkItem> StartServicesItem(ServiceLedger* ledger) {
  return std::make_unique<StartServicesStep>(ledger);
}

std::unique_ptr<WorkItem> ModuleItem(ModulePlan* module, ModuleAction action, Journal* journal,
                                     std::vector<std::wstring>* held) {
  return std::make_unique<ModuleStep>(module, action, journal, held);
}

std::unique_ptr<WorkItem> BackupFolderItem(const wchar_t* patchFolder) {
  return std::make_unique<BackupFolder>(patchFolder);
}

void AttachRunLogToProduct(const InstallInfo& install) {
  wchar_t backupRoot[kPathChars] = {};
  if (!install.folderRead || !BuildPath(backupRoot, install.folder, kBackupRootName)) return;
  // Never written through a link, where the log would land where it points,
  // nor where a standard user may change it.
  if (!MayWriteInFolder(backupRoot)) return;
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
