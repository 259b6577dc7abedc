#pragma once

#include <windows.h>

namespace ol {

// The system calls of the Win32 serial back-end that a test can stand in for, to play a
// driver that Wine never is: one that fails requests with ERROR_OPERATION_ABORTED until a
// line error is acknowledged, or for good, or one that never completes a cancelled
// request. Changed only while no port is open.
struct Win32SerialCalls {
  decltype(&::ReadFile) readFile = &::ReadFile;
  decltype(&::WriteFile) writeFile = &::WriteFile;
  decltype(&::CancelIoEx) cancelIoEx = &::CancelIoEx;
  // Its aborts end pending requests as a cancel does.
  decltype(&::PurgeComm) purgeComm = &::PurgeComm;
  // Also the acknowledgement a driver that holds the port after a line error waits for.
  decltype(&::ClearCommError) clearCommError = &::ClearCommError;
};

// The calls every port opened from now on makes.
Win32SerialCalls& SerialCalls();

// A driver that never completes a cancelled request, nor one a purge aborts.
void IgnoreCancels(Win32SerialCalls& calls);
// With the environment variable ORDERLINK_FAULT_IGNORE_CANCEL=1 a whole program's ports
// behave as on such a driver (see IgnoreCancels). For the window's test.
void ApplySerialFaultsFromEnvironment();

}  // namespace ol
