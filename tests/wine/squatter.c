/* squatter.exe: what a standard user could leave where an elevated tool
 * might trust it.
 *
 *   squatter.exe [args...]                 appends its command line to
 *       "<its own path>.ran" and exits with 19 (what qlpatch.exe -c patch
 *       answers once the patch is applied): planted as qlpatch.exe, it shows
 *       whether a script ran it.
 *   squatter.exe --hold-mutex NAME READY   creates the named mutex, owns it,
 *       creates the file READY and waits for up to an hour.
 */
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && wcscmp(argv[1], L"--hold-mutex") == 0) {
    HANDLE mutex = CreateMutexW(NULL, TRUE, argv[2]);
    if (mutex == NULL) return 1;
    HANDLE ready = CreateFileW(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (ready == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(ready);
    Sleep(60 * 60 * 1000);
    return 0;
  }
  wchar_t path[MAX_PATH + 8];
  DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return 1;
  wcscat(path, L".ran");
  HANDLE mark = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (mark != INVALID_HANDLE_VALUE) {
    const wchar_t* line = GetCommandLineW();
    DWORD written = 0;
    WriteFile(mark, line, (DWORD)(wcslen(line) * sizeof(wchar_t)), &written, NULL);
    WriteFile(mark, L"\r\n", 2 * sizeof(wchar_t), &written, NULL);
    CloseHandle(mark);
  }
  return 19;
}
