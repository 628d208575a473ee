// The object through which the host runs the streams of one opened device.
#pragma once

#include <cstdint>
#include <map>

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
// outside it, so calls for one channel must not overlap. CloseChannel and
// the destructor block until the streams' threads have ended.
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

 private:
  static constexpr uint32_t kStreamEntries = 4;
  struct ChannelRecord {
    ICameraChannel* streams[kStreamEntries] = {nullptr, nullptr, nullptr, nullptr};
    ISecondaryChannel* secondary = nullptr;
  };

  bool CloseChannelEntries(uint32_t channel);
  bool CloseSubChannelEntry(uint32_t channel, uint32_t purpose);
  ICameraChannel* LookUpMainStream(uint32_t channel);
  // Stores the stream in its entry; hands back what was there (an open
  // that raced this one), for the caller to close outside the lock.
  ICameraChannel* StoreStream(uint32_t channel, uint32_t entry, ICameraChannel* stream);
  IEdgeMonitor* EdgeMonitorIfOn();
  static void DestroyStream(ICameraChannel* stream);
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
};

// The record a stream gets from the host's stream settings; missing host
// objects read as zeros.
CHANNEL_SETTINGS BuildChannelSettings(IHostStreamSettings* settings, uint32_t purpose);

}  // namespace telvora
