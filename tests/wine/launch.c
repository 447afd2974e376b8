/* launch.exe <program> [args...]
 *
 * Runs the program with the rest of this command line exactly as given,
 * in the current folder and with this process's standard handles, waits for
 * it and prints its exit code as a signed 32-bit decimal, "exit=-1", as the
 * only line on standard output. Wine hands only the low 8 bits of an exit
 * code to the Linux parent; this line carries all 32.
 */
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

/* The command line after this program's own name, as the system parses it:
 * a quoted name ends at the closing quote, a plain one at the first blank. */
static const wchar_t* SkipOwnName(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line != 0 && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != 0 && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

int wmain(int argc, wchar_t** argv) {
  (void)argv;
  if (argc < 2) {
    fwprintf(stderr, L"usage: launch.exe <program> [args...]\n");
    return 2;
  }
  const wchar_t* rest = SkipOwnName(GetCommandLineW());
  size_t chars = wcslen(rest) + 1;
  /* CreateProcessW may write into its command line. */
  wchar_t* commandLine = (wchar_t*)malloc(chars * sizeof(wchar_t));
  if (commandLine == NULL) {
    fwprintf(stderr, L"launch: out of memory\n");
    return 2;
  }
  memcpy(commandLine, rest, chars * sizeof(wchar_t));

  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child;
  ZeroMemory(&child, sizeof child);
  /* Flush our own stream first: the child writes to the same file. */
  fflush(stdout);
  BOOL started = CreateProcessW(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child);
  DWORD startError = GetLastError();
  free(commandLine);
  if (!started) {
    fwprintf(stderr, L"launch: cannot start the program (error %lu)\n", (unsigned long)startError);
    return 2;
  }
  CloseHandle(child.hThread);

  int result = 0;
  DWORD code = 0;
  if (WaitForSingleObject(child.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(child.hProcess, &code)) {
    fwprintf(stderr, L"launch: cannot read the exit code (error %lu)\n", (unsigned long)GetLastError());
    result = 2;
  } else {
    printf("exit=%ld\n", (long)(LONG)code);
    fflush(stdout);
  }
  CloseHandle(child.hProcess);
  return result;
}
