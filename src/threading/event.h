// Kernel-style events: manual- or auto-reset, with a wait for any of several.
#pragma once

#include <cstdint>

namespace telvora {

constexpr unsigned kInfinite = 0xFFFFFFFFu;
constexpr unsigned kWaitFailed = 0xFFFFFFFFu;

class CEvent {
 public:
  // Auto-reset unless manualReset. Creation failure leaves a null handle,
  // on which every operation returns false.
  explicit CEvent(bool manualReset = false);
  virtual ~CEvent();
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  bool Set();
  bool Reset();
  // True when signalled within the time (kInfinite waits without limit).
  // An auto-reset event is consumed by the wait that returns true.
  bool Wait(unsigned milliseconds);

  // Waits until any of the events is signalled. Returns the index of the
  // event that ended the wait, the lowest one when several are signalled;
  // kWaitFailed on time-out, a null array or an event without handle.
  static unsigned WaitForMultiple(CEvent* const* events, unsigned count, unsigned milliseconds);

  void* GetHandle() const { return m_handle; }

 private:
  void* m_handle;
};

class CManualEvent : public CEvent {
 public:
  CManualEvent() : CEvent(true) {}
  ~CManualEvent() override {}
};

}  // namespace telvora
