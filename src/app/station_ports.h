#pragma once

#include <memory>

#include "core/event_loop.h"
#include "serial/flight_recorder.h"
#include "serial/port.h"

namespace ol {

// Comm1..Comm5 as the program uses them: 9600 8N1 without flow control, DTR and RTS
// raised, XON/XOFF characters 0, and the inter-byte time-out that frames each chunk
// (20 ms on Comm1, 10 ms on the other station ports, 100 ms on the auxiliary Comm5).
// The station ports (1 to 4, and 5 as the station it opens) leave a copy of their traffic
// in recorder when one is given.
std::unique_ptr<Port> MakeStationComm(EventLoop& loop, int n,
                                      std::shared_ptr<FlightRecorder> recorder = nullptr);

}  // namespace ol
