#include "driver/ip_video_capture.h"

#include <vector>

namespace telvora {
namespace {

bool IsEdgeStorageName(const char* name) {
  static const char kName[] = "edgestoragestate";
  size_t i = 0;
  for (; name[i] != '\0' && kName[i] != '\0'; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kName[i]) return false;
  }
  return name[i] == '\0' && kName[i] == '\0';
}

void DestroySecondary(ISecondaryChannel* secondary) {
  if (secondary == nullptr) return;
  try {
    secondary->StopSecondary();
  } catch (...) {
  }
  delete secondary;
}

}  // namespace

CHANNEL_SETTINGS BuildChannelSettings(IHostStreamSettings* settings, uint32_t purpose) {
  CHANNEL_SETTINGS record = {0, 0, 0, 0, 0, purpose};
  if (settings == nullptr) return record;
  if (IHostStreamOptions* options = settings->GetOptions()) {
    record.streamOption1 = options->GetOption1();
    record.streamOption2 = options->GetOption2();
  }
  if (IHostStreamFormat* format = settings->GetFormat()) {
    if (IHostFrameSize* size = format->GetFrameSize()) {
      record.frameSize1 = size->GetSize1();
      record.frameSize2 = size->GetSize2();
    }
    record.formatValue = format->GetFormatValue();
  }
  return record;
}

CIPVideoCapture::CIPVideoCapture(IVideoChannelCreator* creator, uint32_t channelCount, IDebugMessage* log)
    : m_creator(creator),
      m_log(log),
      m_channelCount(creator != nullptr ? channelCount : 0),
      m_edgeStorage(false),
      m_edgeMonitor(nullptr) {}

CIPVideoCapture::~CIPVideoCapture() {
  std::vector<uint32_t> opened;
  {
    CAutoLock lock(m_lock);
    for (const auto& entry : m_table) opened.push_back(entry.first);
  }
  for (uint32_t channel : opened) {
    try {
      CloseChannelEntries(channel);
    } catch (...) {
      LogException("telvora::CIPVideoCapture::~CIPVideoCapture");
    }
  }
  delete m_edgeMonitor;
}

void CIPVideoCapture::LogException(const char* function) {
  if (m_log == nullptr) return;
  try {
    m_log->Log(1, "%s: Unexpected exception, device %s", function, m_log->GetDeviceText().c_str());
  } catch (...) {
  }
}

void CIPVideoCapture::DestroyStream(ICameraChannel* stream) {
  if (stream == nullptr) return;
  try {
    stream->Stop();
  } catch (...) {
  }
  delete stream;
}

uint32_t CIPVideoCapture::GetChannelCount() {
  CAutoLock lock(m_lock);
  return m_channelCount;
}

ICameraChannel* CIPVideoCapture::LookUpMainStream(uint32_t channel) {
  CAutoLock lock(m_lock);
  if (channel >= m_channelCount) return nullptr;
  auto it = m_table.find(channel);
  return it == m_table.end() ? nullptr : it->second.streams[0];
}

ICameraChannel* CIPVideoCapture::StoreStream(uint32_t channel, uint32_t entry, ICameraChannel* stream) {
  CAutoLock lock(m_lock);
  ICameraChannel*& slot = m_table[channel].streams[entry];
  ICameraChannel* previous = slot;
  slot = stream;
  return previous;
}

IEdgeMonitor* CIPVideoCapture::EdgeMonitorIfOn() {
  CAutoLock lock(m_lock);
  return m_edgeStorage ? m_edgeMonitor : nullptr;
}

bool CIPVideoCapture::OpenChannel(uint32_t channel, IHostFrameSink* sink, IHostStreamSettings* settings) {
  if (channel >= GetChannelCount() || sink == nullptr || settings == nullptr) return false;
  ICameraChannel* stream = nullptr;
  ISecondaryChannel* secondary = nullptr;
  try {
    CloseChannelEntries(channel);

    bool needMonitor;
    {
      CAutoLock lock(m_lock);
      needMonitor = m_edgeStorage && m_edgeMonitor == nullptr;
    }
    if (needMonitor) {
      IEdgeMonitor* monitor = m_creator->CreateEdgeMonitor();
      CAutoLock lock(m_lock);
      if (m_edgeMonitor == nullptr) {
        m_edgeMonitor = monitor;
        monitor = nullptr;
      }
      delete monitor;
    }

    const CHANNEL_SETTINGS record = BuildChannelSettings(settings, 0);
    stream = m_creator->CreateVideoChannel(channel, sink, &record);
    if (stream == nullptr) return false;
    stream->SetOption(settings->GetOptionValue());
    bool ok = stream->Start(&record);
    if (ok) {
      IHostStreamOptions* options = settings->GetOptions();
      if (options != nullptr && options->WantsSecondary() != 0) {
        secondary = m_creator->CreateSecondaryChannel(channel, sink);
        if (secondary != nullptr) ok = secondary->StartSecondary();
      }
    }

    ICameraChannel* raced;
    ISecondaryChannel* racedSecondary;
    IEdgeMonitor* monitor;
    {
      CAutoLock lock(m_lock);
      ChannelRecord& entry = m_table[channel];
      raced = entry.streams[0];
      racedSecondary = entry.secondary;
      entry.streams[0] = stream;
      entry.secondary = secondary;
      monitor = m_edgeStorage ? m_edgeMonitor : nullptr;
    }
    ICameraChannel* stored = stream;
    ISecondaryChannel* storedSecondary = secondary;
    stream = nullptr;
    secondary = nullptr;
    DestroyStream(raced);
    DestroySecondary(racedSecondary);
    if (monitor != nullptr) {
      monitor->Attach(static_cast<IEdgeMonitorChannel*>(stored));
      monitor->Attach(storedSecondary);
    }
    return ok;
  } catch (...) {
    LogException("telvora::CIPVideoCapture::OpenChannel");
    DestroySecondary(secondary);
    DestroyStream(stream);
    return false;
  }
}

bool CIPVideoCapture::CloseChannel(uint32_t channel) {
  try {
    return CloseChannelEntries(channel);
  } catch (...) {
    LogException("telvora::CIPVideoCapture::CloseChannel");
    return false;
  }
}

bool CIPVideoCapture::CloseChannelEntries(uint32_t channel) {
  ChannelRecord taken;
  IEdgeMonitor* monitor;
  {
    CAutoLock lock(m_lock);
    if (channel >= m_channelCount) return false;
    auto it = m_table.find(channel);
    if (it != m_table.end()) {
      taken = it->second;
      m_table.erase(it);
    }
    monitor = m_edgeMonitor;
  }
  if (monitor != nullptr) {
    try {
      monitor->Detach(taken.secondary);
      for (ICameraChannel* stream : taken.streams) monitor->Detach(static_cast<IEdgeMonitorChannel*>(stream));
    } catch (...) {
      LogException("telvora::CIPVideoCapture::CloseChannel");
    }
  }
  bool any = taken.secondary != nullptr;
  DestroySecondary(taken.secondary);
  // Further streams first, the main stream last.
  for (uint32_t entry : {1u, 2u, 3u, 0u}) {
    if (taken.streams[entry] == nullptr) continue;
    any = true;
    DestroyStream(taken.streams[entry]);
  }
  return any;
}

bool CIPVideoCapture::ChangeChannelFormat(uint32_t channel, IHostFrameSize* size, uint32_t value) {
  if (size == nullptr) return false;
  try {
    ICameraChannel* stream = LookUpMainStream(channel);
    if (stream == nullptr) return false;
    CHANNEL_SETTINGS record = {value, 0, size->GetSize1(), size->GetSize2(), 0, 0};
    return stream->ChangeFormat(&record);
  } catch (...) {
    LogException("telvora::CIPVideoCapture::ChangeChannelFormat");
    return false;
  }
}

bool CIPVideoCapture::GetChannelState(uint32_t channel, int32_t* state, int32_t* detail, char* text,
                                      uint32_t textSize) {
  if (detail != nullptr) *detail = 0;
  if (textSize > 0 && text != nullptr) text[0] = '\0';
  if (state == nullptr) return false;
  try {
    ICameraChannel* stream = LookUpMainStream(channel);
    if (stream == nullptr) return false;
    int32_t value = stream->GetState();
    *state = value == 3 ? 2 : value;
    return true;
  } catch (...) {
    LogException("telvora::CIPVideoCapture::GetChannelState");
    return false;
  }
}

bool CIPVideoCapture::SetParameter(const char* name, const uint16_t* value, uint32_t size) {
  if (name == nullptr || value == nullptr || size != 2 || !IsEdgeStorageName(name)) return false;
  CAutoLock lock(m_lock);
  m_edgeStorage = *value != 0;
  return true;
}

bool CIPVideoCapture::GetParameter(const char* name, uint16_t* value, uint32_t size) {
  if (name == nullptr || value == nullptr || size != 2 || !IsEdgeStorageName(name)) return false;
  CAutoLock lock(m_lock);
  *value = m_edgeStorage ? 1 : 0;
  return true;
}

bool CIPVideoCapture::GetChannelFlagA(uint32_t channel) {
  try {
    ICameraChannel* stream = LookUpMainStream(channel);
    return stream != nullptr && stream->GetFlagA();
  } catch (...) {
    LogException("telvora::CIPVideoCapture::GetChannelFlagA");
    return false;
  }
}

bool CIPVideoCapture::GetChannelFlagB(uint32_t channel) {
  try {
    ICameraChannel* stream = LookUpMainStream(channel);
    return stream != nullptr && stream->GetFlagB();
  } catch (...) {
    LogException("telvora::CIPVideoCapture::GetChannelFlagB");
    return false;
  }
}

bool CIPVideoCapture::OpenSubChannel(uint32_t channel, uint32_t purpose, IHostFrameSink* sink,
                                     IHostStreamSettings* settings) {
  if (channel >= GetChannelCount() || purpose < 1 || purpose > 3 || sink == nullptr || settings == nullptr)
    return false;
  ICameraChannel* stream = nullptr;
  try {
    CloseSubChannelEntry(channel, purpose);
    const CHANNEL_SETTINGS record = BuildChannelSettings(settings, purpose);
    stream = m_creator->CreateVideoChannel(channel, sink, &record);
    bool ok = false;
    if (stream != nullptr) {
      ok = stream->Start(&record);
      ICameraChannel* raced = StoreStream(channel, purpose, stream);
      DestroyStream(raced);
    }
    ICameraChannel* stored = stream;
    stream = nullptr;
    if (IEdgeMonitor* monitor = EdgeMonitorIfOn()) monitor->Attach(static_cast<IEdgeMonitorChannel*>(stored));
    return ok;
  } catch (...) {
    LogException("telvora::CIPVideoCapture::OpenSubChannel");
    DestroyStream(stream);
    return false;
  }
}

bool CIPVideoCapture::CloseSubChannel(uint32_t channel, uint32_t purpose) {
  try {
    return CloseSubChannelEntry(channel, purpose);
  } catch (...) {
    LogException("telvora::CIPVideoCapture::CloseSubChannel");
    return false;
  }
}

bool CIPVideoCapture::CloseSubChannelEntry(uint32_t channel, uint32_t purpose) {
  ICameraChannel* stream = nullptr;
  IEdgeMonitor* monitor;
  {
    CAutoLock lock(m_lock);
    if (channel >= m_channelCount || purpose >= kStreamEntries) return false;
    auto it = m_table.find(channel);
    if (it != m_table.end()) {
      stream = it->second.streams[purpose];
      it->second.streams[purpose] = nullptr;
    }
    monitor = m_edgeMonitor;
  }
  if (stream == nullptr) return false;
  if (monitor != nullptr) {
    try {
      monitor->Detach(static_cast<IEdgeMonitorChannel*>(stream));
    } catch (...) {
      LogException("telvora::CIPVideoCapture::CloseSubChannel");
    }
  }
  DestroyStream(stream);
  return true;
}

}  // namespace telvora
