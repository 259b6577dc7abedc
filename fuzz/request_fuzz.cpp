// The request records of all 32 kinds on any payload and stamp: what T1.txt holds reads
// back as the record that was built, line for line, headed by the kind's name and the
// handheld; the host is told exactly once per record written and never of a kind that
// does not exist.
#include <fuzzer/FuzzedDataProvider.h>

#include "core/text_file.h"
#include "gateway/dispatcher.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using ol::fuzz::Require;
  FuzzedDataProvider in(data, size);
  ol::fuzz::GatewayRig rig;
  ol::FormModel& form = rig.gw->Form();
  while (in.remaining_bytes() > 0) {
    const int index = in.ConsumeIntegralInRange(-1, ol::kRequestKinds);
    const std::string stamp = ol::BytesToHex(in.ConsumeBytesAsString(6));
    const std::string payload = in.ConsumeRandomLengthString(300);
    const std::size_t posted = rig.hub.PostedTo(rig.kHost).size();
    rig.files->Remove("T1.txt");
    rig.gw->Handheld().GetDispatcher().DispatchRequest(index, "1", "5", payload, stamp);
    rig.Settle();
    const auto t1 = rig.gw->Txt().Read("T1.txt");
    const std::size_t told = rig.hub.PostedTo(rig.kHost).size() - posted;
    if (index < 0 || index >= ol::kRequestKinds) {
      Require(!t1 && told == 0, "a kind that does not exist was written or told");
      continue;
    }
    Require(t1.has_value() && told == 1, "a record was not written and told once");
    const std::vector<std::string> record = ol::SplitLines(*t1);
    Require(record == form["Memo3"].Lines(), "T1.txt does not read back as the record", *t1);
    if (*ol::RequestHeaderName(index))
      Require(!record.empty() && record[0] == ol::RequestHeaderName(index) + std::string("005"),
              "record not headed by its kind and handheld", *t1);
  }
  return 0;
}
