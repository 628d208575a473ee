// The transport-independent part of every stream object: settings, run
// state, the capture thread, the frame hand-off to the host and the online
// and offline messages.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "host/driver_services.h"
#include "host/orvalen_host.h"
#include "threading/event.h"
#include "threading/worker_thread.h"
#include "threading/recursive_lock.h"
#include "threading/time.h"

namespace telvora {

// The stream whose host callback (OnFrame, OnSignalLost, or an edge
// monitor's) the calling thread is inside, or null. A host that closes that
// stream from there would wait for its own thread or free what it runs on.
ICameraChannel* CameraChannelInHostCallback();

// Stops a stream and lets go of it for good. It is deleted at once, unless
// its capture thread is still inside the host after the stop limit where
// threads cannot be terminated (POSIX): that thread then ends by itself,
// without calling the host again, and deletes the stream on its way out.
void CloseCameraChannel(ICameraChannel* stream);

// Run states of a channel.
constexpr int32_t kStateStreaming = 0;
constexpr int32_t kStateSignalLost = 2;
constexpr int32_t kStateStopped = 3;

class CBaseCameraChannel : public ICameraChannel {
 public:
  // driver and sink are borrowed; both outlive the channel, but for a
  // capture thread left running by StopAndRelease, which holds the driver.
  CBaseCameraChannel(uint32_t channelIndex, IDriver* driver, IHostFrameSink* sink);
  ~CBaseCameraChannel() override;

  // Stop, bounded, then drops the owner's reference: see CloseCameraChannel.
  // Nothing may use the channel afterwards.
  void StopAndRelease();

  // IEdgeMonitorChannel
  uint32_t GetChannelIndex() override { return m_channelIndex; }
  IHostFrameSink* GetFrameSink() override { return m_sink; }
  void SetEdgeMonitorSink(IEdgeMonitorSink* sink) override { m_edgeSink.store(sink); }

  // ICameraChannel. Start, Stop and ChangeFormat run on the host's thread;
  // Stop blocks until the capture thread has ended.
  bool Start(const CHANNEL_SETTINGS* settings) override;
  void Stop() override;
  bool ChangeFormat(const CHANNEL_SETTINGS* settings) override;
  bool GetFlagB() override { return false; }
  bool GetFlagA() override { return false; }
  int32_t GetState() override;

 protected:
  // Body of the capture thread; returns when the stop event is signalled.
  virtual uint32_t Run() = 0;
  // Called by StopThread before it waits, so that a derived class can wake
  // its thread.
  virtual void OnStopThread() {}

  void SetState(int32_t state);
  bool StartThread();
  // leave: a thread that outlives the limit where it cannot be terminated
  // is left to end by itself (true returned) instead of waited for.
  bool StopThread(bool leave = false);
  // True once the channel was let go: nothing may reach the host any more.
  bool IsLetGo() const { return m_letGo.load(); }
  // Hands a finished frame to the host. True when the host accepted it.
  // Runs on the frame-delivery thread without any lock of this class.
  bool SendFrameCallback(IVideoFrame* frame);
  void Notify_SendFrameCallback(IVideoFrame* frame);
  // Writes the online or offline line once per transition.
  void SetCameraState(bool online);
  void NotifySignalLost();

  IDriver* GetDriver() const { return m_driver; }
  const CHANNEL_SETTINGS& GetSettings() const { return m_settings; }
  // "camera <address>" or "video-server <address> (channel <n>)".
  std::string GetCameraName(bool capital);

  CManualEvent m_stopEvent;
  CTime m_lastFrameTime;

 private:
  void StopChannel(bool leave);
  void ReleaseReference();

  bool m_winsockStarted;
  // Set from the frame-delivery thread, cleared from the capture and host
  // threads: exchanged atomically so that each transition is logged once.
  std::atomic<bool> m_online;
  CRecursiveLock m_stateLock;
  int32_t m_state;
  CRecursiveLock m_threadLock;
  CWorkerThread m_thread;
  // The owner's and, while it runs, the capture thread's.
  std::atomic<int> m_references;
  std::atomic<bool> m_letGo;
  // Set when the capture thread was left running: it keeps the driver alive.
  bool m_holdsDriver;
  IHostFrameSink* m_sink;
  std::atomic<IEdgeMonitorSink*> m_edgeSink;
  uint32_t m_channelIndex;
  IDriver* m_driver;
  CHANNEL_SETTINGS m_settings;
};

}  // namespace telvora
