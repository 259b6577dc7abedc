// The JZ.txt and DCJ.txt readers on any files: every line read gives fields in their
// layouts that read back the same, the start-up loads at most four slots of registered
// handhelds, and saving what was loaded and loading it again changes nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include "core/text_file.h"
#include "harness.h"
#include "stations/config_files.h"

namespace {

using ol::fuzz::Require;

struct Slot {
  std::string port, id;
  std::vector<std::string> handhelds;
  bool operator==(const Slot&) const = default;
};

// The slots that are stations (a port and a numeric ID), in slot order.
std::vector<Slot> Stations(ol::FormModel& form) {
  std::vector<Slot> out;
  for (int n = 1; n <= 4; ++n) {
    Slot s{ol::Trim(form.At("COMMID", n).Text()), ol::Trim(form.At("JZID", n).Text()),
           form.At("PADLIST", n).Lines()};
    if (!s.port.empty() && ol::StationIdDigits(s.id)) out.push_back(s);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string jz = in.ConsumeRandomLengthString(600);
  const std::string dcj = in.ConsumeRemainingBytesAsString();

  for (const std::string& line : ol::SplitLines(jz)) {
    auto s = ol::ParseStationLine(line);
    if (!s) continue;
    Require(s->stationId.size() == 2 && ol::StationIdDigits(s->stationId) == s->stationId,
            "station ID not two digits", line);
    auto again = ol::ParseStationLine(s->text);
    Require(again && again->stationId == s->stationId && again->channel == s->channel &&
                again->portName == s->portName && again->text == s->text,
            "station line does not read back the same", line);
  }
  for (const std::string& line : ol::SplitLines(dcj)) {
    auto r = ol::ParseRegistrationLine(line);
    if (!r) continue;
    Require(r->handheld.size() == 3 && std::stoi(r->handheld) <= ol::kMaxHandheld,
            "handheld out of range", line);
    auto again = ol::ParseRegistrationLine(r->text);
    Require(again && again->text == r->text, "registration does not read back the same", line);
  }

  ol::fuzz::GatewayRig rig(jz, dcj);
  ol::FormModel& form = rig.gw->Form();
  Require(form["TreeView1"].Nodes().size() <= 4, "more than four slots");
  const auto& registered = form["ListBox2"].Lines();
  for (int n = 1; n <= 4; ++n)
    for (const auto& h : form.At("PADLIST", n).Lines())
      Require(std::find(registered.begin(), registered.end(),
                        ol::Trim(form.At("JZID", n).Text()) + " " + h) != registered.end(),
              "a polled handheld is not registered", h);

  // What a save writes is what it loads again: a second save changes nothing.
  rig.gw->Settings().ToolButton4Click();
  const std::size_t boxes = rig.boxes.texts.size();
  const auto jzBefore = rig.gw->Txt().Read("JZ.txt");
  rig.gw->Settings().BitBtn2Click();
  rig.Settle();
  if (rig.boxes.texts.size() != boxes) {
    Require(rig.gw->Txt().Read("JZ.txt") == jzBefore, "a refused save wrote JZ.txt");
    return 0;
  }
  const std::vector<Slot> saved = Stations(form);
  const auto files = std::make_pair(rig.gw->Txt().Read("JZ.txt"), rig.gw->Txt().Read("DCJ.txt"));
  rig.gw->Settings().BitBtn2Click();
  rig.Settle();
  Require(std::make_pair(rig.gw->Txt().Read("JZ.txt"), rig.gw->Txt().Read("DCJ.txt")) == files &&
              Stations(form) == saved,
          "a second save changed the stations",
          files.first.value_or("") + "|" + files.second.value_or(""));
  return 0;
}
