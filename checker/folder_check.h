// qlpatch-check: checks a patch folder before it ships and tells whether
// qlpatch.exe would apply it cleanly.
#pragma once

#include <string>
#include <vector>

#include "checker/description_check.h"

constexpr int kCheckClean = 0;       // qlpatch.exe would apply the folder cleanly
constexpr int kCheckProblems = 1;    // at least one finding
constexpr int kCheckUnreadable = 2;  // the folder (or its description file) cannot be read

struct FolderReport {
  std::vector<std::wstring> findings;  // one line each
  DescriptionFacts description;
  FileFingerprint tool;  // qlpatch.exe in the folder
};

// Checks the current folder.
FolderReport CheckPatchFolder();
// Prints the findings, then the summary.
void PrintReport(const FolderReport& report);
int ExitCodeOf(const FolderReport& report);
// The program: `qlpatch-check [FOLDER]`; the current folder without one.
int RunChecker(int argc, wchar_t** argv);
