/* The floor for the query mode's start-up cost: a minimal program that makes
 * the calls `qlpatch.exe -c patch` makes (the install key opened and its
 * values read, the description file and the record opened and read) and
 * imports the same DLLs, without any of the tool's logic. */
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <shlwapi.h>
#include <stdio.h>

static void ReadValue(HKEY key, const wchar_t* name) {
  wchar_t value[255] = {0};
  DWORD size = sizeof value;
  RegQueryValueExW(key, name, NULL, NULL, (BYTE*)value, &size);
}

static void ReadWhole(const wchar_t* path) {
  FILE* file = _wfopen(path, L"rb");
  char buffer[4096];
  if (file == NULL) return;
  while (fread(buffer, 1, sizeof buffer, file) > 0) {
  }
  fclose(file);
}

int wmain(void) {
  HKEY key = NULL;
  wchar_t path[255] = {0};
  DWORD size = sizeof path;
  int number = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tarvex\\Durirave\\Install\\", 0, KEY_READ, &key) ==
      ERROR_SUCCESS) {
    ReadValue(key, L"Version");
    ReadValue(key, L"BuildID");
    RegQueryValueExW(key, L"Path", NULL, NULL, (BYTE*)path, &size);
    RegCloseKey(key);
  }
  ReadWhole(L"patchql58302.dat");
  lstrcatW(path, L"\\UpdateBackup\\QlPatch.xml");
  ReadWhole(path);
  StrToIntExW(L"03", STIF_DEFAULT, &number);
  return number == 3 ? 17 : 1;
}
