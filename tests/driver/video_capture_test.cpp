#include "driver/ip_video_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "driver/fake_channels.h"
#include "support/fake_host.h"

namespace telvora {
namespace {

using test::FakeChannelCreator;
using Entries = std::vector<std::string>;

class VideoCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.options.option1 = 0x1234;
    settings.options.option2 = 0xFFFF;
    settings.format.frameSize = test::FakeHostFrameSize(704, 576);
    settings.format.formatValue = 0xDEADBEEF;
    settings.optionValue = 77;
    capture.reset(new CIPVideoCapture(&creator, 2));
  }
  Entries Journal() { return creator.journal.Entries(); }

  FakeChannelCreator creator;
  test::FakeFrameSink sink;
  test::FakeHostStreamSettings settings;
  std::unique_ptr<CIPVideoCapture> capture;
};

TEST_F(VideoCapture, OpenChannelBuildsTheSettingsFromTheHostObjects) {
  ASSERT_TRUE(capture->OpenChannel(1, &sink, &settings));
  EXPECT_EQ(Journal(), (Entries{"create 1/0", "option 1/0 77", "start 1/0"}));
  const CHANNEL_SETTINGS& s = creator.last->started;
  EXPECT_EQ(s.streamOption1, 0x1234u);
  EXPECT_EQ(s.streamOption2, 0xFFFFu) << "16-bit values are zero-extended";
  EXPECT_EQ(s.frameSize1, 704u);
  EXPECT_EQ(s.frameSize2, 576u);
  EXPECT_EQ(s.formatValue, 0xDEADBEEFu);
  EXPECT_EQ(s.purpose, 0u);
}

TEST_F(VideoCapture, IndexesAtTheChannelCountAndNullHostObjectsTouchNothing) {
  EXPECT_FALSE(capture->OpenChannel(2, &sink, &settings));
  EXPECT_FALSE(capture->OpenSubChannel(2, 1, &sink, &settings));
  EXPECT_FALSE(capture->OpenChannel(0, nullptr, &settings));
  EXPECT_FALSE(capture->OpenChannel(0, &sink, nullptr));
  EXPECT_FALSE(capture->CloseChannel(2));
  EXPECT_FALSE(capture->CloseChannel(0xFFFFFFFFu));
  EXPECT_FALSE(capture->ChangeChannelFormat(2, &settings.format.frameSize, 1));
  EXPECT_TRUE(Journal().empty());

  CIPVideoCapture empty(&creator, 0);
  EXPECT_EQ(empty.GetChannelCount(), 0u);
  EXPECT_FALSE(empty.OpenChannel(0, &sink, &settings));
  EXPECT_TRUE(Journal().empty());
}

TEST_F(VideoCapture, MissingSubObjectsOfTheSettingsReadAsZero) {
  settings.nullFormat = true;
  settings.nullOptions = true;
  ASSERT_TRUE(capture->OpenChannel(0, &sink, &settings));
  const CHANNEL_SETTINGS& s = creator.last->started;
  EXPECT_EQ(s.streamOption1 | s.streamOption2 | s.frameSize1 | s.frameSize2 | s.formatValue, 0u);
}

TEST_F(VideoCapture, OpenChannelClosesEveryStreamOfTheChannelFirst) {
  ASSERT_TRUE(capture->OpenSubChannel(0, 1, &sink, &settings));
  ASSERT_TRUE(capture->OpenSubChannel(0, 3, &sink, &settings));
  ASSERT_TRUE(capture->OpenSubChannel(1, 2, &sink, &settings));
  creator.journal.Clear();
  ASSERT_TRUE(capture->OpenChannel(0, &sink, &settings));
  EXPECT_EQ(Journal(), (Entries{"stop 0/1", "delete 0/1", "stop 0/3", "delete 0/3", "create 0/0", "option 0/0 77",
                                "start 0/0"}))
      << "channel 1 is left alone";
}

TEST_F(VideoCapture, CloseChannelReleasesAllEntriesMainStreamLast) {
  EXPECT_FALSE(capture->CloseChannel(0)) << "an empty record";
  ASSERT_TRUE(capture->OpenChannel(0, &sink, &settings));
  for (uint32_t purpose : {1u, 2u, 3u}) ASSERT_TRUE(capture->OpenSubChannel(0, purpose, &sink, &settings));
  creator.journal.Clear();
  EXPECT_TRUE(capture->CloseChannel(0));
  EXPECT_EQ(Journal(), (Entries{"stop 0/1", "delete 0/1", "stop 0/2", "delete 0/2", "stop 0/3", "delete 0/3",
                                "stop 0/0", "delete 0/0"}));
  EXPECT_FALSE(capture->CloseChannel(0));

  ASSERT_TRUE(capture->OpenSubChannel(0, 1, &sink, &settings));
  EXPECT_TRUE(capture->CloseChannel(0)) << "a record with only a purpose-1 stream";
}

TEST_F(VideoCapture, SubChannelPurposesOutsideOneToThreeAreRefused) {
  for (uint32_t purpose : {0u, 4u, 5u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(purpose);
    EXPECT_FALSE(capture->OpenSubChannel(0, purpose, &sink, &settings));
  }
  EXPECT_TRUE(Journal().empty());

  ASSERT_TRUE(capture->OpenSubChannel(0, 2, &sink, &settings));
  EXPECT_EQ(creator.last->started.purpose, 2u);
  ASSERT_TRUE(capture->OpenSubChannel(0, 2, &sink, &settings));
  EXPECT_EQ(creator.journal.Count("delete 0/2"), 1u) << "reopening a purpose replaces its stream";
  EXPECT_FALSE(capture->CloseSubChannel(0, 4));
  EXPECT_FALSE(capture->CloseSubChannel(0, 1));
  EXPECT_TRUE(capture->CloseSubChannel(0, 2));
  EXPECT_FALSE(capture->CloseSubChannel(0, 2));
}

TEST_F(VideoCapture, AStreamThatFailedToStartIsKeptUntilClosed) {
  creator.startResult = false;
  EXPECT_FALSE(capture->OpenChannel(0, &sink, &settings));
  EXPECT_EQ(creator.journal.Count("delete 0/0"), 0u);
  EXPECT_TRUE(capture->CloseChannel(0));
  EXPECT_EQ(creator.journal.Count("delete 0/0"), 1u);

  creator.refuseStreams = true;
  EXPECT_FALSE(capture->OpenChannel(0, &sink, &settings));
  EXPECT_FALSE(capture->CloseChannel(0)) << "nothing was stored";
}

TEST_F(VideoCapture, ChangeChannelFormatHandsTheNewSizeToTheMainStream) {
  test::FakeHostFrameSize size(1920, 1080);
  EXPECT_FALSE(capture->ChangeChannelFormat(0, &size, 5)) << "no main stream";
  ASSERT_TRUE(capture->OpenChannel(0, &sink, &settings));
  EXPECT_FALSE(capture->ChangeChannelFormat(0, nullptr, 5));
  ASSERT_TRUE(capture->ChangeChannelFormat(0, &size, 5));
  const CHANNEL_SETTINGS& s = creator.last->changed;
  EXPECT_EQ(s.streamOption1, 5u);
  EXPECT_EQ(s.streamOption2, 0u);
  EXPECT_EQ(s.frameSize1, 1920u);
  EXPECT_EQ(s.frameSize2, 1080u);
  EXPECT_EQ(s.formatValue, 0u);
  EXPECT_EQ(s.purpose, 0u);
}

TEST_F(VideoCapture, ChannelStateReportsStoppedAsTwoAndClearsTheOutputs) {
  int32_t state = -1;
  int32_t detail = 9;
  char text[8] = "keep";
  EXPECT_FALSE(capture->GetChannelState(0, &state, &detail, text, 0));
  EXPECT_EQ(detail, 0);
  EXPECT_STREQ(text, "keep") << "a text size of 0 leaves the buffer alone";
  detail = 9;
  EXPECT_FALSE(capture->GetChannelState(0, &state, &detail, text, sizeof(text)));
  EXPECT_EQ(detail, 0);
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(state, -1);
  EXPECT_FALSE(capture->GetChannelState(5, &state, nullptr, nullptr, 100));

  ASSERT_TRUE(capture->OpenChannel(0, &sink, &settings));
  const struct {
    int32_t stream;
    int32_t host;
  } kStates[] = {{0, 0}, {2, 2}, {3, 2}};
  for (const auto& c : kStates) {
    creator.last->state = c.stream;
    ASSERT_TRUE(capture->GetChannelState(0, &state, &detail, text, sizeof(text)));
    EXPECT_EQ(state, c.host) << "stream state " << c.stream;
  }
  EXPECT_FALSE(capture->GetChannelState(0, nullptr, &detail, text, sizeof(text)));
  EXPECT_FALSE(capture->GetChannelFlagA(0));
  EXPECT_FALSE(capture->GetChannelFlagB(1));
  EXPECT_EQ(capture->GetExtension(), nullptr);
}

TEST_F(VideoCapture, EdgeStorageStateParameter) {
  const uint16_t on = 7;
  const uint16_t highByteOnly = 0x0100;
  const uint16_t off = 0;
  uint16_t value = 99;
  struct {
    const char* name;
    const uint16_t* value;
    uint32_t size;
    bool ok;
  } kSets[] = {
      {"EdgeStorageState", &on, 2, true},  {"edgestoragestate", &on, 2, true}, {"EDGESTORAGESTATE", &on, 2, true},
      {"EdgeStorageState", &on, 4, false}, {"EdgeStorageState", &on, 1, false}, {"EdgeStorage", &on, 2, false},
      {"EdgeStorageStateX", &on, 2, false}, {"", &on, 2, false},               {nullptr, &on, 2, false},
      {"EdgeStorageState", nullptr, 2, false},
  };
  for (const auto& c : kSets) {
    SCOPED_TRACE(c.name != nullptr ? c.name : "(null)");
    EXPECT_EQ(capture->SetParameter(c.name, c.value, c.size), c.ok);
  }
  ASSERT_TRUE(capture->GetParameter("EdgeStorageState", &value, 2));
  EXPECT_EQ(value, 1) << "any non-zero value reads back as 1";
  ASSERT_TRUE(capture->SetParameter("EdgeStorageState", &off, 2));
  ASSERT_TRUE(capture->GetParameter("edgeSTORAGEstate", &value, 2));
  EXPECT_EQ(value, 0);
  ASSERT_TRUE(capture->SetParameter("EdgeStorageState", &highByteOnly, 2));
  ASSERT_TRUE(capture->GetParameter("EdgeStorageState", &value, 2));
  EXPECT_EQ(value, 1);
  EXPECT_FALSE(capture->GetParameter("EdgeStorageState", &value, 4));
  EXPECT_FALSE(capture->GetParameter("EdgeStorageState", nullptr, 2));
  EXPECT_FALSE(capture->GetParameter(nullptr, &value, 2));
}

TEST_F(VideoCapture, SecondaryObjectAndEdgeMonitorFollowTheChannel) {
  creator.offerSecondary = true;
  creator.offerMonitor = true;
  settings.options.wantsSecondary = 1;
  const uint16_t on = 1;
  ASSERT_TRUE(capture->SetParameter("EdgeStorageState", &on, 2));
  ASSERT_TRUE(capture->OpenChannel(0, &sink, &settings));
  EXPECT_EQ(Journal(), (Entries{"create monitor", "create 0/0", "option 0/0 77", "start 0/0", "create secondary",
                                "start secondary", "attach", "attach"}));
  creator.journal.Clear();
  ASSERT_TRUE(capture->CloseChannel(0));
  EXPECT_EQ(Journal(), (Entries{"detach", "detach", "detach null", "detach null", "detach null", "stop secondary",
                                "delete secondary", "stop 0/0", "delete 0/0"}));

  creator.secondaryStartResult = false;
  EXPECT_FALSE(capture->OpenChannel(0, &sink, &settings)) << "a secondary object that fails to start fails the open";
  creator.journal.Clear();
  capture.reset();
  EXPECT_EQ(creator.journal.Count("stop secondary"), 1u) << "destruction stops everything";
  EXPECT_EQ(creator.journal.Count("delete 0/0"), 1u);
  EXPECT_EQ(creator.journal.Count("delete monitor"), 1u);
}

TEST_F(VideoCapture, DestructionStopsAndDeletesEveryStream) {
  ASSERT_TRUE(capture->OpenChannel(0, &sink, &settings));
  ASSERT_TRUE(capture->OpenSubChannel(1, 3, &sink, &settings));
  creator.journal.Clear();
  capture.reset();
  EXPECT_EQ(creator.journal.Count("stop 0/0"), 1u);
  EXPECT_EQ(creator.journal.Count("delete 0/0"), 1u);
  EXPECT_EQ(creator.journal.Count("stop 1/3"), 1u);
  EXPECT_EQ(creator.journal.Count("delete 1/3"), 1u);
}

// A host object that throws must not take the host down with it.
class ThrowingSettings : public test::FakeHostStreamSettings {
 public:
  uint32_t GetOptionValue() override { throw 42; }
};

TEST_F(VideoCapture, AnExceptionFromTheHostFailsTheOpenWithoutLeaking) {
  ThrowingSettings throwing;
  EXPECT_FALSE(capture->OpenChannel(0, &sink, &throwing));
  EXPECT_EQ(creator.journal.Count("stop 0/0"), 1u);
  EXPECT_EQ(creator.journal.Count("delete 0/0"), 1u);
  EXPECT_FALSE(capture->CloseChannel(0));
}

TEST_F(VideoCapture, ALookupHoldsItsStreamUntilItReturns) {
  ASSERT_TRUE(capture->OpenChannel(0, &sink, &settings));
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released(release.get_future());
  creator.last->onGetState = [&] {
    entered.set_value();
    released.wait();
  };
  int32_t state = -1;
  std::thread reader([&] { capture->GetChannelState(0, &state, nullptr, nullptr, 0); });
  entered.get_future().wait();
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    capture->CloseChannel(0);
    closed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(closed.load()) << "the close waits for the lookup";
  EXPECT_EQ(creator.journal.Count("delete 0/0"), 0u);
  release.set_value();
  reader.join();
  closer.join();
  EXPECT_EQ(state, 2);
  EXPECT_EQ(creator.journal.Count("delete 0/0"), 1u);
}

}  // namespace
}  // namespace telvora
