#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "properties/capability_query_module.h"
#include "properties/fake_capability_host.h"
#include "properties/host_version_env.h"
#include "properties/module_wide_query.h"
#include "properties/rtsp_camera_properties.h"
#include "properties/rtsp_capability_query_module.h"
#include "threading/event.h"

namespace telvora {
namespace {

using std::chrono::milliseconds;
using test::FakeCapabilityResults;
using test::FakeQueryCallback;
using Calls = std::vector<std::string>;

constexpr milliseconds kOutcomeLimit(5000);

// A query that holds on until the test opens the gate (or, when it listens
// to aborts, until Terminate).
class GatedProperties : public CRTSPCameraProperties {
 public:
  GatedProperties(const DEVICE_INFO& device, const int& flag, CManualEvent* gate, CManualEvent* entered,
                  bool listensToAbort)
      : CRTSPCameraProperties(device, flag), m_gate(gate), m_entered(entered), m_listens(listensToAbort) {}
  bool Query(int* code) override {
    m_entered->Set();
    CEvent* events[2] = {m_gate, &m_stopEvent};
    CEvent::WaitForMultiple(events, m_listens ? 2u : 1u, 10000);
    return CRTSPCameraProperties::Query(code);
  }

 private:
  CManualEvent* m_gate;
  CManualEvent* m_entered;
  bool m_listens;
};

// The events belong to the test: members of this class would be gone
// before the base destructor waits for the worker.
struct Gate {
  CManualEvent open;
  CManualEvent entered;
};

class GatedModule : public CCapabilityQueryModule {
 public:
  GatedModule(ICapabilityQueryCallback* callback, Gate* gate, bool listensToAbort, uint32_t timeoutMs = 5000)
      : CCapabilityQueryModule(callback, 1), m_gate(gate), m_listens(listensToAbort) {
    Device().timeoutMs = timeoutMs;
  }

 protected:
  CBaseCameraProperties* CreateProperties() override {
    const int flag = VideoStandardFlag();
    return new GatedProperties(Device(), flag, &m_gate->open, &m_gate->entered, m_listens);
  }

 private:
  Gate* m_gate;
  bool m_listens;
};

std::string NotUrl(const std::string& url) {
  return "Failed to get camera properties: The \"" + url + "\" string is not correct RTP or RTSP URL address";
}

TEST(CapabilityQueryModule, ValidAddressesDeliverTheDescriptionThenComplete) {
  struct Case {
    const char* address;
    const char* model;
    const char* rtpOnly;
  } const kCases[] = {
      {"rtsp://cam:554/live", "RTSP Device", "0"},
      {"rtp://239.1.1.1:5000", "RTP Device", "1"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.address);
    FakeQueryCallback callback;
    FakeCapabilityResults results;
    {
      CRTSPCapabilityQueryModule module(&callback, 0x100);  // low byte 0: 40 ms standard
      ASSERT_EQ(1, module.Start(c.address, 80, "any", "thing", &results));
      ASSERT_TRUE(callback.WaitFor(1, kOutcomeLimit));
    }
    EXPECT_EQ(Calls{"completed"}, callback.Outcomes());
    const Calls calls = results.Calls();
    ASSERT_EQ(28u, calls.size());
    EXPECT_EQ(std::string("SetModelName(") + c.model + ")", calls.front());
    EXPECT_EQ("Field.SetText(any)", calls[6]);
    EXPECT_EQ("Field.SetText(thing)", calls[8]);
    EXPECT_EQ("Resolutions.Add(640x480,640,480,33)", calls[12]);
    EXPECT_EQ(std::string("Property.SetValueText(") + c.rtpOnly + ")", calls.back());
  }
}

TEST(CapabilityQueryModule, FailuresReachTheCallbackWithTheirMessage) {
  struct Case {
    const char* address;
    int port;
    std::string message;
  } const kCases[] = {
      {"cam:554", 80, NotUrl("cam:554")},
      {"rtsp://", 80, "Failed to get camera properties: The device address which is specified in URL is empty"},
      {"rtsp://cam:abc/x", 80,
       "Failed to get camera properties: The \"cam:abc\" string has incorrect format. It should be in format "
       "<address>:<port>"},
      {nullptr, 554, NotUrl("")},  // without an address nothing is appended
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.message);
    FakeQueryCallback callback;
    FakeCapabilityResults results;
    CRTSPCapabilityQueryModule module(&callback, 1);
    ASSERT_EQ(1, module.Start(c.address, c.port, "u", "p", &results));
    ASSERT_TRUE(callback.WaitFor(1, kOutcomeLimit));
    EXPECT_EQ(Calls{"failed"}, callback.Outcomes());
    EXPECT_EQ(3, callback.LastCode());
    EXPECT_EQ(c.message, callback.LastMessage());
    EXPECT_TRUE(results.Calls().empty());
  }
}

TEST(CapabilityQueryModule, RefusedOrMissingResults) {
  FakeQueryCallback refusedCallback;
  FakeCapabilityResults refusing;
  refusing.refuseResolutions = true;
  CRTSPCapabilityQueryModule refused(&refusedCallback, 1);
  ASSERT_EQ(1, refused.Start("rtsp://cam:554/live", 80, "", "", &refusing));

  FakeQueryCallback missingCallback;
  CRTSPCapabilityQueryModule missing(&missingCallback, 1);
  ASSERT_EQ(1, missing.Start("rtsp://cam:554/live", 80, "", "", nullptr));

  ASSERT_TRUE(refusedCallback.WaitFor(1, kOutcomeLimit));
  EXPECT_EQ(3, refusedCallback.LastCode());
  EXPECT_EQ("Failed to save capability query results", refusedCallback.LastMessage());
  ASSERT_TRUE(missingCallback.WaitFor(1, kOutcomeLimit));
  EXPECT_EQ(3, missingCallback.LastCode());
  EXPECT_EQ("Failed to start capability fetching thread. Internal error occurs", missingCallback.LastMessage());
}

TEST(CapabilityQueryModule, OneQueryPerModuleAndPortKeepsItsLow16Bits) {
  FakeQueryCallback callback;
  FakeCapabilityResults results;
  CRTSPCapabilityQueryModule module(&callback, 1);
  ASSERT_EQ(1, module.Start("rtsp://cam/live", 0x10000 + 8554, "u", "p", &results));
  ASSERT_TRUE(callback.WaitFor(1, kOutcomeLimit));
  EXPECT_EQ(0, module.Start("rtsp://other/x", 80, "u", "p", &results));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(Calls{"completed"}, callback.Outcomes());
  EXPECT_EQ("Field.SetText(8554)", results.Calls()[4]);
}

TEST(CapabilityQueryModule, TerminateStopsARunningQuery) {
  FakeQueryCallback callback;
  FakeCapabilityResults results;
  Gate gate;
  GatedModule module(&callback, &gate, true);
  ASSERT_EQ(1, module.Start("rtsp://cam/live", 80, "u", "p", &results));
  ASSERT_TRUE(gate.entered.Wait(5000));
  module.Terminate();
  ASSERT_TRUE(callback.WaitFor(1, kOutcomeLimit));
  EXPECT_EQ(3, callback.LastCode());
  EXPECT_EQ("Failed to get camera properties", callback.LastMessage());
  EXPECT_TRUE(results.Calls().empty());
}

// Past the limit Windows kills the worker and reports it; POSIX cannot, so
// destruction keeps waiting, the query still ends, and no kill is reported.
TEST(CapabilityQueryModule, DestructionPastTheLimitKillsOnlyWhereItCan) {
  FakeQueryCallback callback;
  FakeCapabilityResults results;
  Gate gate;
  auto* module = new GatedModule(&callback, &gate, false, 100);  // limit 200 ms
  ASSERT_EQ(1, module->Start("rtsp://cam/live", 80, "u", "p", &results));
  ASSERT_TRUE(gate.entered.Wait(5000));

  std::atomic<bool> destroyed(false);
  std::thread host([&] {
    delete module;
    destroyed = true;
  });
  std::this_thread::sleep_for(milliseconds(600));
  const bool killed = callback.Outcomes() == Calls{"killed"};
  EXPECT_EQ(killed, destroyed.load());
  gate.open.Set();
  host.join();
  EXPECT_TRUE(destroyed.load());
  if (killed) {
    EXPECT_EQ(Calls{"killed"}, callback.Outcomes());
  } else {
    // The destructor's Terminate reached the query; it ends as stopped.
    EXPECT_EQ(Calls{"failed"}, callback.Outcomes());
    EXPECT_EQ("Failed to get camera properties", callback.LastMessage());
  }
}

TEST(CapabilityQueryModule, AThrowingCallbackStaysInsideTheWorker) {
  FakeQueryCallback callback;
  callback.throwFromCallback = true;
  FakeCapabilityResults results;
  {
    CRTSPCapabilityQueryModule module(&callback, 1);
    ASSERT_EQ(1, module.Start("cam:554", 80, "u", "p", &results));
    ASSERT_TRUE(callback.WaitFor(1, kOutcomeLimit));
  }
  EXPECT_EQ(Calls{"failed"}, callback.Outcomes());
}

class ModuleWideQuery : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(1, UninitModuleWideQuery()); }
};

TEST_F(ModuleWideQuery, InitOnceStartNeedsInitAndAllTexts) {
  FakeQueryCallback first;
  FakeQueryCallback second;
  FakeCapabilityResults results;
  EXPECT_EQ(0, StartModuleWideQuery("rtsp://cam/live", 554, "u", "p", &results));
  EXPECT_EQ(1, TerminateModuleWideQuery());
  EXPECT_EQ(1, InitModuleWideQuery(&first, 1));
  EXPECT_EQ(0, InitModuleWideQuery(&second, 1));
  EXPECT_EQ(0, StartModuleWideQuery(nullptr, 554, "u", "p", &results));
  EXPECT_EQ(0, StartModuleWideQuery("rtsp://cam/live", 554, nullptr, "p", &results));
  EXPECT_EQ(0, StartModuleWideQuery("rtsp://cam/live", 554, "u", nullptr, &results));
  std::this_thread::sleep_for(milliseconds(20));
  EXPECT_TRUE(first.Outcomes().empty());

  EXPECT_EQ(1, StartModuleWideQuery("rtsp://cam/live", 554, "u", "p", &results));
  ASSERT_TRUE(first.WaitFor(1, kOutcomeLimit));
  EXPECT_EQ(Calls{"completed"}, first.Outcomes());
  EXPECT_TRUE(second.Outcomes().empty());
  EXPECT_EQ(1, UninitModuleWideQuery());
  EXPECT_EQ(1, InitModuleWideQuery(&second, 1));  // a new query after Uninit
}

TEST_F(ModuleWideQuery, UninitFromInsideTheCallbackDoesNotWaitForItself) {
  // Outlives the worker's last steps after the callback returns.
  static FakeQueryCallback callback;
  static FakeCapabilityResults results;
  std::atomic<int> uninitResult(-1);
  callback.hook = [&uninitResult] { uninitResult = UninitModuleWideQuery(); };
  ASSERT_EQ(1, InitModuleWideQuery(&callback, 1));
  ASSERT_EQ(1, StartModuleWideQuery("rtsp://cam:554/live", 554, "u", "p", &results));
  ASSERT_TRUE(callback.WaitFor(1, kOutcomeLimit));
  EXPECT_EQ(1, uninitResult.load());
  EXPECT_EQ(0, StartModuleWideQuery("rtsp://cam:554/live", 554, "u", "p", &results));
  callback.hook = nullptr;
}

TEST(CapabilityQueryFactory, CreatesIndependentModules) {
  FakeQueryCallback callback;
  FakeCapabilityResults results;
  ipcapture::IIPCapabilityQuery* a = CreateQueryModule(&callback, 1);
  ipcapture::IIPCapabilityQuery* b = CreateQueryModule(&callback, 1);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(1, a->Start("rtsp://cam/a", 80, "", "", &results));
  EXPECT_EQ(1, b->Start("nonsense", 80, "", "", &results));
  ASSERT_TRUE(callback.WaitFor(2, kOutcomeLimit));
  DeleteQueryModule(a);
  DeleteQueryModule(b);
  DeleteQueryModule(nullptr);
  Calls outcomes = callback.Outcomes();
  std::sort(outcomes.begin(), outcomes.end());
  EXPECT_EQ((Calls{"completed", "failed"}), outcomes);
}

}  // namespace
}  // namespace telvora
