#include "checker/folder_check.h"

#include "checker/finding_text.h"
#include "platform/platform.h"
#include "patchdata/module_names.h"

namespace {

constexpr const wchar_t* kToolFileName = L"qlpatch.exe";

void PrintField(const std::wstring& label, const std::wstring& value) {
  std::wstring padded = label;
  if (padded.size() < 14) padded.resize(14, L' ');
  os::PrintLine((L"  " + padded + value).c_str());
}

std::wstring ValueOrNone(const std::wstring& value) { return value.empty() ? L"(none)" : value; }

std::wstring Describe(const FileFingerprint& file) {
  if (!file.readable) return L"missing from this folder";
  if (file.sha256.empty()) {
    return std::to_wstring(file.bytes) + L" bytes, SHA-256 not available (error " +
           std::to_wstring(file.hashError) + L")";
  }
  return std::to_wstring(file.bytes) + L" bytes, SHA-256 " +
         std::wstring(file.sha256.begin(), file.sha256.end());
}

}  // namespace

FolderReport CheckPatchFolder() {
  FolderReport report;
  report.description = CheckDescription(&report.findings);
  report.tool = FingerprintFile(kToolFileName);
  return report;
}

void PrintReport(const FolderReport& report) {
  for (const std::wstring& finding : report.findings) os::PrintLine(finding.c_str());
  const DescriptionFacts& facts = report.description;
  os::PrintLine(L"Summary");
  PrintField(L"Version", ValueOrNone(facts.version));
  PrintField(L"BuildID", ValueOrNone(facts.buildId));
  PrintField(L"PatchVersion", ValueOrNone(facts.patchVersion));
  PrintField(L"WerNum", ValueOrNone(facts.moduleCount));
  for (const ListedModule& module : facts.modules) {
    std::wstring origin;
    if (!module.borrowedFrom.empty()) {
      origin = L" (" + Widen(module.borrowedFrom) + L"'s)";
    }
    PrintField(L"WER" + std::to_wstring(module.index),
               ValueOrNone(module.name) + origin + L": " +
                   (IsSafeModuleName(module.name.c_str()) ? Describe(module.newCopy)
                                                          : L"a name the tool refuses"));
  }
  PrintField(kToolFileName, report.tool.readable ? Describe(report.tool) : L"not in this folder");
  if (report.findings.empty()) {
    os::PrintLine(L"No problems found: qlpatch.exe would apply this folder cleanly.");
  } else {
    os::PrintLine((std::to_wstring(report.findings.size()) +
                   L" problem(s) found: qlpatch.exe would not apply this folder cleanly.")
                      .c_str());
  }
}

int ExitCodeOf(const FolderReport& report) {
  if (report.description.unreadable) return kCheckUnreadable;
  return report.findings.empty() ? kCheckClean : kCheckProblems;
}

int RunChecker(int argc, wchar_t** argv) {
  if (argc > 2) {
    os::PrintLine(L"usage: qlpatch-check.exe [patch folder]");
    return kCheckUnreadable;
  }
  if (argc == 2) {
    // The description file is opened by its relative name, as qlpatch.exe does.
    if (!os::SetWorkingFolder(argv[1])) {
      const uint32_t error = os::LastError();
      os::PrintLine((std::wstring(argv[1]) + L": cannot open this folder (error " + std::to_wstring(error) + L")")
                        .c_str());
      return kCheckUnreadable;
    }
    os::PrintLine((L"Checking " + std::wstring(argv[1])).c_str());
  } else {
    os::PrintLine(L"Checking the current folder");
  }
  const FolderReport report = CheckPatchFolder();
  PrintReport(report);
  return ExitCodeOf(report);
}
