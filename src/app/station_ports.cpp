#include "app/station_ports.h"

#include "serial/tcomm.h"

namespace ol {

std::unique_ptr<Port> MakeStationComm(EventLoop& loop, int n,
                                      std::shared_ptr<FlightRecorder> recorder) {
  auto comm = std::make_unique<TComm>(loop);
  // Comm5 is recorded as the station whose device it opens (RecordAs).
  if (recorder && n >= 1 && n <= 5) comm->SetRecorder(std::move(recorder), n <= 4 ? n : 0);
  comm->SetTxContinueOnXoff(false);
  comm->SetOutx_XonXoffFlow(false);
  comm->SetInx_XonXoffFlow(false);
  comm->SetXonChar(0);
  comm->SetXoffChar(0);
  comm->SetReadIntervalTimeout(n == 1 ? 20 : n == 5 ? 100 : 10);
  comm->Tag = n <= 4 ? n : 0;
  return comm;
}

}  // namespace ol
