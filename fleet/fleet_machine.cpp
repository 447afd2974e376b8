#include "fleet/fleet_machine.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
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
std::string Later(int i) { return std::string("patch 05's ") + kModules[i]; }

const char kRecord02[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL>\n    <QL4.20>\n"
    "        <CurVersion>02</CurVersion>\n    </QL4.20>\n</UpdateQL>\n";
const char kRecord05[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL>\n    <QL4.20>\n"
    "        <CurVersion>05</CurVersion>\n        <Patch05>\n            <QlVersion>4.20</QlVersion>\n"
    "        </Patch05>\n    </QL4.20>\n</UpdateQL>\n";

// The child's state for the parent, and the cut-off point: set in the
// child before its run.
std::string g_stateFile;
uint64_t g_killCall = 0;
bool g_powerCut = false;
uint64_t g_calls = 0;
// What the child's faults are set on, for telling which of them a run met.
std::string g_install, g_heldPath;
uint32_t g_attributed = 0;  // modules given read-only or hidden, a bit each
bool g_diskLimited = false, g_diskFillsAfterLook = false;
int g_qlStartTimeouts = 0;

uint32_t ChildFaultsMet() {
  uint32_t met = 0;
  const auto set = [&met](int fault, bool on) { met |= on ? 1u << fault : 0u; };
  const fake::Service* ql = fake::FindService(L"QlSvc");
  const fake::Service* profiles = fake::FindService(L"QlProfileSvc");
  const fake::Service* vpn = fake::FindService(L"QlVpnSvc");
  const bool profilesStopAsked = profiles != nullptr && profiles->stopRequests > 0;
  const bool qlStopAsked = ql != nullptr && ql->stopRequests > 0;
  set(kFaultSlowStop, profilesStopAsked);
  set(kFaultNeverStops, profilesStopAsked);
  set(kFaultLingeringProcess, qlStopAsked);
  set(kFaultDependent, qlStopAsked || (vpn != nullptr && vpn->stopRequests > 0));
  set(kFaultDisabledStopped, fake::CallCount("ReadServiceStartType") > 0);
  set(kFaultDisabledRunning, fake::CallCount("ReadServiceStartType") > 0);
  set(kFaultTrigger, ql != nullptr && ql->startsByTrigger > 0);
  set(kFaultStartTimesOut, ql != nullptr && ql->startTimeouts < g_qlStartTimeouts);
  set(kFaultStopAnsweredLate, profilesStopAsked);
  bool attributedChanged = false;
  for (int i = 0; i < kModuleCount; ++i) {
    attributedChanged |= (g_attributed >> i & 1) != 0 && ReadFile(g_install + "/" + kModules[i]) != Old(i);
  }
  set(kFaultReadOnly, attributedChanged);
  set(kFaultHidden, attributedChanged);
  set(kFaultPassingLock, fake::SharingViolations(g_install + "/core.dll") > 0);
  const bool held = !g_heldPath.empty() && fake::SharingViolations(g_heldPath) > 0;
  set(kFaultUserHoldsModule, held);
  set(kFaultUserHoldsRecord, held);
  set(kFaultDiskFull, g_diskLimited && (fake::CallCount("CopyFileOver") > 0 ||
                                        (!g_diskFillsAfterLook && fake::CallCount("FreeBytesAt") > 0)));
  return met;
}

// The services' states, the faults met (4 bytes) and the waiting renames.
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
  const uint32_t met = ChildFaultsMet();
  std::string bytes = states;
  bytes.append(reinterpret_cast<const char*>(&met), sizeof met);
  bytes.append(reinterpret_cast<const char*>(pending.data()), pending.size() * sizeof(wchar_t));
  std::ofstream(g_stateFile, std::ios::binary | std::ios::trunc) << bytes;
}

// Exit statuses of the child beyond the tool's codes: the drawn kill, the
// drawn power cut, the fleet tool's end of a run past its limit.
constexpr int kKilledStatus = 250;
constexpr int kPowerCutStatus = 249;
constexpr int kOverLimitStatus = 248;

void CutOff(int status) {
  if (status == kPowerCutStatus) {
    fake::PowerCut();
  } else {
    fake::ProcessKilled();
  }
  SaveChildState();
  _exit(status);
}

constexpr int kStrangeCodeStatus = 252;  // RunEntry returned a code the tool has not

bool g_crash = false;

void ObserveCall(const std::string&) {
  if (g_crash) {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
  }
  if (++g_calls == g_killCall) CutOff(g_powerCut ? kPowerCutStatus : kKilledStatus);
  if (fake::NowMs() > kFleetToolLimitMs) CutOff(kOverLimitStatus);
}

// A code with its own message in the tool's table.
bool ToolCode(int code) {
  wchar_t message[kMessageChars + 1] = {}, unknown[64] = {};
  FormatResultMessage(code, message);
  std::swprintf(unknown, 64, L"unknow error %d!", code);
  return std::wcscmp(message, unknown) != 0;
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

const char* FaultName(int fault) {
  static const char* const kNames[kFaultCount] = {
      "QlProfileSvc slower than its polls", "QlProfileSvc never stops", "QlSvc's process outlives its stop",
      "a service depending on QlSvc", "QlProfileSvc disabled, stopped", "QlProfileSvc disabled, running",
      "QlSvc started by a trigger", "modules read-only", "modules hidden", "an antivirus's passing lock",
      "a user holding profiles.dll", "a user holding the record", "a full disk", "a kill", "a power cut",
      "the uninstall", "another instance holding the lock", "QlSvc's start timing out",
      "QlProfileSvc's stop answered late"};
  return kNames[fault];
}

uint32_t DrawnFaults(const Draw& d) {
  const bool flags[kFaultCount] = {
      d.profilesStop == Draw::Stop::kSlowerThanPolls, d.profilesStop == Draw::Stop::kNever, d.processLingerMs > 0,
      d.dependent, d.profilesDisabled == Draw::Disabled::kStopped, d.profilesDisabled == Draw::Disabled::kRunning,
      d.triggerStart, d.readOnlyModules, d.hiddenModules, d.passingLockTries > 0,
      d.userHoldDays > 0 && !d.userHoldsRecord, d.userHoldDays > 0 && d.userHoldsRecord, d.diskRoom != ~0ull,
      d.killRun >= 0 && !d.powerCut, d.killRun >= 0 && d.powerCut, d.uninstallDay >= 0, d.overlapAttempts > 0,
      d.qlStartTimeouts > 0, d.profilesStopAnsweredLate};
  uint32_t drawn = 0;
  for (int fault = 0; fault < kFaultCount; ++fault) drawn |= flags[fault] ? 1u << fault : 0u;
  return drawn;
}

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
    if (d.userHoldsRecord) d.start = Draw::Start::kRecord02;  // a program can hold only a record that is there
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
  if (chance(0.05) && d.product == Draw::Product::kInstalled) d.overlapAttempts = 1 + upTo(5);
  // Drawn last, so that the machines drawn before these were added stay as they were.
  if (d.userHoldDays > 0) d.userHoldShuts = chance(0.5);
  if (d.product == Draw::Product::kInstalled && chance(0.01)) {
    d.product = Draw::Product::kLaterPatch;
    d.start = Draw::Start::kClean;
    d.userHoldDays = 0;
    if (chance(0.3)) {
      d.userHoldDays = 1 + upTo(5);
      d.userHoldsRecord = true;
      d.userHoldShuts = chance(0.7);
    }
  }
  if (chance(0.03)) d.qlStartTimeouts = 1 + upTo(2);
  d.profilesStopAnsweredLate = chance(0.03);
  d.dependentUnlisted = d.dependent && chance(0.2);
  return d;
}

std::vector<std::string> DescribeDistribution() {
  return {
      "product: installed 96%, missing 1%, another version 1%, an UpdateBackup users may change 1% "
      "(never to be touched), a later patch (05) applied 1% (never to be touched but for the run log; a user's "
      "program holding its record on 30% of them, shut on 70% of those)",
      "the install folder one users may change (made at the root of C:): 20%",
      "start: clean 75%, record at patch 02 15%, an apply that ended with 2 (modules new, no record) 5%, "
      "an apply cut off after module 1 or 2 5%",
      "QlProfileSvc stops: within its polls 96.5%, slower than its polls (100 s) 3%, never 0.5%",
      "QlSvc's process outlives its stop: 5% (5 s or 45 s)",
      "a running service depending on QlSvc: 30% (on 20% of those, the run's look cannot list it)",
      "QlProfileSvc disabled: stopped 1%, running 1%",
      "QlSvc started again by a trigger in the module phase (the first module's copy): 3%",
      "modules read-only 5%, hidden 2%",
      "an antivirus holding core.dll for 1 to 5 operations, each run: 10%",
      "a user's program holding profiles.dll (70%) or the record (30%, on a record at patch 02) for 1 to 5 "
      "days, sharing reading (50%) or nothing: 3%",
      "a disk with room for 0 to 39 bytes of copies (on the look, or filled after it) until day 1 to 4: 3%",
      "one of the first three installs or uninstalls cut off before a platform call drawn from 1 to 250 "
      "(a power cut 30%, the machine restarting after it): 10%",
      "the uninstall sent on day 1 to 4, the install again the day after: 5%",
      "a restart 0 to 3 days after a 3010",
      "another instance of the tool holding the lock (1618) through the first 1 to 5 installs or uninstalls, "
      "where the product is installed: 5%",
      "QlSvc's start timing out once or twice in each run (a loaded machine): 3%",
      "QlProfileSvc's stop answered after the manager's 30 s wait (1053; its handler cleans up before it "
      "returns), the service stopping 35 s after the request, each run: 3%",
  };
}

std::string DescribeDraw(const Draw& d) {
  static const char* const kProducts[] = {"installed", "missing", "another version", "an UpdateBackup users may change",
                                          "a later patch applied"};
  static const char* const kStarts[] = {"clean", "record at patch 02", "an apply that ended with 2", "cut off after module "};
  static const char* const kStops[] = {"within its polls", "slower than its polls", "never"};
  std::ostringstream out;
  out << "product " << kProducts[static_cast<int>(d.product)]
      << (d.installFolderOpenToUsers ? " (install folder users may change)" : "") << "; start "
      << kStarts[static_cast<int>(d.start)];
  if (d.start == Draw::Start::kCutAfterModule) out << d.cutAfter;
  out << "; QlProfileSvc stops " << kStops[static_cast<int>(d.profilesStop)];
  if (d.processLingerMs > 0) out << "; QlSvc's process outlives its stop by " << d.processLingerMs << " ms";
  if (d.dependent) out << "; QlVpnSvc depends on QlSvc" << (d.dependentUnlisted ? ", unlisted at the look" : "");
  if (d.profilesDisabled != Draw::Disabled::kNo) {
    out << "; QlProfileSvc disabled, " << (d.profilesDisabled == Draw::Disabled::kStopped ? "stopped" : "running");
  }
  if (d.triggerStart) out << "; QlSvc started again by a trigger";
  if (d.readOnlyModules) out << "; modules read-only";
  if (d.hiddenModules) out << "; modules hidden";
  if (d.passingLockTries > 0) out << "; an antivirus holds core.dll for " << d.passingLockTries << " operations";
  if (d.userHoldDays > 0) {
    out << "; a user holds " << (d.userHoldsRecord ? "the record" : "profiles.dll")
        << (d.userHoldShuts ? " shut" : "") << " for " << d.userHoldDays << " days";
  }
  if (d.diskRoom != ~0ull) {
    out << "; room for " << d.diskRoom << " bytes" << (d.diskFillsAfterLook ? " (filled after the look)" : "")
        << " until day " << d.diskFreedDay + 1;
  }
  if (d.killRun >= 0) {
    out << "; install or uninstall " << d.killRun + 1 << " " << (d.powerCut ? "loses the power" : "killed")
        << " before call " << d.killCall;
  }
  if (d.uninstallDay >= 0) out << "; uninstall sent on day " << d.uninstallDay + 1;
  if (d.overlapAttempts > 0) out << "; another instance holds the lock through " << d.overlapAttempts << " runs";
  if (d.qlStartTimeouts > 0) out << "; QlSvc's start times out " << d.qlStartTimeouts << " times each run";
  if (d.profilesStopAnsweredLate) out << "; QlProfileSvc's stop answered late";
  out << "; a restart " << d.restartDelayDays << " days after a 3010";
  return out.str();
}

Machine::Machine(const std::string& root, uint64_t seed, uint64_t index, const Draw& draw)
    : root_(root), work_(root + "/work"), install_(root + "/Qorlink"), state_(root + ".state"),
      seed_(seed), index_(index), draw_(draw), overlapsLeft_(draw.overlapAttempts) {
  LayOut();
}

Machine::~Machine() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
  std::filesystem::remove(state_, ignored);
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
    if (draw_.product == Draw::Product::kLaterPatch) {
      WriteFile(install_ + "/" + kModules[i], Later(i));
      WriteFile(install_ + "/UpdateBackup/Patch05/" + kModules[i], Old(i));
    }
  }
  if (draw_.start == Draw::Start::kRecord02) WriteFile(install_ + "/UpdateBackup/QlPatch.xml", kRecord02);
  if (draw_.product == Draw::Product::kLaterPatch) WriteFile(install_ + "/UpdateBackup/QlPatch.xml", kRecord05);
  if (draw_.product == Draw::Product::kBackupOpenToUsers) std::filesystem::create_directories(install_ + "/UpdateBackup");
  found_ = Snapshot();
  if (draw_.product != Draw::Product::kInstalled) laidOut_ = Listing();
  if (!draw_.dependent) serviceStates_[2] = '-';
  if (draw_.profilesDisabled == Draw::Disabled::kStopped) serviceStates_[1] = 's';
  ranBefore_ = serviceStates_;
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
    if (draw_.dependentUnlisted) fake::FailCall("ListActiveDependents", 1);
  }
  // Found once every service is added: adding one may move the others.
  fake::Service* ql = fake::FindService(L"QlSvc");
  fake::Service* profiles = fake::FindService(L"QlProfileSvc");
  if (draw_.profilesStop == Draw::Stop::kSlowerThanPolls) {
    profiles->stopTakesMs = 100000;
    profiles->waitHint = 5000;
  }
  if (draw_.profilesStop == Draw::Stop::kNever) profiles->refuseStop = true;
  if (draw_.profilesStopAnsweredLate) {
    profiles->stopTimesOut = true;
    profiles->stopTakesMs = std::max<uint32_t>(profiles->stopTakesMs, 35000);
  }
  ql->processLingerMs = draw_.processLingerMs;
  profiles->disabled = draw_.profilesDisabled != Draw::Disabled::kNo;
  if (draw_.triggerStart) ql->startAgainOn = "CopyFileOver";
  ql->startTimeouts = g_qlStartTimeouts = draw_.qlStartTimeouts;
  for (const wchar_t* name : kProductProcesses) fake::AddProcess(name);
  g_install = install_;
  g_attributed = 0;
  for (int i = 0; i < kModuleCount; ++i) {
    const std::string path = install_ + "/" + kModules[i];
    uint32_t attributes = 0;
    if (draw_.readOnlyModules) attributes |= os::kAttributeReadOnly;
    if (draw_.hiddenModules) attributes |= os::kAttributeHidden;
    if (attributes != 0 && ReadFile(path) == Old(i)) {
      fake::SetFileAttributesOf(path, attributes);
      g_attributed |= 1u << i;
    }
  }
  if (draw_.passingLockTries > 0) fake::HoldFile(install_ + "/core.dll", draw_.passingLockTries);
  // A program can hold only a file that is there.
  const std::string held = draw_.userHoldsRecord ? install_ + "/UpdateBackup/QlPatch.xml" : install_ + "/profiles.dll";
  g_heldPath = day < draw_.userHoldDays && std::filesystem::exists(held) ? held : "";
  if (!g_heldPath.empty() && draw_.userHoldShuts) fake::HoldFile(held, -1);
  if (!g_heldPath.empty() && !draw_.userHoldShuts) fake::HoldFileLettingRead(held);
  g_diskLimited = draw_.diskRoom != ~0ull && day < draw_.diskFreedDay;
  g_diskFillsAfterLook = draw_.diskFillsAfterLook;
  if (g_diskLimited) {
    fake::SetDiskRoom(draw_.diskRoom);
    if (draw_.diskFillsAfterLook) fake::SetDiskRoomShown(1ull << 30);
  }
  fake::SetPendingRenames(pendingRenames_);
}

RunResult Machine::Run(Mode mode, int day) {
  RunResult result;
  const int run = mode == Mode::kQuery ? -1 : changingRuns_++;
  if (run >= 0) runFound_ = Snapshot();
  // Another instance of the tool holding the lock made the backup folder
  // if it was missing, and takes it away at its end if still empty.
  const std::string lock = install_ + "/UpdateBackup/qlpatch.lock";
  result.lockHeldElsewhere = run >= 0 && overlapsLeft_ > 0;
  bool otherMadeFolder = false;
  if (result.lockHeldElsewhere) {
    --overlapsLeft_;
    otherMadeFolder = std::filesystem::create_directories(install_ + "/UpdateBackup");
  }
  const bool crash = crashNext_;
  crashNext_ = false;
  std::filesystem::remove(state_);  // each run leaves its own
  if (!lastKilled_) ranBefore_ = serviceStates_;
  const auto began = std::chrono::steady_clock::now();
  std::fflush(nullptr);
  fake::JoinThreads();
  const pid_t child = fork();
  if (child == 0) {
    PrepareChild(day);
    if (result.lockHeldElsewhere) fake::SetLockFileHolder(lock, fake::LockFileHolder::kOtherProcess);
    g_crash = crash;
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
    _exit(ToolCode(code) ? StatusOf(code) : kStrangeCodeStatus);
  }
  int status = 0;
  waitpid(child, &status, 0);
  result.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
  const int exited = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.killed = exited == kKilledStatus || exited == kPowerCutStatus || exited == kOverLimitStatus;
  result.powerCut = exited == kPowerCutStatus;
  result.code = result.killed ? -1000 : CodeOf(exited);
  const std::string state = std::filesystem::exists(state_) ? ReadFile(state_) : "";
  if (WIFSIGNALED(status)) {
    result.crash = "the run crashed (signal " + std::to_string(WTERMSIG(status)) + ")";
  } else if (exited == kSanitizerStatus) {
    result.crash = "the run crashed (a sanitizer's report)";
  } else if (exited == kStrangeCodeStatus || (!result.killed && !ToolCode(result.code))) {
    result.crash = "the run ended with a code the tool has not (exit status " + std::to_string(exited) + ")";
  } else if (state.size() < 7) {
    result.crash = "the run ended without leaving its state (exit status " + std::to_string(exited) + ")";
  }
  if (!result.crash.empty()) result.code = -2000;
  // A cut stays open until an install or uninstall that is let in ends:
  // that run must finish it.
  if (run >= 0 && result.killed) {
    lastKilled_ = true;
    lastPowerCut_ = lastPowerCut_ || result.powerCut;
  } else if (run >= 0 && !result.lockHeldElsewhere && result.code != RC_ANOTHER_RUN_IN_PROGRESS) {
    lastKilled_ = lastPowerCut_ = false;
  }
  uint32_t met = 0;
  if (result.crash.empty()) {
    serviceStates_ = state.substr(0, 3);
    std::memcpy(&met, state.data() + 3, sizeof met);
    pendingRenames_.resize((state.size() - 7) / sizeof(wchar_t));
    std::memcpy(pendingRenames_.data(), state.data() + 7, pendingRenames_.size() * sizeof(wchar_t));
  }
  met |= (exited == kKilledStatus ? 1u << kFaultKill : 0u) | (result.powerCut ? 1u << kFaultPowerCut : 0u) |
         (mode == Mode::kUndo ? 1u << kFaultUninstall : 0u) | (result.lockHeldElsewhere ? 1u << kFaultOverlap : 0u);
  faultsMet_ |= met & DrawnFaults(draw_);
  if (result.lockHeldElsewhere) {  // the other instance ends
    std::error_code ignored;
    std::filesystem::remove(lock, ignored);
    if (otherMadeFolder) std::filesystem::remove(install_ + "/UpdateBackup", ignored);  // only if empty
  }
  std::ostringstream line;
  line << "day " << day << ": " << (mode == Mode::kApply ? "install" : mode == Mode::kUndo ? "uninstall" : "detect")
       << (result.lockHeldElsewhere ? " (another instance holds the lock)" : "") << " -> "
       << (result.killed ? std::string("cut off") : !result.crash.empty() ? result.crash : std::to_string(result.code))
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
  ranBefore_ = serviceStates_;  // a restart does not finish a run cut off: the next run must
  history_.push_back("day " + std::to_string(day) + ": restart");
}

void Machine::Wait(int day, int minutes, const std::string& why) {
  history_.push_back("day " + std::to_string(day) + ": the fleet tool waits " + std::to_string(minutes) +
                     " minutes (" + why + ")");
}

std::string Machine::Snapshot() const {
  std::string files;
  for (const char* module : kModules) {
    files += ReadFile(install_ + "/" + module) + "|" + ReadFile(install_ + "/UpdateBackup/Patch03/" + module) + "|";
  }
  return files + ReadFile(install_ + "/UpdateBackup/QlPatch.xml");
}

std::string Machine::Listing() const {
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root_)) {
    const std::string path = entry.path().string().substr(root_.size());
    const std::string name = entry.path().filename().string();
    // A later patch's machine gets the run log of each run that met it, and
    // the lock file of one a power cut ended (a kill's goes with its handle).
    if (draw_.product == Draw::Product::kLaterPatch &&
        (name == "qlpatch.log" || name == "qlpatch.log.1" || (name == "qlpatch.lock" && lastPowerCut_))) {
      continue;
    }
    if (entry.is_directory()) {
      entries.push_back(path + "/");
    } else {
      const std::string bytes = ReadFile(entry.path().string());
      entries.push_back(path + " " + std::to_string(bytes.size()) + " " +
                        std::to_string(std::hash<std::string>()(bytes)));
    }
  }
  std::sort(entries.begin(), entries.end());
  std::string listing;
  for (const std::string& entry : entries) listing += entry + "\n";
  return listing;
}

bool Machine::Patched() const {
  for (int i = 0; i < kModuleCount; ++i) {
    if (ReadFile(install_ + "/" + kModules[i]) != New(i)) return false;
  }
  return ReadFile(install_ + "/UpdateBackup/QlPatch.xml").find("<CurVersion>03</CurVersion>") != std::string::npos;
}

void Machine::BreakOnPurpose() {
  if (draw_.product == Draw::Product::kInstalled) {
    WriteFile(install_ + "/core.dll", "garbage");
  } else {
    WriteFile(install_ + "/stray.log", "written where nothing may be");
  }
}

std::string Machine::RunLog() const {
  const std::string older = install_ + "/UpdateBackup/qlpatch.log.1";
  return (std::filesystem::exists(older) ? ReadFile(older) : "") + ReadFile(install_ + "/UpdateBackup/qlpatch.log");
}

std::string Machine::CheckInvariants(const RunResult* last, Mode mode) const {
  return Check(last, mode, lastKilled_);
}

std::string Machine::CheckAtEnd() const { return Check(nullptr, Mode::kQuery, false); }

// `cutOpen`: a run was cut off and no run has ended since to finish it.
std::string Machine::Check(const RunResult* last, Mode mode, bool cutOpen) const {
  if (last != nullptr && !last->crash.empty()) return last->crash;
  const std::string record = ReadFile(install_ + "/UpdateBackup/QlPatch.xml");
  const bool recorded = record.find("<CurVersion>03</CurVersion>") != std::string::npos;
  const bool journal = std::filesystem::exists(install_ + "/UpdateBackup/qlpatch.journal");
  const bool productRuns = serviceStates_[0] == 'r' || serviceStates_[1] == 'r';
  // What a cut leaves (a mix, services down; after a power cut, a module
  // holding zeros) stands only with the product's services stopped, until
  // the next run finishes it.
  const bool cutLeftIt = cutOpen && journal && !productRuns;
  // The restart after a power cut starts the services on what the cut
  // left; the product cannot keep them from a mix then, unless asked.
  const bool bootedOnMix = cutOpen && journal && lastPowerCut_ && !strictBoot_;
  // So does a trigger that starts QlSvc in the module phase of a run that
  // is then cut off: the run would have stopped it again before its start
  // phase.
  const bool triggeredOnMix = cutOpen && journal && draw_.triggerStart;
  if (draw_.product != Draw::Product::kInstalled) {
    // Its folders stay as laid out, to the byte.
    std::istringstream was(laidOut_), is(Listing());
    std::vector<std::string> before, now, gone, made;
    for (std::string entry; std::getline(was, entry);) before.push_back(entry);
    for (std::string entry; std::getline(is, entry);) now.push_back(entry);
    std::set_difference(before.begin(), before.end(), now.begin(), now.end(), std::back_inserter(gone));
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::back_inserter(made));
    std::string changed;
    for (const std::string& entry : gone) changed += "\n    was: " + entry;
    for (const std::string& entry : made) changed += "\n    is:  " + entry;
    if (!changed.empty()) return "a machine it may not touch was changed (path, size, hash):" + changed;
    if (draw_.product == Draw::Product::kLaterPatch) return ServicesThatRanRun(cutOpen);
    return Snapshot() == found_ && !journal ? "" : "a machine without the product's version was touched";
  }
  int olds = 0, news = 0;
  for (int i = 0; i < kModuleCount; ++i) {
    const std::string installed = ReadFile(install_ + "/" + kModules[i]);
    const std::string backup = ReadFile(install_ + "/UpdateBackup/Patch03/" + kModules[i]);
    if (installed == Old(i)) {
      ++olds;
    } else if (installed == New(i)) {
      ++news;
    } else if (!(lastPowerCut_ && cutLeftIt && installed == std::string(New(i).size(), '\0'))) {
      return std::string(kModules[i]) + " is not whole: '" + installed + "'";
    }
    if (installed != Old(i) && backup != Old(i)) return std::string(kModules[i]) + ": its original is lost";
    if (recorded && backup != Old(i)) return std::string(kModules[i]) + ": on record, but no original backed up";
  }
  if (last != nullptr && last->lockHeldElsewhere && !last->killed && last->code != RC_ANOTHER_RUN_IN_PROGRESS) {
    return "ended with " + std::to_string(last->code) + " while another instance held the lock";
  }
  // A mix drawn as the start stays while no run can change it (a service
  // that never stops, say): the tool returns the machine to what it found.
  // So does a run that cannot read a module held shut which has a backup
  // (new or original?): the mix it found waits for the swap at the restart.
  const bool foundMixWaits = SwapPending() && Snapshot() == runFound_;
  if (olds > 0 && news > 0 && !cutLeftIt && !bootedOnMix && !triggeredOnMix && Snapshot() != found_ &&
      !foundMixWaits) {
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
    if (last->code == RC_SWAP_AT_RESTART &&
        (!SwapPending() || (olds != kModuleCount && news != kModuleCount && !foundMixWaits))) {
      return "3010 without the whole patch waiting for the restart";
    }
  }
  return ServicesThatRanRun(cutOpen);
}

// Every service that ran before runs (the one the admin disabled and
// stopped was never running), once a run has ended after a cut.
std::string Machine::ServicesThatRanRun(bool cutOpen) const {
  for (int i = 0; i < 3 && !cutOpen; ++i) {
    if (ranBefore_[i] == 'r' && serviceStates_[i] != 'r') {
      return "a service that ran is stopped (services " + serviceStates_ + ", before " + ranBefore_ + ")";
    }
  }
  return "";
}

}  // namespace fleet
