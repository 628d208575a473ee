// Host side of a capability query for tests: a result object that records
// every call in order as text, and a callback that records the outcome.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/orvalen_host.h"

namespace telvora {
namespace test {

class CallLog {
 public:
  void Add(const std::string& call) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_calls.push_back(call);
  }
  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_calls;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_calls;
};

class FakeTextField : public ICapabilityTextField {
 public:
  explicit FakeTextField(CallLog* log) : m_log(log) {}
  void SetText(const char* text) override { m_log->Add(std::string("Field.SetText(") + text + ")"); }

 private:
  CallLog* m_log;
};

class FakeProperty : public ICapabilityProperty {
 public:
  explicit FakeProperty(CallLog* log) : m_log(log) {}
  void SetValueText(const char* text) override { m_log->Add(std::string("Property.SetValueText(") + text + ")"); }
  void SetType(int type) override { m_log->Add("Property.SetType(" + std::to_string(type) + ")"); }
  void SetName(const char* name) override { m_log->Add(std::string("Property.SetName(") + name + ")"); }
  void SetReserved(int value) override { m_log->Add("Property.SetReserved(" + std::to_string(value) + ")"); }

 private:
  CallLog* m_log;
};

class FakeResolutionList : public IResolutionList {
 public:
  explicit FakeResolutionList(CallLog* log) : m_log(log) {}
  void Add(const char* text, int width, int height, int rateCode) override {
    m_log->Add(std::string("Resolutions.Add(") + text + "," + std::to_string(width) + "," +
               std::to_string(height) + "," + std::to_string(rateCode) + ")");
  }

 private:
  CallLog* m_log;
};

class FakeFrameRateList : public IFrameRateList {
 public:
  explicit FakeFrameRateList(CallLog* log) : m_log(log) {}
  void SetDefault(int rateCode) override { m_log->Add("FrameRates.SetDefault(" + std::to_string(rateCode) + ")"); }
  void Add(int rateCode) override { m_log->Add("FrameRates.Add(" + std::to_string(rateCode) + ")"); }

 private:
  CallLog* m_log;
};

class FakeCapabilityResults : public ICapabilityResults {
 public:
  FakeCapabilityResults() : m_field(&m_log), m_property(&m_log), m_resolutions(&m_log), m_frameRates(&m_log) {}

  void SetValue(int id, int value) override {
    m_log.Add("SetValue(" + std::to_string(id) + "," + std::to_string(value) + ")");
  }
  void SetModelName(const char* text) override { m_log.Add(std::string("SetModelName(") + text + ")"); }
  ICapabilityTextField* GetConnectionField(int index) override {
    m_log.Add("GetConnectionField(" + std::to_string(index) + ")");
    return &m_field;
  }
  ICapabilityProperty* GetProperty(int id) override {
    m_log.Add("GetProperty(" + std::to_string(id) + ")");
    return &m_property;
  }
  IResolutionList* GetResolutionList() override {
    m_log.Add("GetResolutionList()");
    return refuseResolutions ? nullptr : &m_resolutions;
  }
  IFrameRateList* GetFrameRateList(int index) override {
    m_log.Add("GetFrameRateList(" + std::to_string(index) + ")");
    return refuseFrameRates ? nullptr : &m_frameRates;
  }

  std::vector<std::string> Calls() const { return m_log.Calls(); }

  bool refuseResolutions = false;
  bool refuseFrameRates = false;

 private:
  CallLog m_log;
  FakeTextField m_field;
  FakeProperty m_property;
  FakeResolutionList m_resolutions;
  FakeFrameRateList m_frameRates;
};

// Records each outcome; an optional hook runs inside the callback.
class FakeQueryCallback : public ICapabilityQueryCallback {
 public:
  void OnQueryCompleted() override { Record("completed", 0, ""); }
  void OnQueryFailed(int code, const char* message) override { Record("failed", code, message); }
  void OnQueryThreadKilled() override { Record("killed", 0, ""); }

  // Waits until n outcomes have been recorded.
  bool WaitFor(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_outcomes.size() >= n && m_hooksDone >= n; });
  }
  std::vector<std::string> Outcomes() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_outcomes;
  }
  int LastCode() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lastCode;
  }
  std::string LastMessage() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lastMessage;
  }

  std::function<void()> hook;  // set before the query starts
  bool throwFromCallback = false;

 private:
  void Record(const char* what, int code, const char* message) {
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_outcomes.push_back(what);
      m_lastCode = code;
      m_lastMessage = message != nullptr ? message : "(null)";
    }
    const bool throwAfter = throwFromCallback;
    if (hook) hook();
    {
      // Notified under the lock: the waiter may destroy this object as soon
      // as it can see the count.
      std::lock_guard<std::mutex> guard(m_mutex);
      ++m_hooksDone;
      m_changed.notify_all();
    }
    if (throwAfter) throw std::runtime_error("host callback failed");
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::string> m_outcomes;
  size_t m_hooksDone = 0;
  int m_lastCode = -1;
  std::string m_lastMessage;
};

}  // namespace test
}  // namespace telvora
