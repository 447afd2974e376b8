// The journal's lines, in the tool's own wide characters (UTF-16 on
// Windows), each ended by CR LF and written through before the step it
// names is taken:
//   mode apply | mode undo
//   service <name>     one for each service the run found running, and,
//                      after the heading, one for each other service the
//                      run is about to send a stop
//   module <name>      one for each module it is to change
//   patch Patch03      the heading's last line
//   begin <step> / done <step> / failed <step> / undo <step> / undone <step>
//   modules changing   before the run's first change to an installed module
//   end                the runs above ended whole (written before the
//                      journal is deleted, which a power cut can undo)
// A line cut short by a power cut holds zeros, its line end too; it is
// skipped, and a heading written after one starts on a line of its own. A
// run that finishes one that was cut off adds its heading after that run's
// lines: the last whole heading names the run to finish, and every service
// any of them found running is to run again.
#include "driver/journal.h"

#include <cstdio>
#include <cwchar>

#include "shared/file_steps.h"
#include "shared/run_log.h"

bool JournalPathOf(const InstallInfo& install, wchar_t (&path)[kPathChars]) {
  return install.folderRead && BuildPath(path, install.folder, kBackupRootName, kJournalFileName);
}

namespace {

constexpr const wchar_t* kModulesChanging = L"modules changing";
constexpr const wchar_t* kEnded = L"end";

bool StartsWith(const std::wstring& line, const wchar_t* word, std::wstring* rest) {
  const size_t length = std::wcslen(word);
  if (line.compare(0, length, word) != 0 || line.size() <= length || line[length] != L' ') return false;
  *rest = line.substr(length + 1);
  return true;
}

}  // namespace

JournalFound ReadJournal(const wchar_t* path, CutOffRun* run) {
  *run = CutOffRun();
  if (!os::PathExists(path)) return JournalFound::kNone;
  std::FILE* file = os::OpenFile(path, L"rb");
  // There but unreadable: taken as a run cut off, so nothing is answered
  // or done as if the product were whole or its modules untouched.
  if (file == nullptr) {
    run->modulesChanged = true;
    return JournalFound::kCutOff;
  }
  std::wstring text;
  wchar_t buffer[512];
  for (size_t n; (n = std::fread(buffer, sizeof(wchar_t), 512, file)) > 0;) text.append(buffer, n);
  const bool readToEnd = !std::ferror(file);
  std::fclose(file);
  if (!readToEnd) {
    *run = CutOffRun();
    run->modulesChanged = true;
    return JournalFound::kCutOff;
  }
  CutOffRun heading;  // the heading being read
  bool ended = false;  // nothing but whole runs so far
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = text.substr(start, end - start);
    start = end + 2;
    if (line.empty() || line.find(L'\0') != std::wstring::npos) continue;
    ended = line == kEnded;
    std::wstring rest;
    if (StartsWith(line, L"mode", &rest)) {
      heading = CutOffRun();
      heading.mode = rest == L"undo" ? RunMode::kUndo : RunMode::kApply;
      heading.services = run->services;
      heading.modulesChanged = run->modulesChanged;
    } else if (StartsWith(line, L"patch", &rest)) {
      heading.patch = rest;
      heading.lastStep = run->lastStep;
      *run = heading;  // a whole heading
    } else if (StartsWith(line, L"service", &rest)) {
      // In a heading, or written by its run before a stop.
      (heading.patch.empty() ? heading.services : run->services).push_back(rest);
    } else if (StartsWith(line, L"module", &rest)) {
      heading.modules.push_back(rest);
    } else if (line == kModulesChanging) {
      run->modulesChanged = true;
    } else if (ended) {
      *run = CutOffRun();
      heading = CutOffRun();
    } else {
      run->lastStep = line;
    }
  }
  if (ended) return JournalFound::kEnded;
  return run->patch.empty() ? JournalFound::kBlank : JournalFound::kCutOff;
}

void RemoveJournal(const wchar_t* path) {
  if (!os::PathExists(path)) return;
  // Written through first: a deletion is not, and a journal that came back
  // would keep every other patch's tool out.
  if (os::Handle file = os::OpenAppendWriteThrough(path); file != nullptr) {
    const std::wstring ended = std::wstring(L"\r\n") + kEnded + L"\r\n";
    os::AppendBytes(file, ended.data(), static_cast<uint32_t>(ended.size() * sizeof(wchar_t)));
    os::CloseKernelHandle(file);
  }
  FileStep remove;
  if (!DeleteRetrying(path, &remove)) {
    LogFailure(remove.error, L"the journal %ls cannot be removed (%d tries)", path, remove.tries);
  }
}

Journal::~Journal() {
  if (file_ != nullptr) os::CloseKernelHandle(file_);
}

bool Journal::Begin(const wchar_t* path, RunMode mode, const wchar_t* patch, const ServiceLedger& services,
                    const std::vector<ModulePlan>& modules) {
  path_ = path;
  madeByThisRun_ = !os::PathExists(path);
  file_ = os::OpenAppendWriteThrough(path);
  if (file_ == nullptr) return false;
  // The heading in one write: a run cut off while it is written has
  // changed nothing yet, and its journal reads as blank.
  std::wstring heading = mode == RunMode::kApply ? L"mode apply" : L"mode undo";
  servicesNamed_.clear();
  for (const ServiceRecord& record : services.Records()) {
    const bool running = record.stateFound != 0 && record.stateFound != os::kServiceStopped;
    if (running) servicesNamed_.push_back(record.name);
  }
  for (const std::wstring& name : services.Carried()) servicesNamed_.push_back(name);
  for (const std::wstring& name : servicesNamed_) heading += L"\r\nservice " + name;
  for (const ModulePlan& module : modules) heading += L"\r\nmodule " + module.name;
  // After what is there, on a line of its own: the last line may have been
  // cut short without its line end.
  if (!madeByThisRun_) heading = L"\r\n" + heading;
  return Write(heading + L"\r\npatch " + patch);
}

void Journal::Note(const wchar_t* what, const std::wstring& step) {
  if (file_ != nullptr) Write(std::wstring(what) + L" " + step);
}

void Journal::NoteServiceStopping(const wchar_t* name) {
  if (file_ == nullptr) return;
  for (const std::wstring& named : servicesNamed_) {
    if (SameIgnoringAsciiCase(named, name)) return;
  }
  if (!Write(std::wstring(L"service ") + name)) {
    LogFailure(os::LastError(), L"the journal cannot name the service %ls, about to be stopped", name);
    return;
  }
  servicesNamed_.push_back(name);
}

bool Journal::NoteModulesChanging() {
  if (file_ != nullptr && !modulesNoted_) modulesNoted_ = Write(kModulesChanging);
  return modulesNoted_;
}

void Journal::Finish() {
  if (file_ == nullptr) return;
  os::CloseKernelHandle(file_);
  file_ = nullptr;
  RemoveJournal(path_.c_str());
}

void Journal::Abandon() {
  if (file_ == nullptr) return;
  os::CloseKernelHandle(file_);
  file_ = nullptr;
  if (madeByThisRun_) RemoveJournal(path_.c_str());
}

bool Journal::Write(const std::wstring& line) {
  const std::wstring ended = line + L"\r\n";
  return os::AppendBytes(file_, ended.data(), static_cast<uint32_t>(ended.size() * sizeof(wchar_t)));
}
