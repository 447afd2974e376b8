// What the tool may write: only the modules it replaces in the install
// folder and what lies in the install folder's backup folder (backups, the
// record and, while a run lasts, its lock file). Nothing in the working folder it is started from, nothing
// else in the install folder, nothing beside them. The whole sandbox is
// taken down (paths, kinds, sizes, modification times, content hashes)
// before and after each run and compared.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "shared/shared.h"
#include "tests/unit/test_support.h"

namespace {

namespace fs = std::filesystem;

struct Entry {
  bool folder;
  uintmax_t size;
  int64_t modifiedNs;
  size_t hash;
  bool operator==(const Entry& other) const {
    return folder == other.folder && size == other.size && modifiedNs == other.modifiedNs &&
           hash == other.hash;
  }
};
using Snapshot = std::map<std::string, Entry>;  // by path relative to the sandbox

class WriteScopeTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    AddProductServices();
    for (const wchar_t* name : kProductProcesses) fake::AddProcess(name);
    WriteDescription(Description("03", {"core.dll", "bin/profiles.dll"}));
    for (const char* module : {"core.dll", "bin/profiles.dll"}) {
      WriteFile(install_ + "/" + module, std::string("old ") + module);
      WriteFile(work_ + "/" + module, std::string("new ") + module);
    }
    // Files the tool has no business with, in each place it touches.
    WriteFile(install_ + "/settings.ini", "keep");
    WriteFile(install_ + "/bin/other.dll", "keep");
    WriteFile(work_ + "/readme.txt", "keep");
    WriteFile(root_ + "/elsewhere/victim.dll", "keep");
    MakeDirs(install_ + "/UpdateBackup/Patch03/bin");  // a subfolder module needs its backup subfolder
  }

  Snapshot Take() const {
    Snapshot snapshot;
    for (const auto& item : fs::recursive_directory_iterator(root_)) {
      const std::string path = item.path().string().substr(root_.size() + 1);
      struct stat st {};
      stat(item.path().c_str(), &st);
      Entry entry{item.is_directory(), 0, 0, 0};
      if (!entry.folder) {
        entry.size = item.file_size();
        entry.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        entry.hash = std::hash<std::string>()(ReadFile(item.path().string()));
      }
      snapshot[path] = entry;
    }
    return snapshot;
  }

  // The paths that differ between two snapshots: changed, added or removed.
  static std::vector<std::string> Changed(const Snapshot& before, const Snapshot& after) {
    std::vector<std::string> changed;
    for (const auto& [path, entry] : before) {
      auto found = after.find(path);
      if (found == after.end() || !(found->second == entry)) changed.push_back(path);
    }
    for (const auto& [path, entry] : after) {
      if (!before.count(path)) changed.push_back(path);
    }
    return changed;
  }

  // The paths written since `before_` that the tool may not write.
  std::vector<std::string> Trespasses() const {
    const std::string installPrefix = install_.substr(root_.size() + 1) + "/";
    std::vector<std::string> trespasses;
    for (const std::string& path : Changed(before_, Take())) {
      const bool inBackup = path.rfind(installPrefix + "UpdateBackup", 0) == 0;
      // A module, and the copies made beside it before they take its place.
      bool module = false;
      for (const char* name : {"core.dll", "bin/profiles.dll"}) {
        for (const char* suffix : {"", ".qlnew", ".qlundo"}) {
          module = module || path == installPrefix + name + suffix;
        }
      }
      if (!inBackup && !module) trespasses.push_back(path);
    }
    return trespasses;
  }

  // At every platform call of the run, so that a file written and removed
  // again in between is seen too.
  static void Observe(const std::string& function) {
    std::lock_guard<std::mutex> lock(observed_->mutex_);
    for (const std::string& path : observed_->Trespasses()) {
      observed_->seen_.push_back("before " + function + ": " + path);
    }
  }

  // Runs the tool and checks that it wrote only where it may.
  ResultCode RunAndCheck(const std::vector<std::wstring>& arguments, const std::string& what) {
    before_ = Take();
    seen_.clear();
    observed_ = this;
    std::vector<std::wstring> storage = {L"qlpatch.exe"};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<wchar_t*> argv;
    for (auto& argument : storage) argv.push_back(argument.data());
    argv.push_back(nullptr);
    fake::SetCallObserver(Observe);
    const ResultCode result = RunEntry(static_cast<int>(storage.size()), argv.data());
    fake::SetCallObserver(nullptr);
    for (const std::string& path : Trespasses()) seen_.push_back("at the end: " + path);
    for (const std::string& trespass : seen_) ADD_FAILURE() << what << " wrote outside its scope, " << trespass;
    // The lock file lives only as long as the run.
    if (Exists(install_ + "/UpdateBackup/qlpatch.lock")) ADD_FAILURE() << what << " left its lock file";
    return result;
  }

  static WriteScopeTest* observed_;
  std::mutex mutex_;
  Snapshot before_;
  std::vector<std::string> seen_;
};

WriteScopeTest* WriteScopeTest::observed_ = nullptr;

TEST_F(WriteScopeTest, FullApplyWritesOnlyModulesAndBackups) {
  const Snapshot before = Take();
  EXPECT_EQ(RunAndCheck({}, "the apply"), RC_SUCCEED);
  // The run did what it is for, so the check above saw real writes.
  EXPECT_EQ(ReadFile(install_ + "/bin/profiles.dll"), "new bin/profiles.dll");
  EXPECT_EQ(ReadFile(install_ + "/UpdateBackup/Patch03/core.dll"), "old core.dll");
  EXPECT_GE(Changed(before, Take()).size(), 5u);
  // Asked afterwards, the tool writes nothing at all.
  const Snapshot applied = Take();
  wchar_t name[] = L"qlpatch.exe", c[] = L"-c", patch[] = L"patch";
  wchar_t* argv[] = {name, c, patch, nullptr};
  fake::Reset();
  fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
  fake::SetMachineValue(kInstallKey, L"BuildID", L"0137");
  fake::SetMachineValue(kInstallKey, L"Path", Wide(install_));
  EXPECT_EQ(RunEntry(3, argv), RC_PATCH_IS_LATEST);
  EXPECT_TRUE(Changed(applied, Take()).empty());
}

TEST_F(WriteScopeTest, FailingAppliesWriteOnlyModulesAndBackups) {
  // One machine through three runs; the first service does not stop in the
  // first run's wait, and has stopped by the second.
  fake::FindService(L"QlSvc")->afterRequest = {fake::kStopPending};
  EXPECT_EQ(RunAndCheck({}, "a service that will not stop"), RC_STOP_SERVICE_FAILED);
  fake::FindService(L"QlSvc")->afterRequest.clear();
  fake::FindService(L"QlSvc")->state = os::kServiceStopped;
  fake::FailCall("CopyFileOver", fake::CallCount("CopyFileOver") + 2);
  EXPECT_EQ(RunAndCheck({}, "a failing copy"), RC_COPY_FILE_FAILED);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "old core.dll") << "put back";
  fake::HoldFile(recordPath_, -1);  // held by another program for good: the record cannot be written
  EXPECT_EQ(RunAndCheck({}, "a failing record save"), RC_XML_LOAD_FAILED);
  fake::HoldFile(recordPath_, 0);
  EXPECT_EQ(ReadFile(install_ + "/core.dll"), "new core.dll");
}

// A run that is refused, or fails and puts back what it did, leaves the
// machine as it was but for its log.
TEST_F(WriteScopeTest, RefusedAndFailedRunsAddOnlyTheLog) {
  const std::string log = install_.substr(root_.size() + 1) + "/UpdateBackup/qlpatch.log";
  const auto expectOnlyTheLog = [&](const Snapshot& before, const std::string& what) {
    const std::vector<std::string> changed = Changed(before, Take());
    EXPECT_EQ(changed, std::vector<std::string>{log}) << what;
  };
  Snapshot before = Take();
  fake::SetMachineValue(kInstallKey, L"Version", L"4.10");
  EXPECT_EQ(RunAndCheck({}, "a run on another product"), RC_VERSION_MISMATCH);
  EXPECT_EQ(Changed(before, Take()), std::vector<std::string>{}) << "another product gets nothing, not even the log";

  fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
  before = Take();
  fake::FailCall("CopyFileOver", fake::CallCount("CopyFileOver") + 2);
  EXPECT_EQ(RunAndCheck({}, "a failing copy"), RC_COPY_FILE_FAILED);
  expectOnlyTheLog(before, "a failing copy");

  before = Take();
  fake::FailCall("RequestServiceStop", fake::CallCount("RequestServiceStop") + 2);
  EXPECT_EQ(RunAndCheck({}, "a second service that will not stop"), RC_STOP_SERVICE_FAILED);
  expectOnlyTheLog(before, "a second service that will not stop");
}

TEST_F(WriteScopeTest, ModuleNamesCannotReachOutside) {
  for (const std::string& module : std::vector<std::string>{"..\\elsewhere\\victim.dll", "../elsewhere/victim.dll",
                                    root_ + "/elsewhere/victim.dll", "bin\\..\\..\\elsewhere\\victim.dll"}) {
    fake::Reset();
    fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
    fake::SetMachineValue(kInstallKey, L"BuildID", L"0137");
    fake::SetMachineValue(kInstallKey, L"Path", Wide(install_));
    AddProductServices();
    WriteDescription(Description("04", {module}));
    EXPECT_EQ(RunAndCheck({}, module), RC_MOVE_FILE_FAILED) << module;
    EXPECT_EQ(ReadFile(root_ + "/elsewhere/victim.dll"), "keep");
  }
}

}  // namespace
