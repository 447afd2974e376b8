/* test_service.exe NAME MODE [ms] [hold=PATH] [linger=ms]
 *                                     run by the service manager as service NAME
 * test_service.exe --release NAME     lets a running service NAME end
 *
 * A stand-in for the product's services. Registered with
 *   sc create NAME binPath= "C:\...\test_service.exe NAME MODE [ms] [...]"
 * it reports RUNNING as soon as it starts and then answers the stop control
 * as MODE says:
 *   stop-now     STOPPED at once;
 *   stop-delay   STOP_PENDING with a wait hint of ms, STOPPED ms later;
 *   never-stop   STOP_PENDING, and nothing more;
 *   start-delay  START_PENDING with a wait hint of ms when started, RUNNING
 *                ms later; STOPPED at once;
 *   cannot-start the process ends before it reports anything, so the start
 *                request fails;
 *   refuse-marked  given a file instead of ms: as cannot-start when the file
 *                begins with "QLREFUSE" (a module the service cannot run
 *                on), otherwise as stop-now.
 *   slow-once    given a file instead of ms: when the file is missing, makes
 *                it and never reaches the manager, which gives up on the
 *                start (its pipe timeout) and ends the process; otherwise
 *                as stop-now.
 *   slow-handler its stop handler reports STOP_PENDING and returns only ms
 *                later (cleaning up, past the manager's wait for it), and
 *                the service then reports STOPPED.
 * hold=PATH keeps the file PATH open (no sharing but reading) while the
 * service runs, as a loaded module is held: until just before it reports
 * STOPPED, or with linger=ms, for that long after it reported STOPPED (its
 * process lives on meanwhile).
 * A stopping service gets no further controls, so every running instance
 * also waits on the named event "Global\qlpatch-test-release-NAME"; setting
 * it (the --release form) makes the service report STOPPED and end.
 */
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

enum Mode { kStopNow, kStopDelay, kNeverStop, kCannotStart, kStartDelay, kRefuseMarked, kSlowOnce, kSlowHandler };

static wchar_t g_name[128];
static enum Mode g_mode = kStopNow;
static DWORD g_delayMs = 0;
static SERVICE_STATUS_HANDLE g_statusHandle = NULL;
static HANDLE g_stopRequested = NULL;
static HANDLE g_release = NULL;
static DWORD g_checkPoint = 0;
static HANDLE volatile g_held = INVALID_HANDLE_VALUE;
static DWORD g_lingerMs = 0;

static void LetGo(void) {
  HANDLE held = InterlockedExchangePointer(&g_held, INVALID_HANDLE_VALUE);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
}

static void ReleaseEventName(const wchar_t* service, wchar_t* out, size_t outChars) {
  _snwprintf(out, outChars, L"Global\\qlpatch-test-release-%ls", service);
  out[outChars - 1] = 0;
}

static void Report(DWORD state, DWORD waitHint) {
  SERVICE_STATUS status;
  ZeroMemory(&status, sizeof status);
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = NO_ERROR;
  status.dwWaitHint = waitHint;
  status.dwCheckPoint = (state == SERVICE_STOP_PENDING || state == SERVICE_START_PENDING) ? ++g_checkPoint : 0;
  SetServiceStatus(g_statusHandle, &status);
}

static DWORD WINAPI Handler(DWORD control, DWORD eventType, void* eventData, void* context) {
  (void)eventType;
  (void)eventData;
  (void)context;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      if (g_mode == kSlowHandler) {
        Report(SERVICE_STOP_PENDING, g_delayMs);
        WaitForSingleObject(g_release, g_delayMs);
      }
      SetEvent(g_stopRequested);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

static void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
  (void)argc;
  (void)argv;
  g_statusHandle = RegisterServiceCtrlHandlerExW(g_name, Handler, NULL);
  if (g_statusHandle == NULL) return;
  if (g_mode == kStartDelay) {
    Report(SERVICE_START_PENDING, g_delayMs);
    WaitForSingleObject(g_release, g_delayMs);
  }
  Report(SERVICE_RUNNING, 0);

  HANDLE waits[2] = {g_stopRequested, g_release};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
    if (g_mode == kStopDelay) {
      Report(SERVICE_STOP_PENDING, g_delayMs);
      WaitForSingleObject(g_release, g_delayMs);
    } else if (g_mode == kNeverStop) {
      Report(SERVICE_STOP_PENDING, 0);
      WaitForSingleObject(g_release, INFINITE);
    }
  }
  if (g_lingerMs == 0) LetGo();
  Report(SERVICE_STOPPED, 0);
  if (g_lingerMs != 0) {
    /* The process lives on, holding the file, whatever the dispatcher does. */
    WaitForSingleObject(g_release, g_lingerMs);
    LetGo();
    ExitProcess(0);
  }
}

static int ParseMode(const wchar_t* text, enum Mode* mode) {
  if (wcscmp(text, L"stop-now") == 0) *mode = kStopNow;
  else if (wcscmp(text, L"stop-delay") == 0) *mode = kStopDelay;
  else if (wcscmp(text, L"never-stop") == 0) *mode = kNeverStop;
  else if (wcscmp(text, L"cannot-start") == 0) *mode = kCannotStart;
  else if (wcscmp(text, L"start-delay") == 0) *mode = kStartDelay;
  else if (wcscmp(text, L"refuse-marked") == 0) *mode = kRefuseMarked;
  else if (wcscmp(text, L"slow-once") == 0) *mode = kSlowOnce;
  else if (wcscmp(text, L"slow-handler") == 0) *mode = kSlowHandler;
  else return 0;
  return 1;
}

/* Whether the file begins with the marker of a module the service refuses. */
static int FileIsMarked(const wchar_t* path) {
  static const char kMarker[] = "QLREFUSE";
  char start[sizeof kMarker - 1];
  DWORD read = 0;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BOOL ok = ReadFile(file, start, sizeof start, &read, NULL);
  CloseHandle(file);
  return ok && read == sizeof start && memcmp(start, kMarker, sizeof start) == 0;
}

static int ReleaseService(const wchar_t* service) {
  wchar_t eventName[192];
  ReleaseEventName(service, eventName, sizeof eventName / sizeof eventName[0]);
  HANDLE release = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName);
  if (release == NULL) {
    fwprintf(stderr, L"test_service: no running service %ls\n", service);
    return 1;
  }
  BOOL set = SetEvent(release);
  CloseHandle(release);
  return set ? 0 : 1;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && wcscmp(argv[1], L"--release") == 0) return ReleaseService(argv[2]);
  const wchar_t* holdPath = NULL;
  int usable = argc >= 3 && ParseMode(argv[2], &g_mode) && wcslen(argv[1]) < 64;
  for (int i = 3; usable && i < argc; ++i) {
    if (wcsncmp(argv[i], L"hold=", 5) == 0) holdPath = argv[i] + 5;
    else if (wcsncmp(argv[i], L"linger=", 7) == 0) g_lingerMs = (DWORD)_wtoi(argv[i] + 7);
    else if (i == 3) g_delayMs = (DWORD)_wtoi(argv[i]);
    else usable = 0;
  }
  if (!usable) {
    fwprintf(stderr, L"usage: test_service.exe NAME stop-now|stop-delay|never-stop|cannot-start|start-delay|slow-handler [ms]"
                     L" [hold=PATH] [linger=ms]\n"
                     L"       test_service.exe NAME refuse-marked|slow-once FILE\n"
                     L"       test_service.exe --release NAME\n");
    return 2;
  }
  if (g_mode == kCannotStart) return 1;
  if (g_mode == kRefuseMarked) {
    if (argc < 4 || FileIsMarked(argv[3])) return 1;
    g_mode = kStopNow;
  }
  if (g_mode == kSlowOnce) {
    if (argc < 4) return 1;
    HANDLE made = CreateFileW(argv[3], GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (made != INVALID_HANDLE_VALUE) {
      CloseHandle(made);
      Sleep(INFINITE);
    }
    g_mode = kStopNow;
  }
  wcscpy(g_name, argv[1]);
  if (holdPath != NULL) {
    g_held = CreateFileW(holdPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (g_held == INVALID_HANDLE_VALUE) {
      fwprintf(stderr, L"test_service: cannot hold %ls\n", holdPath);
      return 1;
    }
  }

  wchar_t eventName[192];
  ReleaseEventName(g_name, eventName, sizeof eventName / sizeof eventName[0]);
  g_release = CreateEventW(NULL, TRUE, FALSE, eventName);
  g_stopRequested = CreateEventW(NULL, TRUE, FALSE, NULL);
  int result = 1;
  if (g_release != NULL && g_stopRequested != NULL) {
    SERVICE_TABLE_ENTRYW table[2];
    table[0].lpServiceName = g_name;
    table[0].lpServiceProc = ServiceMain;
    table[1].lpServiceName = NULL;
    table[1].lpServiceProc = NULL;
    result = StartServiceCtrlDispatcherW(table) ? 0 : 1;
  }
  /* The service has reported STOPPED; its process may live on a while. */
  if (g_held != INVALID_HANDLE_VALUE) {
    WaitForSingleObject(g_release, g_lingerMs);
    LetGo();
  }
  if (g_stopRequested != NULL) CloseHandle(g_stopRequested);
  if (g_release != NULL) CloseHandle(g_release);
  return result;
}
