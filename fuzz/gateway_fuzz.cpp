// Whole gateway event sequences on fake ports in virtual time: received chunks split
// anywhere, request packets (with good or damaged checks), confirmations, download
// acknowledgements, channel answers, host replies and commands, time passing, refresh,
// a download, device loss and the operator's settings and channel changes. After every event each
// frame sent must be well formed and every log within its bounds.
#include <fuzzer/FuzzedDataProvider.h>

#include "download/packing.h"
#include "gateway/gateway_fixture.h"
#include "harness.h"

namespace {

using ol::IntToHex;

// Delivers hex as two chunks cut at a chosen byte.
void Deliver(ol::fuzz::GatewayRig& rig, FuzzedDataProvider& in, int port, const std::string& hex) {
  const std::size_t bytes = hex.size() / 2;
  const std::size_t cut = in.ConsumeIntegralInRange<std::size_t>(0, bytes);
  if (cut > 0) rig.ports[port]->ReceiveHex(hex.substr(0, 2 * cut));
  if (cut < bytes) rig.ports[port]->ReceiveHex(hex.substr(2 * cut));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  ol::fuzz::GatewayRig rig;
  const int stations[] = {1, 1, 2};
  const int handhelds[] = {5, 7, 10};
  for (int events = 0; events < 64 && in.remaining_bytes() > 0 && !rig.gw->Ended(); ++events) {
    const int port = in.ConsumeIntegralInRange(1, 2);
    const int who = in.ConsumeIntegralInRange(0, 2);
    switch (in.ConsumeIntegralInRange(0, 14)) {
      case 0: {  // bytes of any kind
        std::string chunk = in.ConsumeRandomLengthString(80);
        if (!chunk.empty()) rig.ports[port]->Receive(chunk);
        break;
      }
      case 1:  // request pending
        Deliver(rig, in, port, "A5" + IntToHex(stations[who]) + IntToHex(handhelds[who]));
        break;
      case 2: {  // a whole request
        const int code = in.ConsumeIntegralInRange(0x4C - 2, 0x4C + 34);
        const int damage = in.ConsumeIntegralInRange(-1, 3);
        std::string payload = in.ConsumeRandomLengthString(160);
        auto packets = ol::testing::BuildPackets(stations[who], handhelds[who], code, payload);
        if (damage >= 0 && damage < static_cast<int>(packets.size()))
          packets[damage][20] = packets[damage][20] == '0' ? '1' : '0';
        for (const auto& p : packets) {
          Deliver(rig, in, port, p);
          rig.Advance(in.ConsumeIntegralInRange(0, 400));
        }
        break;
      }
      case 3:  // reply confirmation
        Deliver(rig, in, port,
                "04" + IntToHex(stations[who]) + IntToHex(handhelds[who]) + "0000000000000000");
        break;
      case 4: {  // download acknowledgement records
        std::string hex;
        for (int k = in.ConsumeIntegralInRange(1, 4); k > 0; --k)
          hex += "0A" + IntToHex(stations[who]) + IntToHex(handhelds[who]) +
                 IntToHex(in.ConsumeIntegral<std::uint8_t>()) +
                 IntToHex(in.ConsumeIntegral<std::uint8_t>());
        Deliver(rig, in, port, hex);
        break;
      }
      case 5:  // channel answer
        Deliver(rig, in, port, "AA4F00" + IntToHex(in.ConsumeIntegralInRange(0, 70)) + "00BB");
        break;
      case 6: {  // the host's reply
        rig.files->Write("R1.txt", in.ConsumeRandomLengthString(3000));
        rig.host.Post(rig.kOwn, ol::kHostMessage, 0,
                      in.ConsumeBool() ? 1 : in.ConsumeIntegral<std::uint8_t>());
        break;
      }
      case 7: {  // a host command
        const std::uint32_t commands[] = {11, 12, 16};
        rig.host.Post(rig.kOwn, ol::kHostMessage, 0, commands[in.ConsumeIntegralInRange(0, 2)]);
        break;
      }
      case 8:  // time passes, sometimes long
        rig.Advance(in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 800)
                                     : in.ConsumeIntegralInRange(0, 30000));
        break;
      case 9:  // refresh
        rig.gw->Setup().ToolButton3Click();
        break;
      case 10:  // the device vanishes; it may or may not come back at once
        rig.ports[port]->failOpen = in.ConsumeBool();
        rig.ports[port]->LoseLine();
        break;
      case 11:  // the device is back
        rig.ports[port]->failOpen = false;
        break;
      case 12: {  // a download of the category table, started or left
        if (in.ConsumeBool()) {
          rig.gw->DownloadView().Button2Click();
          break;
        }
        const ol::MenuTable& table = ol::MenuTableInfo(6);
        rig.files->Write(table.textFile, in.ConsumeRandomLengthString(200));
        ol::FormModel& form = rig.gw->Form();
        rig.gw->DownloadView().ToolButton2Click();
        form[table.checkBox].SetChecked(true);
        form["CheckBox7"].SetChecked(true);
        rig.gw->DownloadView().CheckBox7Click();
        rig.gw->DownloadView().BitBtn1Click();
        break;
      }
      case 13: {  // the operator edits the settings: add or delete handhelds, save
        ol::FormModel& form = rig.gw->Form();
        ol::SettingsScreen& settings = rig.gw->Settings();
        settings.ToolButton4Click();
        form["PageControl1"].SetItemIndex(port - 1);
        switch (in.ConsumeIntegralInRange(0, 3)) {
          case 0:
            form.At("PADID", port).SetText(in.ConsumeRandomLengthString(4));
            settings.BitBtn3Click();
            break;
          case 1:
            form.At("PADLIST", port).SetItemIndex(in.ConsumeIntegralInRange(-1, 3));
            settings.Button5Click();
            break;
          case 2:
            form.At("JZID", port).SetText(in.ConsumeRandomLengthString(3));
            settings.JZIDChange(port);
            break;
          default:
            settings.BitBtn2Click();
            break;
        }
        if (in.ConsumeBool()) settings.Button3Click();
        break;
      }
      case 14: {  // a channel setting, perhaps answered on the auxiliary port
        ol::FormModel& form = rig.gw->Form();
        rig.gw->Settings().ToolButton4Click();
        form["PageControl1"].SetItemIndex(port - 1);
        form.At("PDID", port).SetText(in.ConsumeRandomLengthString(3));
        rig.gw->Channel().Button1Click();
        if (in.ConsumeBool() && rig.ports[5])
          rig.ports[5]->ReceiveHex("AA4F00" + IntToHex(in.ConsumeIntegral<std::uint8_t>()) +
                                   "00BB");
        break;
      }
    }
    rig.Settle();
  }
  rig.Finish(15000);
  return 0;
}
