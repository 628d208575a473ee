// The object through which the host runs the streams of one opened device.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "host/debug_message.h"
#include "host/driver_services.h"
#include "host/orvalen_host.h"
#include "threading/recursive_lock.h"

namespace telvora {

// Per video input it keeps the main stream (entry 0), the streams of
// purposes 1 to 3 (entries 1..3) and an optional secondary object (entry 4),
// all owned here. Channel indexes at or above the channel count fail before
// anything is touched; null host pointers are refused.
//
// Host threads may call it concurrently; the table lock makes each lookup,
// store and take atomic, but streams are created, started and stopped
// outside it, so opens and closes of one channel must not overlap.
// A lookup (state, flags, format change) holds its stream until it returns,
// and a close waits for it before the stream goes. CloseChannel and the
// destructor wait for each stream's capture thread up to twice the device's
// time-out; on POSIX a thread still inside the host then is left to end by
// itself (see CloseCameraChannel), on Windows it is terminated.
//
// From inside a stream's own host callback (OnFrame, OnSignalLost, an edge
// monitor's), opening, closing or re-configuring that stream's channel is
// refused with a level-1 line: it would wait for the calling thread.
class CIPVideoCapture : public ipcapture::IIPVideoCaptureEx2 {
 public:
  // creator: not owned, outlives this object. log: optional, not owned;
  // reports exceptions caught at the host boundary.
  CIPVideoCapture(IVideoChannelCreator* creator, uint32_t channelCount, IDebugMessage* log = nullptr);
  ~CIPVideoCapture() override;
  CIPVideoCapture(const CIPVideoCapture&) = delete;
  CIPVideoCapture& operator=(const CIPVideoCapture&) = delete;

  uint32_t GetChannelCount() override;
  // Closes everything of the channel, then creates and starts the main
  // stream. A stream whose Start failed is kept until CloseChannel.
  bool OpenChannel(uint32_t channel, IHostFrameSink* sink, IHostStreamSettings* settings) override;
  // Stops and deletes all five entries; true if any was set.
  bool CloseChannel(uint32_t channel) override;
  bool ChangeChannelFormat(uint32_t channel, IHostFrameSize* size, uint32_t value) override;
  void* GetExtension() override { return nullptr; }
  // state: 0 streaming, 2 stopped or signal lost. detail and the text are
  // cleared even when the call fails.
  bool GetChannelState(uint32_t channel, int32_t* state, int32_t* detail, char* text,
                       uint32_t textSize) override;
  // "EdgeStorageState" (any case), size 2. Takes effect at the next open.
  bool SetParameter(const char* name, const uint16_t* value, uint32_t size) override;
  bool GetParameter(const char* name, uint16_t* value, uint32_t size) override;

  bool GetChannelFlagA(uint32_t channel) override;
  bool GetChannelFlagB(uint32_t channel) override;

  // purpose 1 to 3 only.
  bool OpenSubChannel(uint32_t channel, uint32_t purpose, IHostFrameSink* sink,
                      IHostStreamSettings* settings) override;
  // purpose 0 to 3; the secondary object goes only with CloseChannel.
  bool CloseSubChannel(uint32_t channel, uint32_t purpose) override;

  // True when the calling thread is inside a host callback of one of this
  // object's streams: deleting the object there is refused by its owner.
  bool IsInsideOwnCallback();

 private:
  static constexpr uint32_t kStreamEntries = 4;
  struct ChannelRecord {
    ICameraChannel* streams[kStreamEntries] = {nullptr, nullptr, nullptr, nullptr};
    ISecondaryChannel* secondary = nullptr;
  };

  // Holds a looked-up stream until destroyed, so that a close on another
  // thread does not delete it meanwhile.
  class StreamUse {
   public:
    StreamUse(CIPVideoCapture* owner, uint32_t channel);
    ~StreamUse();
    StreamUse(const StreamUse&) = delete;
    StreamUse& operator=(const StreamUse&) = delete;
    ICameraChannel* Get() const { return m_stream; }

   private:
    CIPVideoCapture* m_owner;
    ICameraChannel* m_stream;
  };

  bool CloseChannelEntries(uint32_t channel);
  bool CloseSubChannelEntry(uint32_t channel, uint32_t purpose);
  // True (after the level-1 line) when the calling thread is inside a host
  // callback of a stream of the channel.
  bool RefuseFromOwnCallback(uint32_t channel, const char* function);
  // Stores the stream in its entry; hands back what was there (an open
  // that raced this one), for the caller to close outside the lock.
  ICameraChannel* StoreStream(uint32_t channel, uint32_t entry, ICameraChannel* stream);
  IEdgeMonitor* EdgeMonitorIfOn();
  // Waits until no lookup holds the stream, then stops and lets go of it.
  void DestroyStream(ICameraChannel* stream);
  void LogException(const char* function);

  IVideoChannelCreator* m_creator;
  IDebugMessage* m_log;
  CRecursiveLock m_lock;
  uint32_t m_channelCount;
  // Only channels that were ever opened have a record, so a device that
  // claims a huge input count costs nothing until it is used.
  std::map<uint32_t, ChannelRecord> m_table;
  bool m_edgeStorage;
  IEdgeMonitor* m_edgeMonitor;
  // Lookups in progress per stream.
  std::mutex m_useMutex;
  std::condition_variable m_useReleased;
  std::map<ICameraChannel*, unsigned> m_uses;
};

// The record a stream gets from the host's stream settings; missing host
// objects read as zeros.
CHANNEL_SETTINGS BuildChannelSettings(IHostStreamSettings* settings, uint32_t purpose);

}  // namespace telvora
