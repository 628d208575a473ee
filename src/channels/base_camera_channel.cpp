#include "channels/base_camera_channel.h"

#include "platform/sockets.h"
#include "base/string_format.h"

namespace telvora {
namespace {

thread_local ICameraChannel* t_callbackChannel = nullptr;

// Marks the calling thread as inside a host callback of the channel, for
// the length of the call; nested calls restore the outer mark.
class HostCallbackScope {
 public:
  explicit HostCallbackScope(ICameraChannel* channel) : m_saved(t_callbackChannel) { t_callbackChannel = channel; }
  ~HostCallbackScope() { t_callbackChannel = m_saved; }
  HostCallbackScope(const HostCallbackScope&) = delete;
  HostCallbackScope& operator=(const HostCallbackScope&) = delete;

 private:
  ICameraChannel* m_saved;
};

}  // namespace

ICameraChannel* CameraChannelInHostCallback() { return t_callbackChannel; }

void CloseCameraChannel(ICameraChannel* stream) {
  if (stream == nullptr) return;
  if (auto* channel = dynamic_cast<CBaseCameraChannel*>(stream)) {
    channel->StopAndRelease();
    return;
  }
  try {
    stream->Stop();
  } catch (...) {
  }
  delete stream;
}

CBaseCameraChannel::CBaseCameraChannel(uint32_t channelIndex, IDriver* driver, IHostFrameSink* sink)
    : m_winsockStarted(false), m_online(false), m_state(kStateStopped), m_references(1), m_letGo(false),
      m_holdsDriver(false), m_sink(sink), m_edgeSink(nullptr), m_channelIndex(channelIndex), m_driver(driver),
      m_settings() {}

CBaseCameraChannel::~CBaseCameraChannel() { CBaseCameraChannel::Stop(); }

int32_t CBaseCameraChannel::GetState() {
  CAutoLock lock(m_stateLock);
  return m_state;
}

void CBaseCameraChannel::SetState(int32_t state) {
  CAutoLock lock(m_stateLock);
  m_state = state;
}

bool CBaseCameraChannel::Start(const CHANNEL_SETTINGS* settings) {
  Stop();
  if (settings != nullptr) m_settings = *settings;
  if (!m_winsockStarted) {
    WSADATA data;
    m_winsockStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  if (!StartThread()) {
    if (m_winsockStarted) {
      WSACleanup();
      m_winsockStarted = false;
    }
    return false;
  }
  return true;
}

void CBaseCameraChannel::Stop() { StopChannel(false); }

void CBaseCameraChannel::StopAndRelease() {
  try {
    StopChannel(true);
  } catch (...) {
  }
  m_letGo = true;
  ReleaseReference();
}

void CBaseCameraChannel::ReleaseReference() {
  if (m_references.fetch_sub(1) != 1) return;
  IDriver* held = m_holdsDriver ? m_driver : nullptr;
  // The destructors still log through the driver: it is let go last.
  delete this;
  if (held != nullptr) held->ReleaseHold();
}

void CBaseCameraChannel::StopChannel(bool leave) {
  // Raised before the offline line, so that a frame delivered meanwhile
  // does not report the camera online again (see CBaseRTPChannel).
  m_stopEvent.Set();
  SetState(kStateStopped);
  SetCameraState(false);
  StopThread(leave);
  if (m_winsockStarted) {
    WSACleanup();
    m_winsockStarted = false;
  }
}

bool CBaseCameraChannel::ChangeFormat(const CHANNEL_SETTINGS* settings) {
  SetState(kStateStopped);
  StopThread();
  // Copied only once the threads that read the settings have ended.
  if (settings != nullptr) {
    const uint32_t keep = m_settings.streamOption2;
    m_settings = *settings;
    m_settings.streamOption2 = keep;
  }
  return StartThread();
}

bool CBaseCameraChannel::StartThread() {
  if (!m_threadLock.TryLock()) return false;
  bool started = false;
  if (!m_thread.HasThread()) {
    m_stopEvent.Reset();
    ++m_references;
    started = m_thread.Start([this] {
      try {
        Run();
      } catch (...) {
      }
      ReleaseReference();
    });
    if (!started) --m_references;
  }
  m_threadLock.Unlock();
  return started;
}

bool CBaseCameraChannel::StopThread(bool leave) {
  m_stopEvent.Set();
  CAutoLock lock(m_threadLock);
  if (!m_thread.HasThread()) return false;
  OnStopThread();
  const DEVICE_INFO* info = m_driver != nullptr ? m_driver->GetDeviceInfo() : nullptr;
  const unsigned limit = info != nullptr ? 2 * info->timeoutMs : 10000;
  auto overdue = [this] {
    if (m_driver == nullptr) return;
    std::string name = GetCameraName(false);
    m_driver->Log(2, "%s: Video capture thread for %s cannot be stopped and will be terminated now",
                  "telvora::CBaseCameraChannel::StopThread", name.c_str());
  };
  const CWorkerThread::StopResult result = m_thread.Stop(
      limit, leave ? CWorkerThread::Overdue::kTerminateOrLeave : CWorkerThread::Overdue::kTerminate, overdue);
  if (result == CWorkerThread::StopResult::kTerminated) {
    --m_references;  // the thread never got to drop its own
  } else if (result == CWorkerThread::StopResult::kLeftRunning) {
    // From here on nothing of this channel calls the host, and the thread
    // may log through the driver until it ends.
    m_letGo = true;
    if (m_driver != nullptr && !m_holdsDriver) {
      m_driver->Hold();
      m_holdsDriver = true;
    }
    return true;
  }
  return false;
}

std::string CBaseCameraChannel::GetCameraName(bool capital) {
  const DEVICE_INFO* info = m_driver->GetDeviceInfo();
  const char* address = info != nullptr ? info->address.c_str() : "";
  if (m_driver->GetChannelCount() > 1)
    return FormatString("%s %s (channel %u)", capital ? "Video-server" : "video-server", address, m_channelIndex);
  return FormatString("%s %s", capital ? "Camera" : "camera", address);
}

bool CBaseCameraChannel::SendFrameCallback(IVideoFrame* frame) {
  if (m_letGo) return false;
  HostCallbackScope scope(this);
  try {
    if (m_sink != nullptr && frame != nullptr && m_sink->OnFrame(frame)) {
      Notify_SendFrameCallback(frame);
      return true;
    }
    return false;
  } catch (...) {
    try {
      std::string device = m_driver->GetDeviceText();
      m_driver->Log(1, "%s(): Unexpected exception, device %s", "telvora::CBaseCameraChannel::SendFrameCallback",
                    device.c_str());
    } catch (...) {
    }
    return false;
  }
}

void CBaseCameraChannel::Notify_SendFrameCallback(IVideoFrame* frame) {
  if (m_letGo) return;
  HostCallbackScope scope(this);
  try {
    SYSTEMTIME time{};
    frame->GetTime(&time);
    IEdgeMonitorSink* edge = m_edgeSink.load();
    if (edge != nullptr) edge->OnFrameTime(m_channelIndex, SystemTimeToFileTime64(time));
  } catch (...) {
    try {
      std::string device = m_driver->GetDeviceText();
      m_driver->Log(1, "%s: Unhandled exception in driver instance for device %s",
                    "telvora::CBaseCameraChannel::Notify_SendFrameCallback", device.c_str());
    } catch (...) {
    }
  }
}

void CBaseCameraChannel::NotifySignalLost() {
  if (m_letGo) return;
  HostCallbackScope scope(this);
  try {
    if (m_sink != nullptr) m_sink->OnSignalLost();
    // The channel may have been let go while the host held the call.
    IEdgeMonitorSink* edge = m_letGo ? nullptr : m_edgeSink.load();
    if (edge != nullptr) edge->OnSignalLost(m_channelIndex);
  } catch (...) {
    try {
      std::string device = m_driver->GetDeviceText();
      m_driver->Log(1, "%s: Unhandled exception in driver instance for device %s",
                    "telvora::CBaseCameraChannel::NotifySignalLost", device.c_str());
    } catch (...) {
    }
  }
}

void CBaseCameraChannel::SetCameraState(bool online) {
  if (m_online.exchange(online) == online) return;
  const char* suffix = "";
  switch (m_settings.purpose) {
    case 0: suffix = "(Rec)"; break;
    case 1: suffix = "(Live)"; break;
    case 2: suffix = "(Remote)"; break;
    default: break;
  }
  if (m_driver == nullptr) return;
  const char* fn = "telvora::CBaseCameraChannel::SetCameraState";
  if (online) {
    std::string name = GetCameraName(true);
    m_driver->Log(3, "%s: %s is online %s", fn, name.c_str(), suffix);
    return;
  }
  const int32_t state = GetState();
  if (state == kStateSignalLost) {
    std::string name = GetCameraName(false);
    m_driver->Log(1, "%s: Signal was lost for %s %s", fn, name.c_str(), suffix);
  } else if (state == kStateStopped) {
    std::string name = GetCameraName(true);
    m_driver->Log(3, "%s: %s is offline. Channel was stopped %s", fn, name.c_str(), suffix);
  } else {
    std::string name = GetCameraName(true);
    m_driver->Log(1, "%s: %s is offline or failed %s", fn, name.c_str(), suffix);
  }
}

}  // namespace telvora
