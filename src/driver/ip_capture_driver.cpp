#include "driver/ip_capture_driver.h"

#include <cstdarg>
#include <new>

#include "driver/debug_info.h"
#include "driver/device_text.h"
#include "base/string_format.h"

namespace telvora {
namespace {

std::string CopyText(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

}  // namespace

CIPCaptureDriver::CIPCaptureDriver()
    : m_sink(nullptr),
      m_allocator(nullptr),
      m_references(1),
      m_hostVersion{5, 12, 0, 0},
      m_hostDirectory(platform::GetHostDirectory()),
      m_deviceInfo("", 80, "", ""),
      m_modelValueA(0),
      m_modelValueB(0),
      m_channelCount(0),
      m_connectionValue(0),
      m_reservedValue(0),
      m_videoCapture(nullptr) {
  if (!platform::ReadHostCoreVersion("brenlow.dll", &m_hostVersion)) m_hostVersion = {5, 12, 0, 0};
}

CIPCaptureDriver::~CIPCaptureDriver() { DeleteCaptureObjects(); }

void CIPCaptureDriver::DeleteCaptureObjects() {
  CIPVideoCapture* capture = m_videoCapture;
  m_videoCapture = nullptr;
  delete capture;
}

bool CIPCaptureDriver::Open(IHostLogSink* sink, IFrameAllocator* allocator, IHostDevice* device) {
  if (device == nullptr) return false;
  try {
    if (m_videoCapture != nullptr) Close();
    if (m_videoCapture != nullptr) return false;  // refused: called from its own stream
    m_allocator.store(allocator);
    m_sink.store(sink);
    if (!CopyDeviceDescription(device)) {
      Close();
      return false;
    }
    IHostDeviceModel* model = device->GetModel();
    const uint32_t count = model != nullptr ? model->GetVideoInputCount() : 0;
    m_videoCapture = new (std::nothrow) CIPVideoCapture(this, count, this);
    const bool ok = m_videoCapture != nullptr && CanOpen() && PrepareOpen() && OpenDevice(device);
    if (!ok) Close();
    return ok;
  } catch (...) {
    try {
      Log(1, "%s: Unexpected exception while opening device %s", "telvora::CIPCaptureDriver::Open",
          GetDeviceText().c_str());
    } catch (...) {
    }
    try {
      Close();
    } catch (...) {
    }
    return false;
  }
}

bool CIPCaptureDriver::CopyDeviceDescription(IHostDevice* device) {
  IHostDeviceModel* model = device->GetModel();
  IHostConnection* connection = device->GetConnection();
  if (model == nullptr || connection == nullptr) return false;
  m_connectionValue = connection->GetConnectionValue();
  m_modelValueA = model->GetValueA();
  m_modelValueB = model->GetValueB();
  m_channelCount = model->GetVideoInputCount();
  m_deviceInfo.address = CopyText(connection->GetAddress());
  m_deviceInfo.port = connection->GetPort();
  m_deviceInfo.userName = CopyText(connection->GetUserName());
  m_deviceInfo.password = CopyText(connection->GetPassword());
  m_deviceInfo.deviceModel = CopyText(model->GetModelName());
  for (uint32_t index = 1;; ++index) {
    if (index > kMaxParameters) {
      Log(2, "%s: Device %s has more than %u parameters; the rest are ignored",
          "telvora::CIPCaptureDriver::CopyDeviceDescription", GetDeviceText().c_str(), kMaxParameters);
      break;
    }
    const char* text = device->GetDeviceParameter(index);
    if (text == nullptr) break;
    m_parameters[index] = text;
  }
  return true;
}

void CIPCaptureDriver::DeleteFromHost() {
  Close();
  // A capture thread still running must not reach the host's objects.
  m_sink.store(nullptr);
  m_allocator.store(nullptr);
  ReleaseHold();
}

void CIPCaptureDriver::ReleaseHold() {
  if (m_references.fetch_sub(1) == 1) delete this;
}

void CIPCaptureDriver::Close() {
  if (RefuseDeleteFromOwnCallback("telvora::CIPCaptureDriver::Close")) return;
  CloseDevice();
  DeleteCaptureObjects();
}

bool CIPCaptureDriver::RefuseDeleteFromOwnCallback(const char* function) {
  if (m_videoCapture == nullptr || !m_videoCapture->IsInsideOwnCallback()) return false;
  Log(1, "%s: Device %s cannot be closed from inside a callback of its own streams; the call is refused", function,
      GetDeviceText().c_str());
  return true;
}

std::string CIPCaptureDriver::GetDeviceText() {
  return FormatString("%s:%hu", m_deviceInfo.address.c_str(), m_deviceInfo.port);
}

void CIPCaptureDriver::Log(int level, const char* format, ...) {
  std::string line;
  try {
    va_list args;
    va_start(args, format);
    line = FormatStringV(format, args);
    va_end(args);
  } catch (...) {
    line.clear();
  }
  WriteLine(level, line);
}

void CIPCaptureDriver::WriteLine(int level, const std::string& line) {
  if (line.empty() || level == 4) return;
  const uint8_t adapted = AdaptLogLevel(level, m_hostVersion.major, m_hostVersion.minor);
  IHostLogSink* sink = m_sink.load();
  if (sink == nullptr) return;
  CDebugInfo info(adapted, line);
  sink->Write(&info);
}

void CIPCaptureDriver::LogDriverOpened(const std::string& firmware) {
  const std::string name = GetDriverName();
  if (name.empty() || m_deviceInfo.deviceModel.empty()) return;
  std::string line = "DRIVER IS OPENED (name: " + name + ", device model: " + m_deviceInfo.deviceModel;
  if (!firmware.empty()) line += ", FW: " + firmware;
  line += ", address: " + m_deviceInfo.address + ":" + std::to_string(m_deviceInfo.port) + ")";
  WriteLine(100, line);
}

std::string CIPCaptureDriver::GetParameter(uint32_t index) {
  auto it = m_parameters.find(index);
  if (it == m_parameters.end() || it->second == "(none)") return std::string();
  return it->second;
}

int32_t CIPCaptureDriver::GetParameterNumber(uint32_t index) { return ParseParameterNumber(GetParameter(index)); }

}  // namespace telvora
