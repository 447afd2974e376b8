/* dummy.exe [ready-file]
 *
 * A GUI-subsystem program that only waits, for up to an hour. The tests copy
 * it under the product's program names, and run it as the keep-alive process
 * that holds the Wine server and its services up during a test. Given a file
 * path, it creates that file once it is running, so the caller knows when.
 */
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
  (void)instance;
  (void)previous;
  (void)show;
  if (commandLine != NULL && commandLine[0] != 0) {
    HANDLE ready = CreateFileW(commandLine, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    if (ready == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(ready);
  }
  Sleep(60 * 60 * 1000);
  return 0;
}
