#include "threading/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

namespace telvora {
namespace {

// One thread blocked in a wait. Every event it waits for holds a pointer to
// it, so that Set wakes it at once.
struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  bool notified = false;
};

struct EventState {
  explicit EventState(bool manual_) : manual(manual_) {}
  std::mutex mutex;
  bool manual;
  bool signalled = false;
  std::vector<Waiter*> waiters;
};

EventState* StateOf(const CEvent* e) { return static_cast<EventState*>(e->GetHandle()); }

// Takes the signal of the first signalled event, in index order.
bool TryTakeAny(EventState* const* states, unsigned count, unsigned* index) {
  for (unsigned i = 0; i < count; ++i) {
    std::lock_guard<std::mutex> lock(states[i]->mutex);
    if (states[i]->signalled) {
      if (!states[i]->manual) states[i]->signalled = false;
      *index = i;
      return true;
    }
  }
  return false;
}

void Register(EventState* const* states, unsigned count, Waiter* w) {
  for (unsigned i = 0; i < count; ++i) {
    std::lock_guard<std::mutex> lock(states[i]->mutex);
    states[i]->waiters.push_back(w);
  }
}

void Unregister(EventState* const* states, unsigned count, Waiter* w) {
  for (unsigned i = 0; i < count; ++i) {
    std::lock_guard<std::mutex> lock(states[i]->mutex);
    auto& v = states[i]->waiters;
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (*it == w) {
        v.erase(it);
        break;
      }
    }
  }
}

unsigned WaitAny(EventState* const* states, unsigned count, unsigned milliseconds) {
  unsigned index = kWaitFailed;
  if (TryTakeAny(states, count, &index)) return index;
  if (milliseconds == 0) return kWaitFailed;

  Waiter waiter;
  Register(states, count, &waiter);
  const bool forever = milliseconds == kInfinite;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  unsigned result = kWaitFailed;
  for (;;) {
    if (TryTakeAny(states, count, &index)) {
      result = index;
      break;
    }
    std::unique_lock<std::mutex> lock(waiter.mutex);
    if (!waiter.notified) {
      if (forever) {
        waiter.cv.wait(lock, [&] { return waiter.notified; });
      } else if (!waiter.cv.wait_until(lock, deadline, [&] { return waiter.notified; })) {
        lock.unlock();
        // A Set may have landed right at the deadline.
        if (TryTakeAny(states, count, &index)) result = index;
        break;
      }
    }
    waiter.notified = false;
  }
  Unregister(states, count, &waiter);
  return result;
}

}  // namespace

CEvent::CEvent(bool manualReset) : m_handle(new (std::nothrow) EventState(manualReset)) {}

CEvent::~CEvent() { delete StateOf(this); }

bool CEvent::Set() {
  EventState* s = StateOf(this);
  if (s == nullptr) return false;
  std::lock_guard<std::mutex> lock(s->mutex);
  s->signalled = true;
  for (Waiter* w : s->waiters) {
    std::lock_guard<std::mutex> wl(w->mutex);
    w->notified = true;
    w->cv.notify_one();
  }
  return true;
}

bool CEvent::Reset() {
  EventState* s = StateOf(this);
  if (s == nullptr) return false;
  std::lock_guard<std::mutex> lock(s->mutex);
  s->signalled = false;
  return true;
}

bool CEvent::Wait(unsigned milliseconds) {
  EventState* s = StateOf(this);
  if (s == nullptr) return false;
  return WaitAny(&s, 1, milliseconds) == 0;
}

unsigned CEvent::WaitForMultiple(CEvent* const* events, unsigned count, unsigned milliseconds) {
  if (events == nullptr || count == 0 || count > 64) return kWaitFailed;
  EventState* states[64];
  for (unsigned i = 0; i < count; ++i) {
    if (events[i] == nullptr || StateOf(events[i]) == nullptr) return kWaitFailed;
    states[i] = StateOf(events[i]);
  }
  return WaitAny(states, count, milliseconds);
}

}  // namespace telvora
