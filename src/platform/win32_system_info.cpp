#include <windows.h>

#include <algorithm>
#include <stdexcept>

#include "platform/system_info.h"
#include "platform/win32_text.h"

namespace ol {

std::vector<std::string> ListSerialPorts() {
  std::vector<std::string> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return ports;
  for (DWORD index = 0;; ++index) {
    wchar_t valueName[256];
    DWORD nameLength = static_cast<DWORD>(std::size(valueName));
    wchar_t data[256];
    DWORD dataBytes = sizeof data;
    DWORD type = 0;
    LONG rc = RegEnumValueW(key, index, valueName, &nameLength, nullptr, &type,
                            reinterpret_cast<BYTE*>(data), &dataBytes);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;  // too long or not a name
    // The stored string need not end with a NUL.
    std::wstring_view port(data, dataBytes / sizeof(wchar_t));
    while (!port.empty() && port.back() == L'\0') port.remove_suffix(1);
    if (!port.empty()) ports.push_back(Narrow(port));
  }
  RegCloseKey(key);
  std::sort(ports.begin(), ports.end(), NaturalLess);
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}

std::string ProgramFolder() {
  std::wstring file(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, file.data(), static_cast<DWORD>(file.size()));
    if (n == 0) throw std::runtime_error("cannot find the program file");
    if (n < file.size()) {
      file.resize(n);
      break;
    }
    file.resize(file.size() * 2);  // truncated: try a longer buffer
  }
  const auto slash = file.find_last_of(L"\\/");
  if (slash == std::wstring::npos) throw std::runtime_error("cannot find the program folder");
  return Narrow(std::wstring_view(file).substr(0, slash + 1));
}

std::filesystem::path LongPathForm(const std::filesystem::path& path) {
  std::wstring p = path.wstring();
  for (wchar_t& c : p)
    if (c == L'/') c = L'\\';  // the prefix turns off the system's own conversion
  const bool drive = p.size() >= 3 && p[1] == L':' && p[2] == L'\\';
  const bool unc = p.size() >= 3 && p[0] == L'\\' && p[1] == L'\\' && p[2] != L'?' && p[2] != L'.';
  if (drive) return std::filesystem::path(L"\\\\?\\" + p);
  if (unc) return std::filesystem::path(L"\\\\?\\UNC\\" + p.substr(2));
  return path;
}

std::string SystemDateTimeText(const LocalDateTime& when, const char* localeName) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(when.year);
  st.wMonth = static_cast<WORD>(when.month);
  st.wDay = static_cast<WORD>(when.day);
  st.wHour = static_cast<WORD>(when.hour);
  st.wMinute = static_cast<WORD>(when.minute);
  st.wSecond = static_cast<WORD>(when.second);
  // The weekday, which some date formats show.
  FILETIME ft;
  if (SystemTimeToFileTime(&st, &ft)) FileTimeToSystemTime(&ft, &st);
  std::wstring locale = (localeName && *localeName) ? Widen(localeName) : std::wstring();
  const wchar_t* name = locale.empty() ? LOCALE_NAME_USER_DEFAULT : locale.c_str();
  if (!locale.empty() && !IsValidLocaleName(name)) name = LOCALE_NAME_INVARIANT;
  wchar_t date[128];
  wchar_t time[128];
  if (GetDateFormatEx(name, DATE_SHORTDATE, &st, nullptr, date, 128, nullptr) == 0) date[0] = 0;
  if (GetTimeFormatEx(name, 0, &st, nullptr, time, 128) == 0) time[0] = 0;
  return Narrow(date) + " " + Narrow(time);
}

}  // namespace ol
