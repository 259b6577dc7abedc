#include <windows.h>

#include "platform/host_link.h"
#include "platform/single_instance.h"
#include "platform/win32_text.h"

namespace ol {

std::string SingleInstance::SocketName(unsigned, std::string_view titleUtf8) {
  // A mutex of the session: two starts at the same moment cannot both take it.
  return "Local\\orderlink/title/" + std::string(titleUtf8);
}

std::unique_ptr<SingleInstance> SingleInstance::Acquire(std::string_view titleUtf8) {
  const std::wstring name = Widen(SocketName(0, titleUtf8));
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) {
    if (GetLastError() == ERROR_ACCESS_DENIED) return nullptr;  // held by another instance
    throw HostLinkError("cannot take the instance lock: error " + std::to_string(GetLastError()));
  }
  // A program that holds no such mutex but shows the title is an instance too.
  if (GetLastError() == ERROR_ALREADY_EXISTS || FindWindowW(nullptr, Widen(titleUtf8).c_str())) {
    CloseHandle(mutex);
    return nullptr;
  }
  return std::unique_ptr<SingleInstance>(
      new SingleInstance(reinterpret_cast<std::intptr_t>(mutex)));
}

SingleInstance::~SingleInstance() {
  CloseHandle(reinterpret_cast<HANDLE>(held_));
}

}  // namespace ol
