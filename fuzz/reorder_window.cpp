// The receive queue's ordering on arbitrary arrivals, clock steps and host
// stalls. The input is 3-byte steps: an op byte and a 16-bit value. Op bits
// 0-1: 0 and 1 a packet arrives (bit 2 set: the value is its sequence
// number, else the next number shifted by the value's low byte as a signed
// offset), 2 the clock moves on by the value's low byte, 3 the host stalls
// or resumes (value even) or the queue is emptied (value odd). Checked: every packet taken goes out once, after its
// predecessor or far enough behind it to be a sender that started again; a
// packet out of turn is held until the wait is up or the queue is deep;
// once arrivals end nothing stays queued for longer than the wait.
#include <cstddef>
#include <cstdint>
#include <deque>

#include "rtp/reorder_window.h"

namespace {

using telvora::CReorderWindow;

// The queue drops its oldest packets past its bound; a small bound here
// lets short inputs reach it.
constexpr size_t kBound = 64;

struct Item {
  uint16_t sequence;
  bool misplaced;  // put in by a search that stopped before its place
};

struct Model {
  CReorderWindow window;
  std::deque<Item> queue;
  uint32_t now = 0;
  bool delivered = false;
  uint16_t last = 0;
  bool trimmed = false;       // packets were dropped since the last delivery
  bool held = false;          // the front was refused since the last delivery
  uint32_t heldSince = 0;
  size_t accepted = 0;
  size_t out = 0;
  size_t dropped = 0;

  void Arrive(uint16_t sequence) {
    size_t slot = 0;
    const bool taken = window.FindSlot(sequence, queue.size(), [this](size_t i) { return queue[i].sequence; }, &slot);
    if (!taken) return;
    if (slot > queue.size()) __builtin_trap();
    // Within the search a packet lands right after one it follows.
    bool misplaced = false;
    if (slot > 0 && CReorderWindow::Distance(queue[slot - 1].sequence, sequence) <= 0) {
      if (queue.size() - slot != 2 * CReorderWindow::kDepth) __builtin_trap();
      misplaced = true;
    }
    if (slot < queue.size() && CReorderWindow::Distance(queue[slot].sequence, sequence) >= 0) __builtin_trap();
    queue.insert(queue.begin() + static_cast<std::ptrdiff_t>(slot), Item{sequence, misplaced});
    ++accepted;
    while (queue.size() > kBound) {
      queue.pop_front();
      ++dropped;
      trimmed = true;
    }
  }

  // The receiver closes and opens again: the next packet goes out at once.
  void Empty() {
    queue.clear();
    window.Reset();
    delivered = false;
    held = false;
    trimmed = false;
    accepted = out + dropped;
  }

  void Deliver() {
    while (!queue.empty()) {
      const Item front = queue.front();
      uint32_t wait = 0;
      if (!window.FrontReady(front.sequence, queue.size(), now, &wait)) {
        if (wait == 0 || wait > CReorderWindow::kWaitMs) __builtin_trap();
        if (!held) heldSince = now;
        held = true;
        return;
      }
      if (wait != 0) __builtin_trap();
      if (delivered) {
        const bool inTurn = front.sequence == static_cast<uint16_t>(last + 1);
        if (!inTurn && queue.size() < CReorderWindow::kDepth && (!held || now - heldSince < CReorderWindow::kWaitMs))
          __builtin_trap();
        const int step = CReorderWindow::Distance(last, front.sequence);
        if (!front.misplaced && !trimmed && step <= 0 && step > -CReorderWindow::kLateRange) __builtin_trap();
      }
      queue.pop_front();
      window.Delivered(front.sequence);
      delivered = true;
      last = front.sequence;
      held = false;
      trimmed = false;
      ++out;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  Model model;
  // Any start, so that the millisecond clock wraps inside some inputs.
  model.now = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
  uint16_t next = 0;
  bool stalled = false;
  for (size_t pos = 4; pos + 3 <= size; pos += 3) {
    const uint8_t op = data[pos];
    const uint16_t value = static_cast<uint16_t>(data[pos + 1] << 8 | data[pos + 2]);
    switch (op & 3) {
      case 0:
      case 1: {
        const uint16_t sequence =
            (op & 4) ? value : static_cast<uint16_t>(next + static_cast<int8_t>(value & 0xFF));
        next = static_cast<uint16_t>(sequence + 1);
        model.Arrive(sequence);
        break;
      }
      case 2:
        model.now += value & 0xFF;
        break;
      default:
        if (value & 1) {
          model.Empty();
        } else {
          stalled = !stalled;
        }
        break;
    }
    if (!stalled) model.Deliver();
  }
  // Arrivals are over: each wait lets at least the front go.
  for (size_t rounds = model.queue.size() + 1; rounds > 0; --rounds) {
    model.Deliver();
    model.now += CReorderWindow::kWaitMs;
  }
  if (!model.queue.empty()) __builtin_trap();
  if (model.out + model.dropped != model.accepted) __builtin_trap();
  return 0;
}
