#include <windows.h>

#include "core/error_text.h"
#include "platform/host_link.h"
#include "platform/single_instance.h"
#include "platform/win32_text.h"

namespace ol {

std::string SingleInstance::SocketName(unsigned, std::string_view titleUtf8) {
  // A mutex of the session: two starts at the same moment cannot both take it.
  return "Local\\orderlink/title/" + std::string(titleUtf8);
}

std::string SingleInstance::MachineName(std::string_view titleUtf8) {
  // Fast User Switching and remote sessions share the ports and the TXT folder; a mutex
  // needs no privilege in the global namespace (a file mapping would).
  return "Global\\orderlink/machine/" + std::string(titleUtf8);
}

std::unique_ptr<SingleInstance> SingleInstance::Acquire(std::string_view titleUtf8,
                                                        bool* otherSession) {
  if (otherSession) *otherSession = false;
  const std::wstring name = Widen(SocketName(0, titleUtf8));
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  if (mutex == nullptr) {
    if (GetLastError() == ERROR_ACCESS_DENIED) return nullptr;  // held by another instance
    throw HostLinkError(
        "cannot take the instance lock: " +
        ErrorText(std::error_code(static_cast<int>(GetLastError()), std::system_category())));
  }
  // A program that holds no such mutex but shows the title is an instance too.
  if (GetLastError() == ERROR_ALREADY_EXISTS || FindWindowW(nullptr, Widen(titleUtf8).c_str())) {
    CloseHandle(mutex);
    return nullptr;
  }
  // Taken in this session only after the session's own check, so that an instance of
  // this session is never mistaken for one of another.
  const std::wstring machineName = Widen(MachineName(titleUtf8));
  HANDLE machine = CreateMutexW(nullptr, FALSE, machineName.c_str());
  const DWORD err = GetLastError();
  if (machine == nullptr || err == ERROR_ALREADY_EXISTS) {
    if (machine) CloseHandle(machine);
    CloseHandle(mutex);
    // Denied: another user's instance made it, with that user's default security.
    if (machine || err == ERROR_ACCESS_DENIED) {
      if (otherSession) *otherSession = true;
      return nullptr;
    }
    throw HostLinkError("cannot take the instance lock: " +
                        ErrorText(std::error_code(static_cast<int>(err), std::system_category())));
  }
  return std::unique_ptr<SingleInstance>(new SingleInstance(
      reinterpret_cast<std::intptr_t>(mutex), reinterpret_cast<std::intptr_t>(machine)));
}

SingleInstance::HolderLook SingleInstance::LookAtHolder(std::string_view titleUtf8) {
  HolderLook look;
  const HWND window = FindWindowW(nullptr, Widen(titleUtf8).c_str());
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, Widen(SocketName(0, titleUtf8)).c_str());
  // Denied: it exists, made by another user.
  look.held = mutex != nullptr || GetLastError() == ERROR_ACCESS_DENIED || window != nullptr;
  if (mutex) CloseHandle(mutex);
  look.window = window != nullptr;
  // A window whose thread Windows already counts as hung is not waited for at all.
  DWORD_PTR result = 0;
  look.answers =
      window && SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result) != 0;
  return look;
}

struct SingleInstance::Answerer {};

SingleInstance::SingleInstance(std::intptr_t held, std::intptr_t machine)
    : held_(held), machine_(machine) {}

// The window's title finds the running instance.
void SingleInstance::AnswerWith(std::uint32_t) {}

SingleInstance::~SingleInstance() {
  CloseHandle(reinterpret_cast<HANDLE>(held_));
  if (machine_) CloseHandle(reinterpret_cast<HANDLE>(machine_));
}

}  // namespace ol
