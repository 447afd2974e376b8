// The entry's choice of mode, and the query mode with its option scanner.
#include <cstring>
#include <new>

#include "driver/cut_off_run.h"
#include "driver/driver.h"
#include "patchdata/patchdata.h"
#include "shared/shared.h"

int32_t g_optionIndex = 1;
const char* g_optionArgument = nullptr;

ResultCode RunEntry(int argc, wchar_t** argv) {
  g_status = RC_UNKNOWN;
  if (argc >= 2) {
    g_status = RunCommandLine(argc, argv);
  } else {
    g_status = RunInteractiveUpdate();
  }
  return g_status;
}

int ScanOption(int argc, char** arguments, const char* options) {
  if (argc == 1) return -1;
  if (g_optionIndex >= argc) {
    g_optionIndex = 1;
    return -1;
  }
  const char* argument = arguments[g_optionIndex];
  if (argument == nullptr || std::strlen(argument) != 2 || argument[0] != '-') {
    g_optionIndex = argc;  // the scan ends at the first argument that is no option
    return '?';
  }
  const char* found = std::strchr(options, argument[1]);
  if (found == nullptr) {
    ++g_optionIndex;
    return '?';
  }
  if (found[1] == ':') {
    ++g_optionIndex;
    g_optionArgument = arguments[g_optionIndex];
  }
  ++g_optionIndex;
  return argument[1];
}

ResultCode RunCommandLine(int argc, wchar_t** argv) {
  ResultCode status = RC_UNKNOWN;
  if (argc >= kMaxArgumentSlots) return RC_TOO_MANY_ARGUMENTS;

  char* slots[kMaxArgumentSlots] = {};
  bool converted = true;
  for (int i = 0; i < argc && converted; ++i) {
    int bytes = os::NarrowText(os::kOemCodePage, argv[i], nullptr, 0);
    slots[i] = bytes > 0 ? new (std::nothrow) char[bytes] : nullptr;
    converted = slots[i] != nullptr && os::NarrowText(os::kOemCodePage, argv[i], slots[i], bytes) > 0;
  }

  if (!converted) {
    // An argument that cannot be read is a command line the tool cannot accept.
    status = RC_BAD_COMMAND_LINE;
  } else {
    const char* command = nullptr;
    g_optionArgument = nullptr;
    for (int option; (option = ScanOption(argc, slots, "c:")) != -1;) {
      if (option == 'c') {
        command = g_optionArgument;
      } else {
        status = RC_BAD_COMMAND_LINE;
      }
    }
    if (status != RC_BAD_COMMAND_LINE) {
      if (command == nullptr) {
        status = RC_BAD_COMMAND_LINE;
      } else if (std::strcmp(command, "patch") == 0) {
        const InstallInfo install = ReadInstallInfo();
        const PatchDescription description = ReadPatchDescription();
        status = CheckInstalledProduct(install, description);
        if (status == RC_SUCCEED) {
          wchar_t recordPath[kPathChars] = {};
          status = AnswerOverCutOffRun(install, EvaluatePatchState(install, description, recordPath));
        }
      } else if (std::strcmp(command, "undo") == 0) {
        status = RunUndo();
      }
    }
  }

  for (char* slot : slots) delete[] slot;
  return status;
}
