#include "config/configuration.h"

#include "config/xml_parser.h"
#include "base/string_format.h"

namespace telvora {

CConfiguration::CConfiguration(const std::string& baseName, const std::string& directory,
                               const DEVICE_INFO& device)
    : m_device(device) {
  if (baseName.empty()) return;
  if (directory.empty()) {
    m_path = baseName + ".xml";
    return;
  }
  m_path = directory;
  const char last = directory.back();
  // Hosts hand over directories with either separator at the end.
  if (last != CXMLParser::PathSeparator() && last != '\\' && last != '/') m_path += CXMLParser::PathSeparator();
  m_path += baseName + ".xml";
}

ChannelSettings CConfiguration::GetChannelSettings(uint32_t videoChannel) const {
  try {
    return Lookup(videoChannel);
  } catch (...) {
    return ChannelSettings();
  }
}

ChannelSettings CConfiguration::Lookup(uint32_t videoChannel) const {
  ChannelSettings settings;
  if (m_path.empty()) return settings;
  CXMLParser parser;
  if (!parser.Load(m_path)) return settings;

  // The address goes into the query verbatim. One with a double quote could
  // only break out of the string literal, so it never selects a device.
  std::string devicePath = FormatString("Configuration/Device[@address=\"%s\"][@port=\"%u\"]",
                                        m_device.address.c_str(), static_cast<unsigned>(m_device.port));
  if (m_device.address.find('"') != std::string::npos || !parser.Exists(devicePath))
    devicePath = "Configuration/Default";

  std::string channelPath = devicePath + FormatString("/VideoChannel[@id=\"%u\"]", videoChannel);
  if (!parser.Exists(channelPath)) channelPath = devicePath + "/VideoChannel";

  if (parser.Text(channelPath + "/RTPMode") == "RTPoverRTSP") settings.RTPMode = 2;
  if (parser.Text(channelPath + "/KeepAlive") == "0") settings.KeepAlive = 0;
  parser.Release();
  return settings;
}

}  // namespace telvora
