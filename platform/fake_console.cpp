// Stand-in for whole lines on standard output: kept with everything
// PrintWide wrote (fake::Output), each character as it was given.
#include "platform/fake_machine.h"

using namespace fake_internal;

namespace os {

void PrintLine(const wchar_t* line) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().output.append(line);
  M().output.append(L"\r\n");
}

}  // namespace os
