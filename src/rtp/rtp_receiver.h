// The RTP receive queue: parses datagrams of one UDP port on the socket
// thread, queues them in sequence order and delivers them one at a time on
// its own thread, "RTP Packet Queue (%hu)".
//
// A small reorder window (CReorderWindow): a packet that overtook another
// waits until the missing one arrives, for at most 40 ms or until 16 packets
// wait behind the gap; an in-order stream is delivered at once. Duplicates
// and packets that come after their turn are dropped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "host/debug_message.h"
#include "platform/sockets.h"
#include "rtp/rtp_client.h"
#include "rtp/rtp_packet.h"
#include "rtp/reorder_window.h"
#include "threading/base_thread.h"
#include "threading/event.h"
#include "threading/recursive_lock.h"
#include "base/smart_ptr.h"

namespace telvora {

// Callbacks of a CRTPReceiver. PacketReceived runs on the delivery thread,
// ReceiverTimeout on the UDP client's thread, ReceiverClosed there or, when
// the receiver itself closes, on the thread that called Close().
class IRTPReceiverUser {
 public:
  virtual ~IRTPReceiverUser() {}
  // One packet; it is destroyed when the call returns. from is a sockaddr_in.
  virtual void PacketReceived(const sockaddr* from, CRTPPacket& packet) = 0;
  // No datagram arrived for the receive time-out (2000 ms).
  virtual void ReceiverTimeout() = 0;
  virtual void ReceiverClosed() = 0;
};

class CRTPReceiver : public IRTPClientUser, public CBaseThread {
 public:
  // Past either bound the oldest packets are dropped and counted. A dropped
  // packet is a sequence gap to the depacketizer, which recovers from it.
  static constexpr size_t kMaxQueuedPackets = 4096;
  // Whole datagrams count, header and extension included.
  static constexpr size_t kMaxQueuedBytes = 16u * 1024u * 1024u;
  // Packets the delivery thread takes at once under the lock.
  static constexpr size_t kMaxBatch = 256;
  // A waiting delivery thread is woken once this many packets wait, even
  // in the middle of a frame.
  static constexpr size_t kWakeDepth = 32;

  // What the socket thread remembers of the packets it queued, to tell
  // whether one must wake a waiting delivery thread: the first one, one
  // that can end a frame (its marker, or a new timestamp), or a deep queue.
  // The rest of a frame waits for its end without a thread switch per
  // packet. While the user takes frames at their marker, the first packet
  // after a marker wakes nobody: the frame before it is already out.
  struct WakeRule {
    bool queuedAny = false;  // since the last emptying
    bool lastMarker = false;
    uint32_t lastTimestamp = 0;
    // Notes a packet just queued; true when it must wake.
    bool Queued(const CRTPPacket& packet, size_t queueLength, bool framesEndAtMarker);
  };
  // Delivered entries kept for reuse, so that a steady stream allocates
  // nothing per packet; entries holding more payload storage are freed.
  static constexpr size_t kPoolSize = 32;
  static constexpr uint32_t kPooledPayloadLimit = 16384;

  // sink: not owned; device text and the overflow line.
  explicit CRTPReceiver(IDebugMessage* sink);
  ~CRTPReceiver() override;

  // Not owned. Set before opening.
  void SetUser(IRTPReceiverUser* user) { m_user = user; }
  // Told by the user after each packet: whether its frames end at their
  // marker, so that the next frame's first packet need not wake it.
  // Written only on a change: the socket thread reads it for every packet.
  void SetFramesEndAtMarker(bool value) {
    if (m_framesEndAtMarker.load(std::memory_order_relaxed) != value)
      m_framesEndAtMarker.store(value, std::memory_order_relaxed);
  }
  unsigned short GetPort();

  // Open, OpenMulticast and Close come from one controlling thread.
  // keepClient reuses the current UDP client instead of creating a new one;
  // with no client to reuse (Close() releases it) the open fails.
  // Any undelivered packet of an earlier open is discarded.
  bool Open(bool keepClient, unsigned short port);
  bool OpenMulticast(const std::string& group, unsigned short port);
  // Stops both threads and discards undelivered packets; the user hears
  // ReceiverClosed if a client was open. Returns when the
  // delivery thread has ended; a user blocked in PacketReceived holds it up.
  void Close();

  // IRTPClientUser, on the UDP client's thread. Calls from any client but
  // the current one are ignored.
  void DataReceived(IRTPClient* client, const sockaddr* from, const unsigned char* data, int length) override;
  void ReceiveTimeout(IRTPClient* client) override;
  void ClientClosed(IRTPClient* client) override;

  // Queue figures, safe from any thread.
  size_t GetQueuedPackets();
  size_t GetQueuedBytes();
  // Packets dropped on overflow since construction.
  uint64_t GetDroppedPackets() const { return m_droppedTotal.load(); }
  // Duplicates and packets that came after their turn, since construction.
  uint64_t GetDiscardedPackets() const { return m_discardedTotal.load(); }

  // An overflow episode ends when the backlog is down to half of both
  // bounds; one that lasts longer than this interval is reported anyway and
  // counted afresh from then on.
  static constexpr uint32_t kDefaultOverflowReportInterval = 10000;
  void SetOverflowReportInterval(uint32_t milliseconds);

 protected:
  void Run() override;

 private:
  struct QUEUE_ENTRY {
    sockaddr_in from;
    CRTPPacket packet;
  };

  bool StartDelivery(unsigned short port);
  // Puts the entry in sequence order; false (entry not taken) for a
  // duplicate or a packet whose turn has passed. Under the lock.
  bool InsertInOrder(QUEUE_ENTRY* entry);
  // The front entry if its turn has come, else null with *wait set to the
  // milliseconds it may still be held. Under the lock.
  QUEUE_ENTRY* TakeReady(uint32_t* wait);
  void EmptyQueue();
  // Keeps the entry for reuse or frees it. Under the lock.
  void Recycle(QUEUE_ENTRY* entry);
  void FreePool();
  // The count of an overflow episode that is over (the backlog is down to
  // half of both bounds, or force), 0 otherwise. Takes the lock.
  uint64_t TakeFinishedEpisode(bool force);
  // The level-2 line for one episode; called without the lock.
  void ReportOverflow(uint64_t dropped);
  // Waits up to the given time for a wake; true when the thread must end.
  bool WaitForWork(unsigned milliseconds);
  void Wake();

  TSmartPtr<IRTPClient> m_client;
  // The client DataReceived accepts; cleared before the old client goes.
  std::atomic<IRTPClient*> m_currentClient;
  IRTPReceiverUser* m_user;
  CRecursiveLock m_lock;
  std::deque<QUEUE_ENTRY*> m_queue;
  std::vector<QUEUE_ENTRY*> m_pool;  // under the lock
  // The entry the socket thread parses its next datagram into.
  std::atomic<QUEUE_ENTRY*> m_spare;
  size_t m_queuedBytes;
  // Dropped in the overflow episode now running; 0 when there is none.
  uint64_t m_episodeDropped;
  uint32_t m_episodeStart;  // millisecond clock at its first drop
  std::atomic<uint32_t> m_overflowReportInterval;
  std::atomic<uint64_t> m_droppedTotal;
  std::atomic<uint64_t> m_discardedTotal;
  CReorderWindow m_order;
  // The delivery thread found nothing ready and waits on the data event.
  bool m_deliveryWaiting;
  WakeRule m_wakeRule;  // under the lock
  std::atomic<bool> m_framesEndAtMarker;
  // Set by Close before the stop event; cheap to read for every packet.
  std::atomic<bool> m_closing;
  // The delivery thread's wake: a plain condition, one system call on each
  // side, since it fires once per frame on every stream.
  std::mutex m_wakeLock;
  std::condition_variable m_wake;
  bool m_wakeSignalled;
};

}  // namespace telvora
