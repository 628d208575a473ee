#include "rtp/rtp_receiver.h"

#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "platform/module.h"
#include "rtp/udp_client.h"
#include "base/string_format.h"

namespace telvora {
namespace {

constexpr unsigned kClientBufferSize = 1536;
constexpr unsigned kClientTimeout = 2000;
constexpr unsigned kIdleWait = 1000;
constexpr unsigned kStopLimit = 2000;

}  // namespace

constexpr size_t CRTPReceiver::kMaxQueuedPackets;
constexpr size_t CRTPReceiver::kMaxQueuedBytes;
constexpr uint32_t CRTPReceiver::kDefaultOverflowReportInterval;
constexpr size_t CRTPReceiver::kMaxBatch;
constexpr size_t CRTPReceiver::kWakeDepth;
constexpr size_t CRTPReceiver::kPoolSize;
constexpr uint32_t CRTPReceiver::kPooledPayloadLimit;

CRTPReceiver::CRTPReceiver(IDebugMessage* sink)
    : CBaseThread(sink),
      m_currentClient(nullptr),
      m_user(nullptr),
      m_spare(nullptr),
      m_queuedBytes(0),
      m_episodeDropped(0),
      m_episodeStart(0),
      m_overflowReportInterval(kDefaultOverflowReportInterval),
      m_droppedTotal(0),
      m_discardedTotal(0),
      m_deliveryWaiting(false),
      m_framesEndAtMarker(false),
      m_closing(false),
      m_wakeSignalled(false) {}

CRTPReceiver::~CRTPReceiver() {
  Close();
  FreePool();
}

unsigned short CRTPReceiver::GetPort() {
  IRTPClient* client = m_client.Get();
  return client != nullptr ? client->GetPort() : 0;
}

bool CRTPReceiver::Open(bool keepClient, unsigned short port) {
  if (!keepClient) {
    m_currentClient = nullptr;
    m_client = new (std::nothrow) CUDPClient(GetLogSink());
  }
  IRTPClient* client = m_client.Get();
  if (client != nullptr) {
    m_currentClient = client;
    // Set before the open too, so that the receive thread's first wait and
    // buffer already use them.
    client->SetBufferSize(kClientBufferSize);
    client->SetTimeout(kClientTimeout);
    if (client->Open(this, port)) {
      client->SetBufferSize(kClientBufferSize);
      client->SetTimeout(kClientTimeout);
      if (StartDelivery(client->GetPort())) return true;
    }
  }
  Close();
  return false;
}

bool CRTPReceiver::OpenMulticast(const std::string& group, unsigned short port) {
  m_currentClient = nullptr;
  m_client = new (std::nothrow) CUDPClient(GetLogSink());
  IRTPClient* client = m_client.Get();
  if (client != nullptr) {
    m_currentClient = client;
    client->SetBufferSize(kClientBufferSize);
    client->SetTimeout(kClientTimeout);
    if (client->OpenMulticast(this, group, port)) {
      client->SetBufferSize(kClientBufferSize);
      client->SetTimeout(kClientTimeout);
      if (StartDelivery(client->GetPort())) return true;
    }
  }
  Close();
  return false;
}

bool CRTPReceiver::StartDelivery(unsigned short port) {
  EmptyQueue();
  m_closing = false;
  return StartThread(FormatString("RTP Packet Queue (%hu)", port));
}

void CRTPReceiver::Close() {
  m_closing = true;
  m_stopEvent.Set();
  Wake();
  if (m_client) {
    m_client->Close();
    m_currentClient = nullptr;
    m_client.Release();
  }
  EmptyQueue();
  StopThread(kStopLimit);
  // The delivery thread may have queued nothing since, but the socket
  // thread is gone: whatever is left is discarded.
  EmptyQueue();
  // A closed receiver holds no packet memory.
  FreePool();
}

void CRTPReceiver::Recycle(QUEUE_ENTRY* entry) {
  if (m_pool.size() < kPoolSize && entry->packet.GetPayloadCapacity() <= kPooledPayloadLimit) {
    try {
      m_pool.push_back(entry);
      return;
    } catch (...) {
    }
  }
  delete entry;
}

void CRTPReceiver::FreePool() {
  delete m_spare.exchange(nullptr);
  CAutoLock lock(m_lock);
  for (QUEUE_ENTRY* entry : m_pool) delete entry;
  m_pool.clear();
  m_pool.shrink_to_fit();
}

void CRTPReceiver::EmptyQueue() {
  {
    CAutoLock lock(m_lock);
    while (!m_queue.empty()) {
      delete m_queue.front();
      m_queue.pop_front();
    }
    m_queuedBytes = 0;
    m_order.Reset();
    m_wakeRule = WakeRule();
    m_framesEndAtMarker = false;
  }
  ReportOverflow(TakeFinishedEpisode(true));
}

void CRTPReceiver::DataReceived(IRTPClient* client, const sockaddr* from, const unsigned char* data, int length) {
  if (client == nullptr || client != m_currentClient.load() || data == nullptr || length <= 0) return;
  QUEUE_ENTRY* entry = m_spare.exchange(nullptr);
  if (entry == nullptr) entry = new (std::nothrow) QUEUE_ENTRY;
  if (entry == nullptr) return;
  std::memset(&entry->from, 0, sizeof(entry->from));
  if (from != nullptr) std::memcpy(&entry->from, from, sizeof(entry->from));
  // A packet that slips in while the receiver stops is never delivered:
  // the delivery thread checks the stop event before every batch and Close
  // discards what is left.
  if (!entry->packet.Parse(data, static_cast<unsigned>(length))) {
    delete m_spare.exchange(entry);
    return;
  }
  uint64_t longEpisode = 0;
  bool wake = false;
  {
    CAutoLock lock(m_lock);
    if (!InsertInOrder(entry)) {
      ++m_discardedTotal;
      delete m_spare.exchange(entry);
      return;
    }
    m_queuedBytes += entry->packet.GetDatagramLength();
    // Keep the newest packet: a stream that resumes after a stall wants the
    // latest picture, not the backlog.
    while (m_queue.size() > 1 && (m_queue.size() > kMaxQueuedPackets || m_queuedBytes > kMaxQueuedBytes)) {
      QUEUE_ENTRY* oldest = m_queue.front();
      m_queue.pop_front();
      m_queuedBytes -= oldest->packet.GetDatagramLength();
      Recycle(oldest);
      if (m_episodeDropped++ == 0) m_episodeStart = platform::GetMillisecondClock();
      ++m_droppedTotal;
    }
    // Only a delivery thread that found nothing to take needs waking; one
    // that is busy takes this packet with the rest of its next batch. A
    // packet that may fill a reorder gap always wakes it.
    const bool ends =
        m_wakeRule.Queued(entry->packet, m_queue.size(), m_framesEndAtMarker.load(std::memory_order_relaxed));
    wake = m_deliveryWaiting && (ends || m_order.Holding());
    if (wake) m_deliveryWaiting = false;
    if (!m_pool.empty()) {
      delete m_spare.exchange(m_pool.back());
      m_pool.pop_back();
    }
    // A user that never catches up still gets a line now and then.
    if (m_episodeDropped != 0 &&
        platform::GetMillisecondClock() - m_episodeStart >= m_overflowReportInterval.load())
      longEpisode = TakeFinishedEpisode(true);
  }
  if (wake) Wake();
  ReportOverflow(longEpisode);
}

bool CRTPReceiver::WakeRule::Queued(const CRTPPacket& packet, size_t queueLength, bool framesEndAtMarker) {
  const uint32_t timestamp = packet.GetTimestamp();
  const bool wake = !queuedAny || packet.GetMarker() ||
                    (timestamp != lastTimestamp && !(lastMarker && framesEndAtMarker)) || queueLength >= kWakeDepth;
  queuedAny = true;
  lastMarker = packet.GetMarker();
  lastTimestamp = timestamp;
  return wake;
}

bool CRTPReceiver::InsertInOrder(QUEUE_ENTRY* entry) {
  size_t slot = 0;
  if (!m_order.FindSlot(entry->packet.GetSequenceNumber(), m_queue.size(),
                        [this](size_t i) { return m_queue[i]->packet.GetSequenceNumber(); }, &slot))
    return false;
  m_queue.insert(m_queue.begin() + static_cast<std::ptrdiff_t>(slot), entry);
  return true;
}

CRTPReceiver::QUEUE_ENTRY* CRTPReceiver::TakeReady(uint32_t* wait) {
  *wait = 0;
  if (m_queue.empty()) return nullptr;
  QUEUE_ENTRY* front = m_queue.front();
  const uint16_t sequence = front->packet.GetSequenceNumber();
  // The clock is read only for a packet that waits for a missing one.
  const size_t count = m_queue.size();
  if (!m_order.InTurn(sequence, count) &&
      !m_order.FrontReady(sequence, count, platform::GetMillisecondClock(), wait))
    return nullptr;
  m_queue.pop_front();
  m_queuedBytes -= front->packet.GetDatagramLength();
  m_order.Delivered(sequence);
  return front;
}

void CRTPReceiver::SetOverflowReportInterval(uint32_t milliseconds) { m_overflowReportInterval = milliseconds; }

void CRTPReceiver::ReceiveTimeout(IRTPClient* client) {
  if (client == nullptr || client != m_currentClient.load() || m_user == nullptr) return;
  m_user->ReceiverTimeout();
}

void CRTPReceiver::ClientClosed(IRTPClient* client) {
  if (client == nullptr || client != m_currentClient.load() || m_user == nullptr) return;
  m_user->ReceiverClosed();
}

size_t CRTPReceiver::GetQueuedPackets() {
  CAutoLock lock(m_lock);
  return m_queue.size();
}

size_t CRTPReceiver::GetQueuedBytes() {
  CAutoLock lock(m_lock);
  return m_queuedBytes;
}

uint64_t CRTPReceiver::TakeFinishedEpisode(bool force) {
  CAutoLock lock(m_lock);
  if (m_episodeDropped == 0) return 0;
  // The episode ends once the backlog is down to half of both bounds.
  if (!force && (m_queue.size() > kMaxQueuedPackets / 2 || m_queuedBytes > kMaxQueuedBytes / 2)) return 0;
  const uint64_t dropped = m_episodeDropped;
  m_episodeDropped = 0;
  return dropped;
}

void CRTPReceiver::ReportOverflow(uint64_t dropped) {
  if (dropped == 0) return;
  IDebugMessage* sink = GetLogSink();
  if (sink == nullptr) return;
  sink->Log(2, "%s: The RTP packet queue of device %s overflowed; %llu packets were dropped",
            "telvora::CRTPReceiver::ReportOverflow", sink->GetDeviceText().c_str(),
            static_cast<unsigned long long>(dropped));
}

void CRTPReceiver::Wake() {
  {
    std::lock_guard<std::mutex> lock(m_wakeLock);
    m_wakeSignalled = true;
  }
  m_wake.notify_one();
}

bool CRTPReceiver::WaitForWork(unsigned milliseconds) {
  {
    std::unique_lock<std::mutex> lock(m_wakeLock);
    if (milliseconds != 0)
      m_wake.wait_for(lock, std::chrono::milliseconds(milliseconds),
                      [this] { return m_wakeSignalled || m_closing.load(); });
    m_wakeSignalled = false;
  }
  return m_closing.load() || m_stopEvent.Wait(0);
}

void CRTPReceiver::Run() {
  std::vector<QUEUE_ENTRY*> batch;
  batch.reserve(kMaxBatch);
  unsigned wait = 0;
  for (;;) {
    if (WaitForWork(wait)) break;
    // Everything ready goes in one batch; the thread waits again only once
    // it has found nothing to take.
    for (;;) {
      uint64_t episodeDropped = 0;
      {
        CAutoLock lock(m_lock);
        uint32_t hold = 0;
        while (batch.size() < kMaxBatch) {
          QUEUE_ENTRY* entry = TakeReady(&hold);
          if (entry == nullptr) break;
          batch.push_back(entry);
        }
        // A held packet is looked at when its time is up or another packet
        // arrives.
        if (batch.empty()) {
          m_deliveryWaiting = true;
          wait = hold != 0 ? hold : kIdleWait;
        }
        if (m_episodeDropped != 0) episodeDropped = TakeFinishedEpisode(false);
      }
      ReportOverflow(episodeDropped);
      if (batch.empty()) break;
      IRTPReceiverUser* user = m_user;
      bool stopping = m_stopEvent.Wait(0);
      for (QUEUE_ENTRY* entry : batch) {
        // Close may come while the user holds a packet: the rest of the
        // batch is discarded like the rest of the queue.
        stopping = stopping || m_closing.load(std::memory_order_acquire);
        if (user != nullptr && !stopping) {
          try {
            user->PacketReceived(reinterpret_cast<const sockaddr*>(&entry->from), entry->packet);
          } catch (...) {
            // A failing user loses this packet, not the stream.
          }
        }
      }
      {
        CAutoLock lock(m_lock);
        for (QUEUE_ENTRY* entry : batch) Recycle(entry);
      }
      batch.clear();
      if (stopping) {
        wait = 0;
        break;
      }
    }
  }
  EmptyQueue();
}

}  // namespace telvora
