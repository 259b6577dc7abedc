#pragma once

#include <exception>
#include <string>
#include <system_error>

namespace ol {

// What went wrong, in UTF-8, for the operator. On Windows the C++ runtime's texts of the
// system's error codes come in the ANSI code page (and unreadable as UTF-8 on a Chinese
// system); the system's own wide message is used there instead.
std::string ErrorText(const std::error_code& ec);
// e.what(), but for a std::system_error (a file system error included) its code's text as
// above, with the paths of a file system error.
std::string ErrorText(const std::exception& e);

}  // namespace ol
