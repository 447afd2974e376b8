/* hold_file.exe FILE READY-FILE [ms [share-nothing]]
 *
 * Holds FILE open as an antivirus scan or another program does: for
 * reading, sharing reading only, so that the file cannot be written,
 * renamed, replaced or deleted while it is held; with share-nothing, it
 * cannot even be read. Creates READY-FILE once it holds it, then lets it
 * go after ms milliseconds (an hour when not given) and ends.
 */
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || argc > 5 || (argc == 5 && wcscmp(argv[4], L"share-nothing") != 0)) {
    fwprintf(stderr, L"usage: hold_file.exe FILE READY-FILE [ms [share-nothing]]\n");
    return 2;
  }
  DWORD holdMs = argc >= 4 ? (DWORD)_wtoi(argv[3]) : 60 * 60 * 1000;
  DWORD share = argc == 5 ? 0 : FILE_SHARE_READ;
  HANDLE held = CreateFileW(argv[1], GENERIC_READ, share, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (held == INVALID_HANDLE_VALUE) {
    fwprintf(stderr, L"hold_file: cannot open %ls (error %lu)\n", argv[1], (unsigned long)GetLastError());
    return 1;
  }
  HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (ready == INVALID_HANDLE_VALUE) {
    CloseHandle(held);
    return 1;
  }
  CloseHandle(ready);
  Sleep(holdMs);
  CloseHandle(held);
  return 0;
}
