// The receive queue's ordering rules on sequence numbers alone, apart from
// its threads, lock and clock: where an arriving packet goes, and when the
// front packet may go out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace telvora {

class CReorderWindow {
 public:
  // A packet that overtook another waits until the missing one arrives, for
  // at most kWaitMs or until kDepth packets wait behind the gap.
  static constexpr uint32_t kWaitMs = 40;
  static constexpr size_t kDepth = 16;
  // How far behind the last delivered packet a packet counts as late; one
  // further back belongs to a sender that started again.
  static constexpr int kLateRange = 256;

  // Signed distance from a to b in sequence space.
  static int Distance(uint16_t a, uint16_t b) { return static_cast<int16_t>(static_cast<uint16_t>(b - a)); }

  // The slot for a packet of sequence in a queue of count packets kept in
  // this order, where sequenceAt(i) is the i-th packet's sequence number.
  // False for a duplicate or a packet whose turn has passed.
  template <typename SequenceAt>
  bool FindSlot(uint16_t sequence, size_t count, SequenceAt sequenceAt, size_t* slot) const {
    if (m_delivered) {
      const int behind = Distance(sequence, m_lastSequence);
      if (behind >= 0 && behind < kLateRange) return false;
    }
    // Packets overtake each other by a few places at most: look from the back.
    size_t at = count;
    for (size_t looked = 0; at > 0 && looked < 2 * kDepth; ++looked) {
      const int distance = Distance(sequenceAt(at - 1), sequence);
      if (distance == 0) return false;
      if (distance > 0) break;
      --at;
    }
    *slot = at;
    return true;
  }

  // The front packet's turn has come whatever the time: the first, the next
  // in sequence, or a full window.
  bool InTurn(uint16_t sequence, size_t count) const {
    return !m_delivered || sequence == static_cast<uint16_t>(m_lastSequence + 1) || count >= kDepth;
  }

  // Whether the front packet (sequence, count packets queued) may go out at
  // now (a millisecond clock). When not, *wait is how long it may still be
  // held; the hold begins at the first such call.
  bool FrontReady(uint16_t sequence, size_t count, uint32_t now, uint32_t* wait);

  // The front packet waits for a missing one.
  bool Holding() const { return m_holding; }

  // The front packet went out.
  void Delivered(uint16_t sequence);

  // The queue was emptied: the next packet goes out at once.
  void Reset();

 private:
  bool m_delivered = false;    // a packet went out since the last emptying
  uint16_t m_lastSequence = 0;  // of the last packet delivered
  bool m_holding = false;      // the front waits for a missing packet
  uint32_t m_holdStart = 0;    // when it began to wait
};

}  // namespace telvora
