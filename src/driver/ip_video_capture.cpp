#include "driver/ip_video_capture.h"

#include <vector>

#include "base/text_helpers.h"
#include "channels/base_camera_channel.h"

namespace telvora {
namespace {

bool IsEdgeStorageName(const char* name) { return ToLower(name) == "edgestoragestate"; }

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
  {
    std::unique_lock<std::mutex> lock(m_useMutex);
    m_useReleased.wait(lock, [&] { return m_uses.find(stream) == m_uses.end(); });
  }
  CloseCameraChannel(stream);
}

uint32_t CIPVideoCapture::GetChannelCount() {
  CAutoLock lock(m_lock);
  return m_channelCount;
}

CIPVideoCapture::StreamUse::StreamUse(CIPVideoCapture* owner, uint32_t channel)
    : m_owner(owner), m_stream(nullptr) {
  CAutoLock lock(owner->m_lock);
  if (channel >= owner->m_channelCount) return;
  auto it = owner->m_table.find(channel);
  if (it == owner->m_table.end() || it->second.streams[0] == nullptr) return;
  m_stream = it->second.streams[0];
  // Counted before the table lock is released: a close takes the stream
  // under that lock, so it sees this use.
  std::lock_guard<std::mutex> uses(owner->m_useMutex);
  ++owner->m_uses[m_stream];
}

CIPVideoCapture::StreamUse::~StreamUse() {
  if (m_stream == nullptr) return;
  std::lock_guard<std::mutex> uses(m_owner->m_useMutex);
  auto it = m_owner->m_uses.find(m_stream);
  if (it != m_owner->m_uses.end() && --it->second == 0) m_owner->m_uses.erase(it);
  m_owner->m_useReleased.notify_all();
}

bool CIPVideoCapture::IsInsideOwnCallback() {
  ICameraChannel* current = CameraChannelInHostCallback();
  if (current == nullptr) return false;
  CAutoLock lock(m_lock);
  for (const auto& entry : m_table)
    for (ICameraChannel* stream : entry.second.streams)
      if (stream == current) return true;
  return false;
}

bool CIPVideoCapture::RefuseFromOwnCallback(uint32_t channel, const char* function) {
  ICameraChannel* current = CameraChannelInHostCallback();
  if (current == nullptr) return false;
  bool own = false;
  {
    CAutoLock lock(m_lock);
    auto it = m_table.find(channel);
    if (it != m_table.end())
      for (ICameraChannel* stream : it->second.streams) own = own || stream == current;
  }
  if (own && m_log != nullptr) {
    try {
      m_log->Log(1, "%s: Channel %u of device %s cannot be changed from inside its own callback; the call is refused",
                 function, channel, m_log->GetDeviceText().c_str());
    } catch (...) {
    }
  }
  return own;
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
    if (RefuseFromOwnCallback(channel, "telvora::CIPVideoCapture::OpenChannel")) return false;
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
    if (RefuseFromOwnCallback(channel, "telvora::CIPVideoCapture::CloseChannel")) return false;
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
      LogException("telvora::CIPVideoCapture::CloseChannelEntries");
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
    if (RefuseFromOwnCallback(channel, "telvora::CIPVideoCapture::ChangeChannelFormat")) return false;
    StreamUse stream(this, channel);
    if (stream.Get() == nullptr) return false;
    CHANNEL_SETTINGS record = {value, 0, size->GetSize1(), size->GetSize2(), 0, 0};
    return stream.Get()->ChangeFormat(&record);
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
    StreamUse stream(this, channel);
    if (stream.Get() == nullptr) return false;
    int32_t value = stream.Get()->GetState();
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
    StreamUse stream(this, channel);
    return stream.Get() != nullptr && stream.Get()->GetFlagA();
  } catch (...) {
    LogException("telvora::CIPVideoCapture::GetChannelFlagA");
    return false;
  }
}

bool CIPVideoCapture::GetChannelFlagB(uint32_t channel) {
  try {
    StreamUse stream(this, channel);
    return stream.Get() != nullptr && stream.Get()->GetFlagB();
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
    if (RefuseFromOwnCallback(channel, "telvora::CIPVideoCapture::OpenSubChannel")) return false;
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
    if (RefuseFromOwnCallback(channel, "telvora::CIPVideoCapture::CloseSubChannel")) return false;
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
      LogException("telvora::CIPVideoCapture::CloseSubChannelEntry");
    }
  }
  DestroyStream(stream);
  return true;
}

}  // namespace telvora
