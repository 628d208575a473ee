// The description of what a device offers, and how it is written into the
// host's result object. A query thread fills it (Query), then writes it
// (Fill); Abort may come from any thread meanwhile.
#pragma once

#include <cstdint>
#include <string>

#include "host/driver_services.h"
#include "host/orvalen_host.h"
#include "properties/audio_capabilities.h"
#include "properties/stream_capabilities.h"
#include "threading/event.h"

namespace telvora {

class CBaseCameraProperties {
 public:
  // videoStandardFlag non-zero: 33 ms is the default frame interval of the
  // resolution list, otherwise 40 ms. Reads the host version flags.
  CBaseCameraProperties(const DEVICE_INFO& device, const int& videoStandardFlag);
  CBaseCameraProperties(const CBaseCameraProperties&) = delete;
  CBaseCameraProperties& operator=(const CBaseCameraProperties&) = delete;

  // Called by Abort after the stop event is set.
  virtual void OnAbort() {}
  // Rate codes of the main frame rates and the default; false when there are
  // none or the list is null.
  virtual bool FillFrameRates(IFrameRateList* list);
  // The driver's own text properties, written last by Fill.
  virtual bool FillDriverProperties(ICapabilityResults* results) = 0;
  virtual ~CBaseCameraProperties();
  // Gathers the description. On failure *errorCode is 1 (login), 2
  // (unreachable) or 3 (other) and GetLastErrorText may say more.
  virtual bool Query(int* errorCode) = 0;
  virtual std::string GetLastErrorText() { return std::string(); }

  // Writes the whole description; false at the first part that is missing
  // or that the host refused (null results or null list).
  bool Fill(ICapabilityResults* results);

  void SetModelName(const std::string& text);
  void AddCodec(int codecId);
  // Ignored with a zero side; an existing size only has its rate raised.
  void AddResolution(uint16_t width, uint16_t height, uint32_t rate);
  // Thread-safe; only moves the stop event from not set to set.
  void Abort();

  const DEVICE_INFO& GetDevice() const { return m_device; }
  bool IsHighRateHost() const { return m_highRateHost; }
  bool IsStreamTextHost() const { return m_streamTextHost; }

 protected:
  bool IsStopped() { return m_stopEvent.Wait(0); }
  // Writes nothing for a non-positive id or an empty name; an empty value
  // is written as "(none)". A null property from the host is skipped.
  static void WriteTextProperty(ICapabilityResults* results, int id, const std::string& name,
                                const std::string& value, int type);

  std::string m_namePrefix;
  std::string m_modelText;
  CAudioCapabilities m_audioInput;
  CAudioCapabilities m_audioOutput;
  bool m_highRateHost = false;
  bool m_streamTextHost = false;
  DEVICE_INFO m_device;
  CManualEvent m_stopEvent;
  // Rate code of a resolution without a rate of its own when there are no
  // frame rates: 33 or 40, from the video standard.
  const uint32_t m_standardRateCode;
  // Values that go into the host's result under the host's own ids; what
  // the ids mean is the host's business. A device-specific description
  // sets them; FillFeatures writes them in the order the host expects.
  struct RESULT_VALUES {
    bool value1 = false;   // written as 1 when set
    bool value5 = false;   // written as 1 when set
    bool value11 = false;  // always written, as 0 or 1
    bool value12 = false;  // always written, as 0 or 1
    int value2 = 0;        // written when non-zero
    int value3 = 0;        // written when non-zero
    int value13 = 0;       // written when non-zero and value13Kind is known
    int value13Kind = 0;   // 1 or 2: value 13 comes with id 14 or id 15 set
  } m_resultValues;
  int m_channelCount = 0;
  int m_streamCount = 1;  // streams per channel, 1 to 3
  STREAM_CAPABILITIES m_main;
  STREAM_CAPABILITIES m_live;
  STREAM_CAPABILITIES m_remote;

 private:
  bool FillModel(ICapabilityResults* results);
  void FillConnection(ICapabilityResults* results);
  bool FillCodecs(ICapabilityResults* results);
  bool FillResolutions(ICapabilityResults* results);
  void FillFeatures(ICapabilityResults* results);
  void FillStreamTexts(ICapabilityResults* results, const STREAM_CAPABILITIES& record, int firstId,
                       const char* streamName);
};

}  // namespace telvora
