/* A host written from the integrator's guide alone (docs/集成指南.md: what the host does
 * and the request kinds): starts orderlink.exe with its window handle and answers every
 * request by window messages, as host.py does on Linux: the reply names the request by
 * its header line and echoes the record; an empty T1.txt (KHKH, PYKH, ZKMD, XJJZ) is
 * answered as KHKH. Closes the gateway (0x500, LPARAM 16) on "quit" or end of input,
 * then waits for it to end.
 *   host.exe GATEWAY_EXE [KEEP]    (KEEP: a file every T1.txt read is appended to) */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#define WM_ORDERLINK 0x500
#define WM_QUIT_HOST (WM_APP + 1)

static HWND gateway;
static wchar_t txt[MAX_PATH];
static const wchar_t *keep;
static const char ok[] = "\xca\xd5\xb5\xbd\r\n"; /* 收到 in GBK */

static void path(wchar_t *out, const wchar_t *file) { _snwprintf(out, MAX_PATH, L"%ls\\%ls", txt, file); }

static void answer(void) {
  static char request[8192], reply[8192 + 64];
  wchar_t t1[MAX_PATH], r1[MAX_PATH];
  DWORD got = 0, put = 0, n;
  path(t1, L"T1.txt");
  path(r1, L"R1.txt");
  /* Closed at once: the gateway cannot replace an open T1.txt. */
  HANDLE f = CreateFileW(t1, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         NULL, OPEN_EXISTING, 0, NULL);
  if (f != INVALID_HANDLE_VALUE) {
    ReadFile(f, request, sizeof request - 1, &got, NULL);
    CloseHandle(f);
  }
  request[got] = 0;
  if (keep) {
    FILE *k = _wfopen(keep, L"ab");
    if (k) fwrite(request, 1, got, k), fclose(k);
  }
  char *eol = strstr(request, "\r\n");
  if (got == 0 || !eol) {
    n = (DWORD)sprintf(reply, "KHKH\r\n%s", ok);
    printf("host: request (empty T1.txt)\n");
  } else {
    size_t header = (size_t)(eol - request);
    memcpy(reply, request, header + 2);
    n = (DWORD)(header + 2);
    memcpy(reply + n, ok, sizeof ok - 1);
    n += sizeof ok - 1;
    memcpy(reply + n, eol + 2, got - header - 2);
    n += got - header - 2;
    printf("host: request '%.*s'\n", (int)header, request);
  }
  fflush(stdout);
  /* Whole and closed before the notice. */
  f = CreateFileW(r1, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (f == INVALID_HANDLE_VALUE) return;
  WriteFile(f, reply, n, &put, NULL);
  CloseHandle(f);
  PostMessageW(gateway, WM_ORDERLINK, 0, 1);
}

static LRESULT CALLBACK proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_ORDERLINK) {
    if (wp == 1 && lp == 1) {
      if (gateway) answer();
    } else if (wp == (WPARAM)lp && wp != 11) {
      gateway = (HWND)lp;
      printf("host: gateway announced handle %llu\n", (unsigned long long)lp);
      fflush(stdout);
    }
    return 0;
  }
  if (m == WM_QUIT_HOST) {
    if (gateway) PostMessageW(gateway, WM_ORDERLINK, 0, 16);
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(w, m, wp, lp);
}

static DWORD WINAPI commands(void *window) {
  char line[64];
  while (fgets(line, sizeof line, stdin) && strncmp(line, "quit", 4) != 0) {
  }
  PostMessageW((HWND)window, WM_QUIT_HOST, 0, 0);
  return 0;
}

int main(void) {
  int argc;
  wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: host.exe GATEWAY_EXE [KEEP]\n");
    return 2;
  }
  keep = argc == 3 ? argv[2] : NULL;
  wchar_t exe[MAX_PATH], *slash;
  GetFullPathNameW(argv[1], MAX_PATH, exe, NULL);
  wcscpy(txt, exe);
  slash = wcsrchr(txt, L'\\');
  wcscpy(slash ? slash + 1 : txt, L"TXT"); /* beside the gateway */
  WNDCLASSW wc = {0};
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(NULL);
  wc.lpszClassName = L"GuideHost";
  RegisterClassW(&wc);
  HWND window = CreateWindowW(L"GuideHost", L"guide host", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                              NULL, NULL, wc.hInstance, NULL);
  wchar_t command[2 * MAX_PATH];
  _snwprintf(command, 2 * MAX_PATH, L"\"%ls\" %llu", exe, (unsigned long long)(UINT_PTR)window);
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessW(exe, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
    fprintf(stderr, "host: cannot start %ls (%lu)\n", exe, GetLastError());
    return 1;
  }
  CloseHandle(CreateThread(NULL, 0, commands, window, 0, NULL));
  MSG msg;
  while (GetMessageW(&msg, NULL, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  DWORD status = 1;
  WaitForSingleObject(pi.hProcess, 30000);
  GetExitCodeProcess(pi.hProcess, &status);
  printf("host: gateway exited with status %lu\n", status);
  return status == 0 ? 0 : 1;
}
