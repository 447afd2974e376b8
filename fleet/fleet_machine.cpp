#include "fleet/fleet_machine.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "driver/driver.h"
#include "platform/fake_platform.h"
#include "shared/shared.h"

namespace fleet {

namespace {

const char* const kModules[] = {"core.dll", "profiles.dll", "help.dll"};
constexpr int kModuleCount = 3;
const wchar_t* const kServiceNames[] = {L"QlSvc", L"QlProfileSvc", L"QlVpnSvc"};
constexpr uint64_t kFleetToolLimitMs = 60ull * 60 * 1000;  // a run longer than this is ended by the fleet tool

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string Old(int i) { return std::string("old ") + kModules[i]; }
std::string New(int i) { return std::string("new ") + kModules[i]; }

const char kRecord02[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL>\n    <QL4.20>\n"
    "        <CurVersion>02</CurVersion>\n    </QL4.20>\n</UpdateQL>\n";

// The child's state for the parent, and the cut-off point: set in the
// child before its run.
std::string g_stateFile;
uint64_t g_killCall = 0;
bool g_powerCut = false;
uint64_t g_calls = 0;

void SaveChildState() {
  std::string states;
  for (const wchar_t* name : kServiceNames) {
    const fake::Service* service = fake::FindService(name);
    const bool up = service != nullptr && (service->state == os::kServiceRunning ||
                                           service->state == os::kServiceStartPending ||
                                           service->state == os::kServiceContinuePending);
    states += service == nullptr ? '-' : up ? 'r' : 's';
  }
  const std::wstring pending = fake::PendingRenames();
  std::string bytes = states;
  bytes.append(reinterpret_cast<const char*>(pending.data()), pending.size() * sizeof(wchar_t));
  std::ofstream(g_stateFile, std::ios::binary | std::ios::trunc) << bytes;
}

void CutOff(int status) {
  SaveChildState();
  if (g_powerCut) fake::PowerCut();
  _exit(status);
}

constexpr int kKilledStatus = 250;
void ObserveCall(const std::string&) {
  if (++g_calls == g_killCall) CutOff(kKilledStatus);
  if (fake::NowMs() > kFleetToolLimitMs) CutOff(kKilledStatus);
}

int StatusOf(int code) {
  switch (code) {
    case RC_ANOTHER_RUN_IN_PROGRESS: return 200;
    case RC_SWAP_AT_RESTART: return 201;
    case RC_UNKNOWN: return 202;
    default: return code;
  }
}

int CodeOf(int status) {
  switch (status) {
    case 200: return RC_ANOTHER_RUN_IN_PROGRESS;
    case 201: return RC_SWAP_AT_RESTART;
    case 202: return RC_UNKNOWN;
    default: return status;
  }
}

}  // namespace

Draw DrawMachine(uint64_t seed, uint64_t machine) {
  std::mt19937_64 random(seed * 0x9E3779B97F4A7C15ull + machine);
  const auto chance = [&random](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
  const auto upTo = [&random](int n) { return static_cast<int>(random() % static_cast<uint64_t>(n)); };
  Draw d;
  const double product = std::uniform_real_distribution<double>(0, 1)(random);
  if (product < 0.01) d.product = Draw::Product::kMissing;
  else if (product < 0.02) d.product = Draw::Product::kOtherVersion;
  const double start = std::uniform_real_distribution<double>(0, 1)(random);
  if (start < 0.15) {
    d.start = Draw::Start::kRecord02;
  } else if (start < 0.20) {
    d.start = Draw::Start::kUnrecordedApply;
  } else if (start < 0.25) {
    d.start = Draw::Start::kCutAfterModule;
    d.cutAfter = 1 + upTo(kModuleCount - 1);
  }
  const double stop = std::uniform_real_distribution<double>(0, 1)(random);
  if (stop < 0.03) d.profilesStop = Draw::Stop::kSlowerThanPolls;
  else if (stop < 0.035) d.profilesStop = Draw::Stop::kNever;
  if (chance(0.05)) d.processLingerMs = chance(0.5) ? 5000 : 45000;
  d.dependent = chance(0.3);
  const double disabled = std::uniform_real_distribution<double>(0, 1)(random);
  if (disabled < 0.01) d.profilesDisabled = Draw::Disabled::kStopped;
  else if (disabled < 0.02) d.profilesDisabled = Draw::Disabled::kRunning;
  d.triggerStart = chance(0.03);
  d.readOnlyModules = chance(0.05);
  d.hiddenModules = chance(0.02);
  if (chance(0.10)) d.passingLockTries = 1 + upTo(5);
  if (chance(0.03)) {
    d.userHoldDays = 1 + upTo(5);
    d.userHoldsRecord = chance(0.3);
  }
  if (chance(0.03)) {
    d.diskRoom = static_cast<uint64_t>(upTo(40));
    d.diskFillsAfterLook = chance(0.5);
    d.diskFreedDay = 1 + upTo(4);
  }
  if (chance(0.10)) {
    d.killRun = upTo(3);
    d.killCall = 1 + upTo(250);
    d.powerCut = chance(0.3);
  }
  if (chance(0.05)) d.uninstallDay = 1 + upTo(4);
  d.restartDelayDays = upTo(4);
  d.installFolderOpenToUsers = chance(0.2);
  if (d.product == Draw::Product::kInstalled && chance(0.01)) d.product = Draw::Product::kBackupOpenToUsers;
  return d;
}

std::vector<std::string> DescribeDistribution() {
  return {
      "product: installed 97%, missing 1%, another version 1%, an UpdateBackup users may change 1% "
      "(never to be touched)",
      "the install folder one users may change (made at the root of C:): 20%",
      "start: clean 75%, record at patch 02 15%, an apply that ended with 2 (modules new, no record) 5%, "
      "an apply cut off after module 1 or 2 5%",
      "QlProfileSvc stops: within its polls 96.5%, slower than its polls (100 s) 3%, never 0.5%",
      "QlSvc's process outlives its stop: 5% (5 s or 45 s)",
      "a running service depending on QlSvc: 30%",
      "QlProfileSvc disabled: stopped 1%, running 1%",
      "QlSvc started again by a trigger in the module phase: 3%",
      "modules read-only 5%, hidden 2%",
      "an antivirus holding core.dll for 1 to 5 operations, each run: 10%",
      "a user's program holding profiles.dll (70%) or the record (30%) for 1 to 5 days: 3%",
      "a disk with room for 0 to 39 bytes of copies (on the look, or filled after it) until day 1 to 4: 3%",
      "one of the first three installs or uninstalls cut off before a platform call drawn from 1 to 250 "
      "(a power cut 30%): 10%",
      "the uninstall sent on day 1 to 4, the install again the day after: 5%",
      "a restart 0 to 3 days after a 3010",
  };
}

Machine::Machine(const std::string& root, uint64_t seed, uint64_t index, const Draw& draw)
    : root_(root), work_(root + "/work"), install_(root + "/Qorlink"), state_(root + "/state"),
      seed_(seed), index_(index), draw_(draw) {
  LayOut();
}

Machine::~Machine() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

void Machine::LayOut() {
  std::filesystem::create_directories(work_);
  std::ostringstream description;
  description << "<UpdateQL>\n    <Version>4.20</Version>\n    <BuildID>0137</BuildID>\n"
              << "    <PatchVersion>03</PatchVersion>\n    <WerNum>" << kModuleCount << "</WerNum>\n";
  for (int i = 0; i < kModuleCount; ++i) {
    description << "    <WER" << i + 1 << "><UpdateModule>" << kModules[i] << "</UpdateModule></WER" << i + 1
                << ">\n";
    WriteFile(work_ + "/" + kModules[i], New(i));
  }
  description << "</UpdateQL>\n";
  WriteFile(work_ + "/" + kDataFileName, description.str());
  for (int i = 0; i < kModuleCount; ++i) {
    const bool replaced = draw_.start == Draw::Start::kUnrecordedApply ||
                          (draw_.start == Draw::Start::kCutAfterModule && i < draw_.cutAfter);
    WriteFile(install_ + "/" + kModules[i], replaced ? New(i) : Old(i));
    if (replaced) WriteFile(install_ + "/UpdateBackup/Patch03/" + kModules[i], Old(i));
  }
  if (draw_.start == Draw::Start::kRecord02) WriteFile(install_ + "/UpdateBackup/QlPatch.xml", kRecord02);
  if (draw_.product == Draw::Product::kBackupOpenToUsers) std::filesystem::create_directories(install_ + "/UpdateBackup");
  found_ = Snapshot();
  if (!draw_.dependent) serviceStates_[2] = '-';
  if (draw_.profilesDisabled == Draw::Disabled::kStopped) serviceStates_[1] = 's';
}

// The stand-in of a fresh process on this machine, on `day`.
void Machine::PrepareChild(int day) {
  fake::Reset();
  if (draw_.product != Draw::Product::kMissing) {
    fake::SetMachineValue(kInstallKey, L"Version", draw_.product == Draw::Product::kOtherVersion ? L"4.10" : L"4.20");
    fake::SetMachineValue(kInstallKey, L"BuildID", L"0137");
    fake::SetMachineValue(kInstallKey, L"Path", Wide(install_));
  }
  fake::SetLocalDate(2027, 1, 1 + day);
  // Owners and rights: the install folder's as drawn; an UpdateBackup there
  // is the tool's own (made by it, or by install.cmd), unless drawn open.
  if (draw_.installFolderOpenToUsers) fake::SetFolderSecurity(install_, fake::OpenToUsersSecurity());
  if (std::filesystem::exists(install_ + "/UpdateBackup")) {
    fake::SetFolderSecurity(install_ + "/UpdateBackup", draw_.product == Draw::Product::kBackupOpenToUsers
                                                            ? fake::OpenToUsersSecurity()
                                                            : fake::ToolFolderSecurity());
  }
  for (int i = 0; i < 2; ++i) {
    const uint32_t process = fake::AddProcess(std::wstring(kServiceNames[i]) + L".exe");
    fake::Service& service = fake::AddService(kServiceNames[i]);
    service.processId = process;
    service.state = serviceStates_[i] == 'r' ? os::kServiceRunning : os::kServiceStopped;
  }
  if (draw_.dependent) {
    fake::Service& dependent = fake::AddService(L"QlVpnSvc");
    dependent.dependsOn = {L"QlSvc"};
    dependent.processId = fake::AddProcess(L"QlVpnSvc.exe");
    dependent.state = serviceStates_[2] == 'r' ? os::kServiceRunning : os::kServiceStopped;
  }
  // Found once every service is added: adding one may move the others.
  fake::Service* ql = fake::FindService(L"QlSvc");
  fake::Service* profiles = fake::FindService(L"QlProfileSvc");
  if (draw_.profilesStop == Draw::Stop::kSlowerThanPolls) {
    profiles->stopTakesMs = 100000;
    profiles->waitHint = 5000;
  }
  if (draw_.profilesStop == Draw::Stop::kNever) profiles->refuseStop = true;
  ql->processLingerMs = draw_.processLingerMs;
  profiles->disabled = draw_.profilesDisabled != Draw::Disabled::kNo;
  if (draw_.triggerStart) ql->startAgainOn = "SnapshotProcesses";
  for (const wchar_t* name : kProductProcesses) fake::AddProcess(name);
  for (int i = 0; i < kModuleCount; ++i) {
    const std::string path = install_ + "/" + kModules[i];
    uint32_t attributes = 0;
    if (draw_.readOnlyModules) attributes |= os::kAttributeReadOnly;
    if (draw_.hiddenModules) attributes |= os::kAttributeHidden;
    if (attributes != 0 && ReadFile(path) == Old(i)) fake::SetFileAttributesOf(path, attributes);
  }
  if (draw_.passingLockTries > 0) fake::HoldFile(install_ + "/core.dll", draw_.passingLockTries);
  // A program can hold only a file that is there: the record once it is.
  const std::string held = draw_.userHoldsRecord ? install_ + "/UpdateBackup/QlPatch.xml" : install_ + "/profiles.dll";
  if (day < draw_.userHoldDays && std::filesystem::exists(held)) fake::HoldFileLettingRead(held);
  if (draw_.diskRoom != ~0ull && day < draw_.diskFreedDay) {
    fake::SetDiskRoom(draw_.diskRoom);
    if (draw_.diskFillsAfterLook) fake::SetDiskRoomShown(1ull << 30);
  }
  fake::SetPendingRenames(pendingRenames_);
}

RunResult Machine::Run(Mode mode, int day) {
  RunResult result;
  const int run = mode == Mode::kQuery ? -1 : changingRuns_++;
  const auto began = std::chrono::steady_clock::now();
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    PrepareChild(day);
    std::filesystem::current_path(work_);
    g_stateFile = state_;
    g_calls = 0;
    g_killCall = run == draw_.killRun ? static_cast<uint64_t>(draw_.killCall) : 0;
    g_powerCut = draw_.powerCut;
    fake::SetCallObserver(ObserveCall);
    wchar_t name[] = L"qlpatch.exe", option[] = L"-c", undo[] = L"undo", patch[] = L"patch";
    wchar_t* argv[] = {name, option, mode == Mode::kUndo ? undo : patch, nullptr};
    const ResultCode code = mode == Mode::kApply ? RunEntry(1, argv) : RunEntry(3, argv);
    fake::SetCallObserver(nullptr);
    SaveChildState();
    _exit(StatusOf(code));
  }
  int status = 0;
  waitpid(child, &status, 0);
  result.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
  const int exited = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
  result.killed = exited == kKilledStatus;
  result.code = result.killed ? -1000 : CodeOf(exited);
  lastKilled_ = result.killed;
  const std::string state = ReadFile(state_);
  if (state.size() >= 3 && exited != 255) {
    serviceStates_ = state.substr(0, 3);
    pendingRenames_.assign(reinterpret_cast<const wchar_t*>(state.data() + 3), (state.size() - 3) / sizeof(wchar_t));
  }
  std::ostringstream line;
  line << "day " << day << ": " << (mode == Mode::kApply ? "install" : mode == Mode::kUndo ? "uninstall" : "detect")
       << " -> " << (result.killed ? std::string("cut off") : std::to_string(result.code))
       << " (services " << serviceStates_ << (pendingRenames_.empty() ? "" : ", swap pending") << ")";
  history_.push_back(line.str());
  return result;
}

void Machine::Restart(int day) {
  fake::Reset();
  fake::SetPendingRenames(pendingRenames_);
  fake::Restart();
  pendingRenames_.clear();
  for (int i = 0; i < 3; ++i) {
    if (serviceStates_[i] != '-') serviceStates_[i] = 'r';
  }
  if (draw_.profilesDisabled != Draw::Disabled::kNo) serviceStates_[1] = 's';  // a disabled service does not start
  lastKilled_ = false;
  history_.push_back("day " + std::to_string(day) + ": restart");
}

std::string Machine::Snapshot() const {
  std::string files;
  for (const char* module : kModules) {
    files += ReadFile(install_ + "/" + module) + "|" + ReadFile(install_ + "/UpdateBackup/Patch03/" + module) + "|";
  }
  return files + ReadFile(install_ + "/UpdateBackup/QlPatch.xml");
}

bool Machine::Patched() const {
  for (int i = 0; i < kModuleCount; ++i) {
    if (ReadFile(install_ + "/" + kModules[i]) != New(i)) return false;
  }
  return ReadFile(install_ + "/UpdateBackup/QlPatch.xml").find("<CurVersion>03</CurVersion>") != std::string::npos;
}

void Machine::BreakOnPurpose() { WriteFile(install_ + "/core.dll", "garbage"); }

std::string Machine::RunLog() const { return ReadFile(install_ + "/UpdateBackup/qlpatch.log"); }

std::string Machine::CheckInvariants(const RunResult* last, Mode mode) const {
  const std::string record = ReadFile(install_ + "/UpdateBackup/QlPatch.xml");
  const bool recorded = record.find("<CurVersion>03</CurVersion>") != std::string::npos;
  const bool journal = std::filesystem::exists(install_ + "/UpdateBackup/qlpatch.journal");
  int olds = 0, news = 0;
  for (int i = 0; i < kModuleCount; ++i) {
    const std::string installed = ReadFile(install_ + "/" + kModules[i]);
    const std::string backup = ReadFile(install_ + "/UpdateBackup/Patch03/" + kModules[i]);
    if (installed == Old(i)) {
      ++olds;
    } else if (installed == New(i)) {
      ++news;
    } else if (!(draw_.powerCut && journal && installed == std::string(New(i).size(), '\0'))) {
      return std::string(kModules[i]) + " is not whole: '" + installed + "'";
    }
    if (installed != Old(i) && backup != Old(i)) return std::string(kModules[i]) + ": its original is lost";
    if (recorded && backup != Old(i)) return std::string(kModules[i]) + ": on record, but no original backed up";
  }
  if (draw_.product != Draw::Product::kInstalled) {
    return Snapshot() == found_ && !journal ? "" : "a machine without the product's version was touched";
  }
  // A mix drawn as the start stays while no run can change it (a service
  // that never stops, say): the tool returns the machine to what it found.
  const bool productRuns = serviceStates_[0] == 'r' || serviceStates_[1] == 'r';
  if (olds > 0 && news > 0 && !(journal && !productRuns) && Snapshot() != found_) {
    return "the product is on a mix of new and original modules" + std::string(productRuns ? ", running" : "");
  }
  if (last != nullptr && !last->killed) {
    const bool done = last->code == RC_SUCCEED || last->code == RC_PATCH_IS_LATEST;
    if (mode != Mode::kUndo && done && (news != kModuleCount || !recorded)) {
      return "answered " + std::to_string(last->code) + " without the patch in place and on record";
    }
    if (mode == Mode::kUndo && last->code == RC_SUCCEED && (olds != kModuleCount || recorded)) {
      return "the undo answered 0 without the originals in place and off the record";
    }
    if (last->code == RC_SWAP_AT_RESTART && (pendingRenames_.empty() || (olds != kModuleCount && news != kModuleCount))) {
      return "3010 without the whole patch waiting for the restart";
    }
    // Stopped only while the product is on a mix a run could not finish.
    const bool mix = olds > 0 && news > 0;
    const bool mayBeStopped = (journal && mix) || draw_.profilesDisabled == Draw::Disabled::kStopped;
    if (mode != Mode::kQuery && !mayBeStopped && serviceStates_.find('s') != std::string::npos) {
      return "a run ended whole with a service stopped (" + serviceStates_ + ")";
    }
  }
  return "";
}

}  // namespace fleet
