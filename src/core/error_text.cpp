#include "core/error_text.h"

#include <filesystem>

#include "core/text_file.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace ol {

std::string ErrorText(const std::error_code& ec) {
#ifdef _WIN32
  // The runtime's generic codes are errno values; its system codes are the system's.
  if (ec.category() == std::system_category()) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(ec.value()), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring wide(text ? text : L"", n);
    if (text) LocalFree(text);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' '))
      wide.pop_back();
    if (!wide.empty()) {
      const int size = static_cast<int>(wide.size());
      const int m =
          WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
      std::string out(static_cast<std::size_t>(m), '\0');
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, out.data(), m, nullptr, nullptr);
      return out + " (" + std::to_string(ec.value()) + ")";
    }
    return "error " + std::to_string(ec.value());
  }
#endif
  return ec.message();
}

std::string ErrorText(const std::exception& e) {
  if (const auto* fs = dynamic_cast<const std::filesystem::filesystem_error*>(&e)) {
    std::string text = ErrorText(fs->code());
    for (const std::filesystem::path* p : {&fs->path1(), &fs->path2()})
      if (!p->empty()) text += " [" + DisplayText(*p) + "]";
    return text;
  }
  if (const auto* sys = dynamic_cast<const std::system_error*>(&e)) return ErrorText(sys->code());
  return e.what();
}

}  // namespace ol
