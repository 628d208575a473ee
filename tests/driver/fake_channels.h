// Stream objects and a channel creator for tests of the video capture
// object: every call lands in a shared journal, so order can be checked.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/driver_services.h"
#include "host/orvalen_host.h"
#include "base/string_format.h"

namespace telvora {
namespace test {

class Journal {
 public:
  void Add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(entry);
  }
  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries;
  }
  size_t Count(const std::string& entry) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t n = 0;
    for (const auto& e : m_entries) n += e == entry ? 1 : 0;
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_entries;
};

// Named "<channel>/<purpose>" in the journal, e.g. "start 0/1".
class FakeCameraChannel : public ICameraChannel {
 public:
  FakeCameraChannel(Journal* journal, uint32_t channel, IHostFrameSink* sink, uint32_t purpose, bool startResult)
      : m_journal(journal), m_channel(channel), m_sink(sink), m_name(FormatString("%u/%u", channel, purpose)),
        m_startResult(startResult) {}
  ~FakeCameraChannel() override { m_journal->Add("delete " + m_name); }

  uint32_t GetChannelIndex() override { return m_channel; }
  IHostFrameSink* GetFrameSink() override { return m_sink; }
  void SetEdgeMonitorSink(IEdgeMonitorSink*) override {}
  void SetOption(uint32_t value) override { m_journal->Add(FormatString("option %s %u", m_name.c_str(), value)); }
  bool Start(const CHANNEL_SETTINGS* settings) override {
    if (settings != nullptr) started = *settings;
    m_journal->Add("start " + m_name);
    return m_startResult;
  }
  void Stop() override { m_journal->Add("stop " + m_name); }
  bool ChangeFormat(const CHANNEL_SETTINGS* settings) override {
    if (settings != nullptr) changed = *settings;
    m_journal->Add("change " + m_name);
    return true;
  }
  bool GetFlagB() override { return false; }
  bool GetFlagA() override { return false; }
  int32_t GetState() override {
    if (onGetState) onGetState();
    return state;
  }

  std::function<void()> onGetState;  // runs inside GetState, when set
  CHANNEL_SETTINGS started{};
  CHANNEL_SETTINGS changed{};
  int32_t state = 3;

 private:
  Journal* m_journal;
  uint32_t m_channel;
  IHostFrameSink* m_sink;
  std::string m_name;
  bool m_startResult;
};

class FakeSecondaryChannel : public ISecondaryChannel {
 public:
  FakeSecondaryChannel(Journal* journal, bool startResult) : m_journal(journal), m_startResult(startResult) {}
  ~FakeSecondaryChannel() override { m_journal->Add("delete secondary"); }
  void Reserved1() override {}
  void Reserved2() override {}
  void Reserved3() override {}
  bool StartSecondary() override {
    m_journal->Add("start secondary");
    return m_startResult;
  }
  void StopSecondary() override { m_journal->Add("stop secondary"); }

 private:
  Journal* m_journal;
  bool m_startResult;
};

class FakeEdgeMonitor : public IEdgeMonitor {
 public:
  explicit FakeEdgeMonitor(Journal* journal) : m_journal(journal) {}
  ~FakeEdgeMonitor() override { m_journal->Add("delete monitor"); }
  void Attach(void* object) override { m_journal->Add(object != nullptr ? "attach" : "attach null"); }
  void Detach(void* object) override { m_journal->Add(object != nullptr ? "detach" : "detach null"); }

 private:
  Journal* m_journal;
};

class FakeChannelCreator : public IVideoChannelCreator {
 public:
  ICameraChannel* CreateVideoChannel(uint32_t channel, IHostFrameSink* sink,
                                     const CHANNEL_SETTINGS* settings) override {
    const uint32_t purpose = settings != nullptr ? settings->purpose : 99;
    journal.Add(FormatString("create %u/%u", channel, purpose));
    if (refuseStreams || sink == nullptr) return nullptr;
    FakeCameraChannel* stream = new FakeCameraChannel(&journal, channel, sink, purpose, startResult);
    last = stream;
    return stream;
  }
  ISecondaryChannel* CreateSecondaryChannel(uint32_t, IHostFrameSink*) override {
    journal.Add("create secondary");
    return offerSecondary ? new FakeSecondaryChannel(&journal, secondaryStartResult) : nullptr;
  }
  IEdgeMonitor* CreateEdgeMonitor() override {
    journal.Add("create monitor");
    return offerMonitor ? new FakeEdgeMonitor(&journal) : nullptr;
  }

  Journal journal;
  FakeCameraChannel* last = nullptr;  // the stream created last; owned by the capture object
  bool refuseStreams = false;
  bool startResult = true;
  bool offerSecondary = false;
  bool secondaryStartResult = true;
  bool offerMonitor = false;
};

}  // namespace test
}  // namespace telvora
