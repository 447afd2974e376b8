// Process entry of qlpatch-check.exe.
#include "checker/folder_check.h"

int wmain(int argc, wchar_t** argv) { return RunChecker(argc, argv); }
