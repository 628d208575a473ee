#include "properties/base_camera_properties.h"

#include "properties/host_version_flags.h"
#include "base/string_format.h"

namespace telvora {

CBaseCameraProperties::CBaseCameraProperties(const DEVICE_INFO& device, const int& videoStandardFlag)
    : m_device(device), m_standardRateCode(videoStandardFlag != 0 ? 33u : 40u) {
  const HOST_VERSION_FLAGS flags = ReadHostVersionFlags();
  m_highRateHost = flags.highRateHost;
  m_streamTextHost = flags.streamTextHost;
}

CBaseCameraProperties::~CBaseCameraProperties() {}

void CBaseCameraProperties::SetModelName(const std::string& text) {
  if (!text.empty()) m_modelText = text;
}

void CBaseCameraProperties::AddCodec(int codecId) { m_main.codecs.insert(codecId); }

void CBaseCameraProperties::AddResolution(uint16_t width, uint16_t height, uint32_t rate) {
  if (width == 0 || height == 0) return;
  for (RESOLUTION_ENTRY& entry : m_main.resolutions) {
    if (entry.width == width && entry.height == height) {
      if (rate != 0 && rate > entry.frameRate) entry.frameRate = rate;
      return;
    }
  }
  m_main.resolutions.push_back(RESOLUTION_ENTRY{width, height, rate});
}

void CBaseCameraProperties::Abort() {
  m_stopEvent.Set();
  OnAbort();
}

bool CBaseCameraProperties::Fill(ICapabilityResults* results) {
  if (results == nullptr) return false;
  if (!FillModel(results)) return false;
  FillConnection(results);
  if (!FillCodecs(results)) return false;
  if (!FillResolutions(results)) return false;
  if (!FillFrameRates(results->GetFrameRateList(1))) return false;
  FillFeatures(results);
  return FillDriverProperties(results);
}

bool CBaseCameraProperties::FillModel(ICapabilityResults* results) {
  if (m_modelText.empty()) return false;
  const std::string text = m_namePrefix.empty() ? m_modelText : m_namePrefix + " " + m_modelText;
  results->SetModelName(text.c_str());
  return true;
}

void CBaseCameraProperties::FillConnection(ICapabilityResults* results) {
  const std::string port = FormatString("%hu", m_device.port);
  const std::string* texts[4] = {&m_device.address, &port, &m_device.userName, &m_device.password};
  for (int index = 1; index <= 4; ++index) {
    ICapabilityTextField* field = results->GetConnectionField(index);
    if (field != nullptr) field->SetText(texts[index - 1]->c_str());
  }
}

bool CBaseCameraProperties::FillCodecs(ICapabilityResults* results) {
  if (m_main.codecs.empty()) return false;
  bool matched = false;
  for (int codec : m_main.codecs) {
    int id = -1;
    if (codec == kCodecH264)
      id = 8;
    else if (codec == kCodecMpeg4)
      id = 6;
    else if (codec == kCodecJpeg)
      id = 7;
    if (id < 0) continue;
    results->SetValue(id, 1);
    matched = true;
  }
  if (!matched || m_channelCount == 0) return false;
  results->SetValue(0, m_channelCount);
  return true;
}

bool CBaseCameraProperties::FillResolutions(ICapabilityResults* results) {
  IResolutionList* list = results->GetResolutionList();
  if (list == nullptr) return false;
  uint32_t defaultCode = m_standardRateCode;
  if (!m_main.frameRates.empty()) defaultCode = GetRateCode(*m_main.frameRates.rbegin(), m_highRateHost);
  bool added = false;
  for (const RESOLUTION_ENTRY& entry : m_main.resolutions) {
    const uint32_t code = entry.frameRate != 0 ? GetRateCode(entry.frameRate, m_highRateHost) : defaultCode;
    const std::string text =
        FormatString("%ux%u", static_cast<unsigned>(entry.width), static_cast<unsigned>(entry.height));
    list->Add(text.c_str(), entry.width, entry.height, static_cast<int>(code));
    added = true;
  }
  return added;
}

bool CBaseCameraProperties::FillFrameRates(IFrameRateList* list) {
  if (list == nullptr || m_main.frameRates.empty()) return false;
  for (uint32_t rate : m_main.frameRates)
    if (rate != 0) list->Add(static_cast<int>(GetRateCode(rate, m_highRateHost)));
  uint32_t rate = 0;
  uint32_t threshold = 0;
  if (FindDefaultRate(m_main, &rate, &threshold) && rate != 0)
    list->SetDefault(static_cast<int>(GetRateCode(rate, m_highRateHost)));
  return true;
}

void CBaseCameraProperties::FillFeatures(ICapabilityResults* results) {
  const RESULT_VALUES& v = m_resultValues;
  if (v.value1) results->SetValue(1, 1);
  if (v.value5) results->SetValue(5, 1);
  results->SetValue(11, v.value11 ? 1 : 0);
  results->SetValue(12, v.value12 ? 1 : 0);
  if (v.value2 != 0) results->SetValue(2, v.value2);
  if (v.value3 != 0) results->SetValue(3, v.value3);
  if (v.value13 != 0 && (v.value13Kind == 1 || v.value13Kind == 2)) {
    results->SetValue(13, v.value13);
    results->SetValue(v.value13Kind == 1 ? 14 : 15, 1);
    results->SetValue(17, 0);
  }
  if (m_streamCount > 1 && m_streamTextHost) {
    results->SetValue(27, m_streamCount - 1);
    FillStreamTexts(results, m_live, 120, "Live Stream");
    if (m_streamCount > 2) FillStreamTexts(results, m_remote, 124, "Remote Stream");
  }
  if (m_audioInput.channelCount != 0) {
    results->SetValue(4, static_cast<int>(m_audioInput.channelCount));
    WriteTextProperty(results, 101, "Audio Input Parameters", m_audioInput.GetText(), 1);
  }
  if (m_audioOutput.channelCount != 0)
    WriteTextProperty(results, 102, "Audio Output Parameters", m_audioOutput.GetText(), 1);
}

void CBaseCameraProperties::FillStreamTexts(ICapabilityResults* results, const STREAM_CAPABILITIES& record,
                                            int firstId, const char* streamName) {
  const std::string prefix = std::string(streamName) + ": Supported ";
  WriteTextProperty(results, firstId, prefix + "Codecs", CodecsText(record), 1);
  WriteTextProperty(results, firstId + 1, prefix + "Resolutions", ResolutionsText(record, m_highRateHost), 1);
  WriteTextProperty(results, firstId + 2, prefix + "Framerates", FrameRatesText(record, m_highRateHost), 1);
}

void CBaseCameraProperties::WriteTextProperty(ICapabilityResults* results, int id, const std::string& name,
                                              const std::string& value, int type) {
  if (id <= 0 || name.empty()) return;
  ICapabilityProperty* property = results->GetProperty(id);
  if (property == nullptr) return;
  property->SetName(name.c_str());
  property->SetReserved(0);
  property->SetType(type);
  property->SetValueText(value.empty() ? "(none)" : value.c_str());
}

}  // namespace telvora
