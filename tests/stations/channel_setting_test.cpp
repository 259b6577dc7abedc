#include "stations/channel_setting.h"

#include "stations/settings_screen.h"
#include "stations_fixture.h"
#include "testing/one_shot.h"

namespace ol::testing {
namespace {

using Lines = std::vector<std::string>;

class ChannelSettingTest : public StationsTest {
 protected:
  ChannelSettingTest() {
    Port(5).OnReceiveData = [this](ol::Port& sender, const std::uint8_t* data,
                                   std::uint16_t length) {
      channel.Comm5ReceiveData(sender, data, length);
    };
    // The station on Comm5 acknowledges a channel-setting frame when ackHex is set.
    loop.StartTimer(10, [this] {
      const auto& sent = Port(5).Sent();
      for (; seen5_ < sent.size(); ++seen5_) {
        if (sent[seen5_].rfind("AA49FF", 0) != 0) continue;
        lastSetChannel = static_cast<int>(HexToInt(sent[seen5_].substr(6, 2)));
        for (const std::string& chunk : ackChunks) Port(5).ReceiveHex(chunk);
      }
    });
  }

  // Slot n configured, loaded and open, its page active, polling on.
  void Loaded(int n, const std::string& channelText) {
    form["PageControl1"].SetItemIndex(n - 1);
    form.At("COMMID", n).SetText("COM3");
    form.At("JZID", n).SetText("01");
    form.At("PDID", n).SetText(channelText);
    Port(n).OpenPort();
    Port(5).SetCommName("old");
    form.TimerNamed("ComTimer").SetInterval(70);
    form.TimerNamed("ComTimer").SetEnabled(true);
  }

  Lines ackChunks;
  int lastSetChannel = -1;
  ChannelSetting channel{loop, form, comms, boxes, hooks};

 private:
  std::size_t seen5_ = 0;
};

TEST_F(ChannelSettingTest, FrameCarriesTheChannelCountedFromZero) {
  Loaded(1, "");
  // Any decimal text worth 1..64 is that channel.
  const std::pair<const char*, const char*> cases[] = {
      {"01", "AA49FF00BB"}, {"64", "AA49FF3FBB"},  {"05", "AA49FF04BB"},
      {"5", "AA49FF04BB"},  {"005", "AA49FF04BB"}, {"+5", "AA49FF04BB"},
  };
  for (const auto& [typed, frame] : cases) {
    form["PDID1"].SetText(typed);
    channel.Button1Click();
    EXPECT_EQ(Port(5).TakeSent(), Lines{frame}) << typed;
  }
}

TEST_F(ChannelSettingTest, Comm5TakesTheStationsDeviceAndReportsTheAcknowledgement) {
  Loaded(2, "09");
  ackChunks = {"AA4F00080000BB"};
  channel.Button1Click();

  EXPECT_FALSE(Port(2).IsOpen());
  EXPECT_TRUE(Port(5).IsOpen());
  EXPECT_EQ(Port(5).CommName(), "COM3");
  EXPECT_EQ(Port(5).recordedAs, 2);  // in a capture, among station 2's frames
  EXPECT_EQ(lastSetChannel, 8);
  EXPECT_EQ(loop.Now(), 330);
  // DTR raised by the open gets a short low pulse at the send.
  ASSERT_EQ(Port(5).dtrChanges.size(), 2u);
  EXPECT_EQ(Port(5).dtrChanges[0].at, 30);
  EXPECT_FALSE(Port(5).dtrChanges[0].raised);
  EXPECT_TRUE(Port(5).dtrChanges[1].raised);
  EXPECT_EQ(boxes.texts, Lines{ChannelSetting::kSuccess});
  EXPECT_EQ(form["Memo1"].Lines(), Lines{"AA4F00080000BB"});
  EXPECT_FALSE(channel.ChannelAnswerFlag());
  // Only the button itself comes back; the rest waits for a save.
  EXPECT_TRUE(form["Button1"].Enabled());
  EXPECT_FALSE(form["Button3"].Enabled());
  EXPECT_FALSE(form["ToolButton1"].Enabled());
  EXPECT_FALSE(form["ToolButton2"].Enabled());
  EXPECT_FALSE(form.TimerNamed("ComTimer").Enabled());
  EXPECT_EQ(pollReplyClears, 1);
}

TEST_F(ChannelSettingTest, AcknowledgementMustBeginOneChunk) {
  Loaded(1, "05");
  ackChunks = {"AA", "4F"};  // split: not recognised
  channel.Button1Click();
  EXPECT_EQ(boxes.texts, Lines{ChannelSetting::kNoAnswer});
  EXPECT_EQ(form["Memo1"].Lines(), (Lines{"AA", "4F"}));

  ackChunks = {"4F", "AA4F"};  // the second chunk begins with it
  channel.Button1Click();
  EXPECT_EQ(boxes.texts.back(), ChannelSetting::kSuccess);

  ackChunks = {};  // silence
  channel.Button1Click();
  EXPECT_EQ(boxes.texts.back(), ChannelSetting::kNoAnswer);
}

TEST_F(ChannelSettingTest, OnlyAnAnswerAfterTheFrameWentOutCounts) {
  Loaded(1, "05");
  // The frame goes out at 30 ms, after the wait before the open; the answer wait ends at
  // 330 ms. A chunk the station sent before, or after the wait, says nothing about it.
  const std::pair<Millis, const char*> cases[] = {
      {10, ChannelSetting::kNoAnswer},  {30, ChannelSetting::kNoAnswer},
      {31, ChannelSetting::kSuccess},   {330, ChannelSetting::kSuccess},
      {331, ChannelSetting::kNoAnswer},
  };
  for (const auto& [at, box] : cases) {
    boxes.texts.clear();
    OneShot answer(loop, at, [this] { Port(5).ReceiveHex("AA4F0004"); });
    channel.Button1Click();
    loop.Advance(10);
    EXPECT_EQ(boxes.texts, Lines{box}) << at;
    EXPECT_EQ(form["Memo1"].Lines().back(), "AA4F0004") << at;  // logged all the same
    EXPECT_FALSE(channel.ChannelAnswerFlag()) << at;
  }
}

TEST_F(ChannelSettingTest, PortThatCannotOpen) {
  Loaded(1, "05");
  Port(5).failOpen = true;
  channel.Button1Click();
  EXPECT_EQ(boxes.texts, (Lines{"COM3打开失败!", ChannelSetting::kNoAnswer}));
  EXPECT_TRUE(Port(5).Sent().empty());
  EXPECT_FALSE(Port(1).IsOpen());
  EXPECT_TRUE(form["Button1"].Enabled());
}

TEST_F(ChannelSettingTest, MissingFieldStopsWithPollingOff) {
  Loaded(3, "05");
  Port(5).OpenPort();
  form["JZID3"].SetText("");
  channel.Button1Click();
  EXPECT_EQ(boxes.texts, Lines{ChannelSetting::kMissingField});
  EXPECT_TRUE(Port(3).IsOpen());
  EXPECT_FALSE(Port(5).IsOpen());
  EXPECT_TRUE(Port(5).Sent().empty());
  EXPECT_TRUE(form["Button1"].Enabled());
  EXPECT_FALSE(form["Button3"].Enabled());
  EXPECT_FALSE(form.TimerNamed("ComTimer").Enabled());
  EXPECT_EQ(loop.Now(), 0);
}

TEST_F(ChannelSettingTest, ChannelThatIsNoNumberFrom1To64IsRefusedBeforeAnythingCloses) {
  Loaded(1, "");
  Port(5).OpenPort();
  for (const char* typed : {"abc", "0", "65", "5x", "100", "-1"}) {
    form["PDID1"].SetText(typed);
    channel.Button1Click();
    EXPECT_EQ(boxes.texts.back(), ChannelSetting::kMissingField) << typed;
    EXPECT_TRUE(Port(1).IsOpen()) << typed;
    EXPECT_TRUE(Port(5).IsOpen()) << typed;
    EXPECT_EQ(Port(5).CommName(), "old") << typed;
    EXPECT_TRUE(form["Button1"].Enabled()) << typed;
  }
  EXPECT_EQ(boxes.texts.size(), 6u);
  EXPECT_TRUE(Port(5).Sent().empty());
  EXPECT_EQ(loop.Now(), 0);
}

TEST_F(ChannelSettingTest, SaveAfterTheSettingConfirmsTheNewChannel) {
  WriteTxt("JZ.txt", "01 05 COM3\r\n");
  answerChannel[1] = 4;
  setup.FormCreate();
  SettingsScreen screen{form, txt, boxes, hooks, setup};
  screen.ToolButton4Click();
  form["PageControl1"].SetItemIndex(0);
  form["PDID1"].SetText("09");
  ackChunks = {"AA4F"};
  channel.Button1Click();
  ASSERT_EQ(boxes.texts, Lines{ChannelSetting::kSuccess});
  answerChannel[1] = lastSetChannel;  // power-cycled: the station now works on 09

  screen.BitBtn2Click();
  EXPECT_EQ(ReadTxt("JZ.txt"), "01 09 COM3\r\n");
  EXPECT_FALSE(Port(5).IsOpen());
  EXPECT_TRUE(Port(1).IsOpen());
  EXPECT_EQ(StationStatus(form, 1).Text(), "09");
  EXPECT_EQ(form["PDID1"].Text(), "09");
  EXPECT_EQ(boxes.texts.size(), 1u);
  EXPECT_TRUE(form["Button3"].Enabled());
  EXPECT_TRUE(form["ToolButton1"].Enabled());
}

}  // namespace
}  // namespace ol::testing
