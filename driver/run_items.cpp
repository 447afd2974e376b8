#include "driver/run_items.h"

#include "driver/driver.h"
#include "patchdata/patchdata.h"
#include "shared/run_log.h"
#include "shared/shared.h"

#ifndef QLPATCH_VERSION_TEXT
#define QLPATCH_VERSION_TEXT "0.0.0"
#endif

namespace {

class ServicePhase : public WorkItem {
 public:
  ServicePhase(const wchar_t* description, int32_t (*worker)(), ResultCode cannotRun, int32_t (*undoWorker)(),
               std::vector<std::wstring>* undoneServices, bool needsWholeProduct)
      : description_(description),
        worker_(worker),
        cannotRun_(cannotRun),
        undoWorker_(undoWorker),
        undoneServices_(undoneServices),
        needsWholeProduct_(needsWholeProduct) {}
  std::wstring Describe() const override { return description_; }
  ResultCode Do() override {
    undoneServices_->clear();  // the worker fills it; one that never runs changes nothing
    return RunServicePhase(worker_, cannotRun_);
  }
  bool Undo(bool productWhole) override {
    if (undoneServices_->empty()) return true;  // the phase changed no service
    if (needsWholeProduct_ && !productWhole) {
      LogEvent(L"the services stay stopped: a module could not be put back");
      return false;
    }
    return RunServicePhase(undoWorker_, cannotRun_) == RC_SUCCEED;
  }

 private:
  std::wstring description_;
  int32_t (*worker_)();
  ResultCode cannotRun_;
  int32_t (*undoWorker_)();
  std::vector<std::wstring>* undoneServices_;
  bool needsWholeProduct_;
};

class ModuleChange : public WorkItem {
 public:
  ModuleChange(const wchar_t* description, const std::wstring& installFolder, const std::wstring& moduleName,
               ModuleStep forward, ModuleStep backward, bool forwardAllOrNothing)
      : description_(std::wstring(description) + L" " + moduleName),
        installFolder_(installFolder),
        moduleName_(moduleName),
        forward_(forward),
        backward_(backward),
        forwardAllOrNothing_(forwardAllOrNothing) {}
  std::wstring Describe() const override { return description_; }
  ResultCode Do() override {
    const ResultCode result = forward_(installFolder_.c_str(), moduleName_.c_str());
    forwardFailed_ = result != RC_SUCCEED;
    return result;
  }
  bool Undo(bool) override {
    if (forwardFailed_ && forwardAllOrNothing_) return true;  // the installed file was never changed
    return backward_(installFolder_.c_str(), moduleName_.c_str()) == RC_SUCCEED;
  }
  bool ChangesModules() const override { return true; }

 private:
  std::wstring description_;
  std::wstring installFolder_;
  std::wstring moduleName_;
  ModuleStep forward_;
  ModuleStep backward_;
  bool forwardAllOrNothing_;
  bool forwardFailed_ = false;
};

class BackupFolder : public WorkItem {
 public:
  std::wstring Describe() const override { return L"the per-patch backup folder"; }
  ResultCode Do() override { return RC_SUCCEED; }  // made with the first module
  bool Undo(bool) override {
    RemovePatchBackupFolder();
    return true;
  }
};

}  // namespace

std::unique_ptr<WorkItem> StopProductItem() {
  return std::make_unique<ServicePhase>(L"stop the product's services", StopServicesWorker, RC_STOP_SERVICE_FAILED,
                                        RestartStoppedServicesWorker, &g_servicesStopped, true);
}

std::unique_ptr<WorkItem> StartProductItem() {
  return std::make_unique<ServicePhase>(L"start the product's services", StartServicesWorker,
                                        RC_START_SERVICE_FAILED, StopStartedServicesWorker, &g_servicesStarted,
                                        false);
}

std::unique_ptr<WorkItem> ModuleItem(const wchar_t* description, const std::wstring& installFolder,
                                     const std::wstring& moduleName, ModuleStep forward, ModuleStep backward,
                                     bool forwardAllOrNothing) {
  return std::make_unique<ModuleChange>(description, installFolder, moduleName, forward, backward,
                                        forwardAllOrNothing);
}

std::unique_ptr<WorkItem> BackupFolderItem() { return std::make_unique<BackupFolder>(); }

void AttachRunLogToProduct() {
  wchar_t installFolder[kPathChars] = {};
  wchar_t backupRoot[kPathChars] = {};
  if (ReadInstallValue(L"Path", installFolder, kPathChars) != RC_SUCCEED ||
      !BuildPath(backupRoot, installFolder, kBackupRootName)) {
    return;
  }
  AttachRunLog(backupRoot);
}

void LogRunStart(const wchar_t* mode) {
  wchar_t version[32] = {};
  os::WidenText(os::kAnsiCodePage, QLPATCH_VERSION_TEXT, version, 32);
  LogEvent(L"qlpatch %ls, %ls", version, mode);
}

void LogPatchState(const wchar_t* recordPath, ResultCode state) {
  char version[kValueBytes] = {}, build[kValueBytes] = {}, patch[kValueBytes] = {};
  ReadDataValue(kDataFileName, "Version", version, sizeof version);
  ReadDataValue(kDataFileName, "BuildID", build, sizeof build);
  ReadDataValue(kDataFileName, "PatchVersion", patch, sizeof patch);
  wchar_t wideVersion[kNameChars] = {}, wideBuild[kNameChars] = {}, widePatch[kNameChars] = {};
  os::WidenText(os::kAnsiCodePage, version, wideVersion, kNameChars);
  os::WidenText(os::kAnsiCodePage, build, wideBuild, kNameChars);
  os::WidenText(os::kAnsiCodePage, patch, widePatch, kNameChars);
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
