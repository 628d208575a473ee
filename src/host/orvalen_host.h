// The public header a recording host compiles against: the interfaces the
// host implements and hands to the driver, the interfaces the driver hands
// back, the log record and the exported factories. It stands alone: it needs
// no Windows SDK and no other header of the driver.
//
// The order of virtual operations is the binary contract with the host.
// Never reorder, insert or remove one; newer versions append. The closing
// ..._END line of an interface stays its last.
#pragma once

#include <stdint.h>

#if defined(_WIN32)
#define ORVALEN_EXPORT __declspec(dllexport)
#define ORVALEN_CALL __cdecl
#else
#define ORVALEN_EXPORT __attribute__((visibility("default")))
#define ORVALEN_CALL
#endif

// On Windows SYSTEMTIME is the system's own (<windows.h>); naming it here
// leaves the host free to include that before or after this header. A host
// that includes <windows.h> does so first: its GetUserName macro must rename
// IHostConnection::GetUserName in the declaration and in the host's code alike.
// Elsewhere it is defined with the same layout: eight 16-bit fields.
#if defined(_WIN32)
typedef struct _SYSTEMTIME SYSTEMTIME;
#else
typedef struct _SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
} SYSTEMTIME;
#endif

// Vtables as the host's compiler lays them out.
//
// The host is built by MSVC. GCC and Clang building for Windows (mingw-w64)
// follow the Itanium C++ ABI instead, where a virtual destructor takes two
// slots (complete and deleting) and MSVC's takes one, the scalar deleting
// destructor `void* __thiscall (unsigned int flags)`, whose bit 0 asks to
// free the memory. Every later operation would sit one slot off.
//
// With ORVALEN_MSVC_VTABLES, slot 0 of every interface is instead a plain
// virtual operation of that signature. The C++ destructor of an interface
// that nothing extends is still virtual, but declared last, so its two slots
// come after everything MSVC code can reach, and slot 0 destroys through it.
// Versions that a newer one extends cannot have those trailing slots: their
// destructor is protected, and DeleteInterfaceObject deletes through them.
//
// Member functions are thiscall on x86 in both compilers (variadic ones
// cdecl); no interface here overloads a virtual operation, whose slots MSVC
// would group. Under MSVC, and on every other platform, interfaces keep an
// ordinary leading virtual destructor, which is already the right layout.
// Defining the macro to 0 gives GCC's own layout, for comparison.
#if !defined(ORVALEN_MSVC_VTABLES)
#if defined(_WIN32) && !defined(_MSC_VER) && (defined(__GNUC__) || defined(__clang__))
#define ORVALEN_MSVC_VTABLES 1
#else
#define ORVALEN_MSVC_VTABLES 0
#endif
#endif

#if ORVALEN_MSVC_VTABLES
#if defined(__i386__)
#define ORVALEN_THISCALL __attribute__((thiscall))
#else
#define ORVALEN_THISCALL
#endif
#define ORVALEN_SCALAR_DELETING_DESTRUCTOR(Name, ...)                                   \
  void* ORVALEN_THISCALL ScalarDeletingDestructor(unsigned int flags) __VA_ARGS__ { \
    if (flags & 1u) {                                                                   \
      delete this;                                                                      \
    } else {                                                                            \
      this->~Name();                                                                    \
    }                                                                                   \
    return this;                                                                        \
  }
// First and last lines of an interface that has no versions.
#define ORVALEN_INTERFACE(Name) \
 public:                        \
  virtual ORVALEN_SCALAR_DELETING_DESTRUCTOR(Name)
#define ORVALEN_INTERFACE_END(Name) \
 public:                            \
  virtual ~Name() {}
// First line of the first version of an interface; last line of every
// version that a newer one extends; last line of the newest version.
#define ORVALEN_VERSIONED_INTERFACE(Name) \
 public:                                  \
  virtual void* ORVALEN_THISCALL ScalarDeletingDestructor(unsigned int flags) = 0;
#define ORVALEN_OLDER_VERSION_END(Name) \
 protected:                             \
  ~Name() {}                            \
                                        \
 public:
#define ORVALEN_LATEST_VERSION_END(Name)               \
 public:                                               \
  ORVALEN_SCALAR_DELETING_DESTRUCTOR(Name, override) \
  virtual ~Name() {}
#else
#define ORVALEN_INTERFACE(Name) \
 public:                        \
  virtual ~Name() {}
#define ORVALEN_INTERFACE_END(Name)
#define ORVALEN_VERSIONED_INTERFACE(Name) ORVALEN_INTERFACE(Name)
#define ORVALEN_OLDER_VERSION_END(Name)
#define ORVALEN_LATEST_VERSION_END(Name)
#endif

// One log line handed to the host's log sink. It lives only for the duration
// of the sink's Write call: the host copies what it keeps.
class CDebugInfoIf {
 public:
  ORVALEN_INTERFACE(CDebugInfoIf)
  virtual uint8_t GetLevel() const = 0;
  // The formatted line; null for an empty line.
  virtual const char* GetText() const = 0;
  ORVALEN_INTERFACE_END(CDebugInfoIf)
};

namespace telvora {

// ---------------------------------------------------------------------------
// Host objects. The driver only borrows them and never deletes one. Texts are
// zero-terminated and copied by the driver at once.

class IHostLogSink {
 public:
  ORVALEN_INTERFACE(IHostLogSink)
  virtual void Write(CDebugInfoIf* info) = 0;
  ORVALEN_INTERFACE_END(IHostLogSink)
};

class IHostDeviceModel {
 public:
  ORVALEN_INTERFACE(IHostDeviceModel)
  virtual const char* GetModelName() = 0;
  virtual uint32_t GetVideoInputCount() = 0;
  virtual uint32_t GetValueA() = 0;
  virtual uint32_t GetValueB() = 0;
  ORVALEN_INTERFACE_END(IHostDeviceModel)
};

class IHostConnection {
 public:
  ORVALEN_INTERFACE(IHostConnection)
  virtual const char* GetAddress() = 0;
  virtual uint16_t GetPort() = 0;
  virtual uint32_t GetConnectionValue() = 0;
  virtual const char* GetUserName() = 0;
  virtual const char* GetPassword() = 0;
  ORVALEN_INTERFACE_END(IHostConnection)
};

class IHostDevice {
 public:
  ORVALEN_INTERFACE(IHostDevice)
  virtual IHostDeviceModel* GetModel() = 0;
  virtual IHostConnection* GetConnection() = 0;
  // Numbered device parameters from 1 upward; null ends the list.
  virtual const char* GetDeviceParameter(uint32_t index) = 0;
  ORVALEN_INTERFACE_END(IHostDevice)
};

class IHostFrameSize {
 public:
  ORVALEN_INTERFACE(IHostFrameSize)
  virtual uint16_t GetSize1() = 0;
  virtual uint16_t GetSize2() = 0;
  ORVALEN_INTERFACE_END(IHostFrameSize)
};

class IHostStreamFormat {
 public:
  ORVALEN_INTERFACE(IHostStreamFormat)
  virtual IHostFrameSize* GetFrameSize() = 0;
  virtual uint32_t GetFormatValue() = 0;
  ORVALEN_INTERFACE_END(IHostStreamFormat)
};

class IHostStreamOptions {
 public:
  ORVALEN_INTERFACE(IHostStreamOptions)
  virtual uint16_t GetOption1() = 0;
  virtual uint16_t GetOption2() = 0;
  virtual uint32_t WantsSecondary() = 0;
  ORVALEN_INTERFACE_END(IHostStreamOptions)
};

class IHostStreamSettings {
 public:
  ORVALEN_INTERFACE(IHostStreamSettings)
  virtual IHostStreamFormat* GetFormat() = 0;
  virtual IHostStreamOptions* GetOptions() = 0;
  virtual uint32_t GetOptionValue() = 0;
  ORVALEN_INTERFACE_END(IHostStreamSettings)
};

// A frame buffer owned by the host, filled by the driver.
class IVideoFrame {
 public:
  ORVALEN_INTERFACE(IVideoFrame)
  // Writable memory of at least the size asked for at creation; may be null.
  virtual uint8_t* GetData() = 0;
  virtual void SetDataSize(uint32_t size) = 0;
  virtual void SetTime(const SYSTEMTIME* time) = 0;
  virtual void GetTime(SYSTEMTIME* time) = 0;
  // Four characters packed with the first one in the lowest byte.
  virtual void SetFormat(uint32_t formatCode) = 0;
  virtual void SetHeight(uint32_t height) = 0;
  virtual void SetWidth(uint32_t width) = 0;
  virtual void SetResolutionClass(uint32_t resolutionClass) = 0;
  ORVALEN_INTERFACE_END(IVideoFrame)
};

class IFrameAllocator {
 public:
  ORVALEN_INTERFACE(IFrameAllocator)
  // Null when the host cannot supply a frame.
  virtual IVideoFrame* CreateFrame(uint32_t formatCode, uint32_t size, const char* driverName) = 0;
  virtual void ReleaseFrame(IVideoFrame* frame) = 0;
  ORVALEN_INTERFACE_END(IFrameAllocator)
};

// Receives finished frames on the driver's frame-delivery thread.
class IHostFrameSink {
 public:
  ORVALEN_INTERFACE(IHostFrameSink)
  // True when the host took the frame. The frame stays the driver's.
  virtual bool OnFrame(IVideoFrame* frame) = 0;
  virtual void Reserved1() = 0;  // never called by the driver
  virtual void OnSignalLost() = 0;
  ORVALEN_INTERFACE_END(IHostFrameSink)
};

class IEdgeMonitorSink {
 public:
  ORVALEN_INTERFACE(IEdgeMonitorSink)
  // time: 100-ns units since 1601-01-01 UTC, 0 when it could not be converted.
  virtual void OnFrameTime(uint32_t channelIndex, uint64_t time) = 0;
  virtual void OnSignalLost(uint32_t channelIndex) = 0;
  ORVALEN_INTERFACE_END(IEdgeMonitorSink)
};

// Six 32-bit stream settings handed to a stream at start and re-configuration.
struct CHANNEL_SETTINGS {
  uint32_t streamOption1;
  uint32_t streamOption2;
  uint32_t frameSize1;
  uint32_t frameSize2;
  uint32_t formatValue;
  uint32_t purpose;  // 0 recording, 1 live, 2 remote
};

// ---------------------------------------------------------------------------
// Stream objects of the driver, as an edge storage monitor sees them.

class IEdgeMonitorChannel {
 public:
  ORVALEN_VERSIONED_INTERFACE(IEdgeMonitorChannel)
  virtual uint32_t GetChannelIndex() = 0;
  virtual IHostFrameSink* GetFrameSink() = 0;
  virtual void SetEdgeMonitorSink(IEdgeMonitorSink* sink) = 0;
  ORVALEN_OLDER_VERSION_END(IEdgeMonitorChannel)
};

class ICameraChannel : public IEdgeMonitorChannel {
 public:
  virtual void SetOption(uint32_t value) = 0;
  virtual bool Start(const CHANNEL_SETTINGS* settings) = 0;
  virtual void Stop() = 0;
  virtual bool ChangeFormat(const CHANNEL_SETTINGS* settings) = 0;
  virtual bool GetFlagB() = 0;
  virtual bool GetFlagA() = 0;
  // 0 streaming, 2 signal lost, 3 stopped.
  virtual int32_t GetState() = 0;
  ORVALEN_LATEST_VERSION_END(ICameraChannel)
};

// Supplied by other components of a host; this driver never creates one.
class ISecondaryChannel {
 public:
  ORVALEN_INTERFACE(ISecondaryChannel)
  virtual void Reserved1() = 0;
  virtual void Reserved2() = 0;
  virtual void Reserved3() = 0;
  virtual bool StartSecondary() = 0;
  virtual void StopSecondary() = 0;
  ORVALEN_INTERFACE_END(ISecondaryChannel)
};

class IEdgeMonitor {
 public:
  ORVALEN_INTERFACE(IEdgeMonitor)
  virtual void Attach(void* object) = 0;
  virtual void Detach(void* object) = 0;
  ORVALEN_INTERFACE_END(IEdgeMonitor)
};

namespace ipcapture {

// ---------------------------------------------------------------------------
// The video capture object: one per opened device, owned by the driver.
//
// Its operations may be called from any host thread, and a lookup holds its
// stream until it returns. From inside a stream's own OnFrame or
// OnSignalLost, or an edge monitor callback for it, the calls that would
// stop that stream (OpenChannel, CloseChannel, ChangeChannelFormat and the
// sub-channel pair for its channel, IIPCaptureDriver::Close and
// DeleteIPCapture for its device) are refused with a level-1 line and
// change nothing; make them from another thread.
//
// CloseChannel (and Close and DeleteIPCapture, stream by stream) waits for a
// stream's threads up to twice the device's time-out. On Windows a thread
// still running then is terminated. Elsewhere it is left to end by itself:
// once the close has returned it makes no new call to the host, and it
// frees what it holds when the call it is stuck in returns. Until then the
// host keeps that call's sink alive and does not unload the library.

class IIPVideoCapture {
 public:
  ORVALEN_VERSIONED_INTERFACE(IIPVideoCapture)
  virtual uint32_t GetChannelCount() = 0;
  virtual bool OpenChannel(uint32_t channel, IHostFrameSink* sink, IHostStreamSettings* settings) = 0;
  virtual bool CloseChannel(uint32_t channel) = 0;
  virtual bool ChangeChannelFormat(uint32_t channel, IHostFrameSize* size, uint32_t value) = 0;
  virtual void* GetExtension() = 0;
  virtual bool GetChannelState(uint32_t channel, int32_t* state, int32_t* detail, char* text,
                               uint32_t textSize) = 0;
  virtual bool SetParameter(const char* name, const uint16_t* value, uint32_t size) = 0;
  virtual bool GetParameter(const char* name, uint16_t* value, uint32_t size) = 0;
  ORVALEN_OLDER_VERSION_END(IIPVideoCapture)
};

class IIPVideoCaptureEx : public IIPVideoCapture {
 public:
  virtual bool GetChannelFlagA(uint32_t channel) = 0;
  virtual bool GetChannelFlagB(uint32_t channel) = 0;
  ORVALEN_OLDER_VERSION_END(IIPVideoCaptureEx)
};

class IIPVideoCaptureEx2 : public IIPVideoCaptureEx {
 public:
  virtual bool OpenSubChannel(uint32_t channel, uint32_t purpose, IHostFrameSink* sink,
                              IHostStreamSettings* settings) = 0;
  virtual bool CloseSubChannel(uint32_t channel, uint32_t purpose) = 0;
  ORVALEN_LATEST_VERSION_END(IIPVideoCaptureEx2)
};

// ---------------------------------------------------------------------------
// The driver object: one per device. Every version is served by one object.

class IIPCaptureDriver {
 public:
  ORVALEN_VERSIONED_INTERFACE(IIPCaptureDriver)
  virtual bool Open(IHostLogSink* sink, IFrameAllocator* allocator, IHostDevice* device) = 0;
  virtual void Close() = 0;
  virtual IIPVideoCapture* GetVideoCapture() = 0;
  virtual void* GetAuxCapture1() = 0;
  ORVALEN_OLDER_VERSION_END(IIPCaptureDriver)
};

class IIPCaptureDriverEx : public IIPCaptureDriver {
 public:
  virtual void* GetReserved1() = 0;
  virtual void* GetAuxCapture2() = 0;
  ORVALEN_OLDER_VERSION_END(IIPCaptureDriverEx)
};

class IIPCaptureDriverEx2 : public IIPCaptureDriverEx {
 public:
  virtual void* GetReserved2() = 0;
  virtual IIPVideoCaptureEx* GetVideoCaptureEx() = 0;
  ORVALEN_OLDER_VERSION_END(IIPCaptureDriverEx2)
};

class IIPCaptureDriverEx3 : public IIPCaptureDriverEx2 {
 public:
  virtual void* GetAuxCapture2Ex() = 0;
  ORVALEN_OLDER_VERSION_END(IIPCaptureDriverEx3)
};

class IIPCaptureDriverEx4 : public IIPCaptureDriverEx3 {
 public:
  virtual void* GetReserved3() = 0;
  virtual void* GetReserved4() = 0;
  ORVALEN_OLDER_VERSION_END(IIPCaptureDriverEx4)
};

class IIPCaptureDriverEx5 : public IIPCaptureDriverEx4 {
 public:
  virtual IIPVideoCaptureEx2* GetVideoCaptureEx2() = 0;
  ORVALEN_LATEST_VERSION_END(IIPCaptureDriverEx5)
};

}  // namespace ipcapture
}  // namespace telvora

namespace telvora {

// Destroys and frees an object through any interface pointer, as `delete`
// does under MSVC; null is ignored.
template <class Interface>
inline void DeleteInterfaceObject(Interface* object) {
#if ORVALEN_MSVC_VTABLES
  if (object != nullptr) object->ScalarDeletingDestructor(1u);
#else
  delete object;
#endif
}

}  // namespace telvora

// ---------------------------------------------------------------------------
// Exports. All Create... names are one factory, all Delete... names one
// deleter; the returned pointer is valid as every driver interface version.

extern "C" {
ORVALEN_EXPORT telvora::ipcapture::IIPCaptureDriver* ORVALEN_CALL CreateIPCapture();
ORVALEN_EXPORT telvora::ipcapture::IIPCaptureDriver* ORVALEN_CALL CreateIPCaptureEx();
ORVALEN_EXPORT telvora::ipcapture::IIPCaptureDriver* ORVALEN_CALL CreateIPCaptureEx2();
ORVALEN_EXPORT telvora::ipcapture::IIPCaptureDriver* ORVALEN_CALL CreateIPCaptureEx3();
ORVALEN_EXPORT telvora::ipcapture::IIPCaptureDriver* ORVALEN_CALL CreateIPCaptureEx4();
ORVALEN_EXPORT telvora::ipcapture::IIPCaptureDriver* ORVALEN_CALL CreateIPCaptureEx5();
ORVALEN_EXPORT void ORVALEN_CALL DeleteIPCapture(telvora::ipcapture::IIPCaptureDriver* driver);
ORVALEN_EXPORT void ORVALEN_CALL DeleteIPCaptureEx(telvora::ipcapture::IIPCaptureDriver* driver);
ORVALEN_EXPORT void ORVALEN_CALL DeleteIPCaptureEx2(telvora::ipcapture::IIPCaptureDriver* driver);
ORVALEN_EXPORT void ORVALEN_CALL DeleteIPCaptureEx3(telvora::ipcapture::IIPCaptureDriver* driver);
ORVALEN_EXPORT void ORVALEN_CALL DeleteIPCaptureEx4(telvora::ipcapture::IIPCaptureDriver* driver);
ORVALEN_EXPORT void ORVALEN_CALL DeleteIPCaptureEx5(telvora::ipcapture::IIPCaptureDriver* driver);
}

// ===========================================================================
// Capability query. The host asks in the background what a configured device
// offers; the driver writes the answer into the host's result objects from
// its query thread and reports the outcome through the host's callback.

namespace telvora {

// Host result objects. The driver borrows them for one query; any getter may
// return null, which the driver treats as a refusal of that part.

class ICapabilityTextField {
 public:
  ORVALEN_INTERFACE(ICapabilityTextField)
  virtual void SetText(const char* text) = 0;
  ORVALEN_INTERFACE_END(ICapabilityTextField)
};

class ICapabilityProperty {
 public:
  ORVALEN_INTERFACE(ICapabilityProperty)
  virtual void SetValueText(const char* text) = 0;
  virtual void SetType(int type) = 0;
  virtual void SetName(const char* name) = 0;
  // Called with 0 right after SetName; its meaning is the host's.
  virtual void SetReserved(int value) = 0;
  ORVALEN_INTERFACE_END(ICapabilityProperty)
};

class IResolutionList {
 public:
  ORVALEN_INTERFACE(IResolutionList)
  virtual void Add(const char* text, int width, int height, int rateCode) = 0;
  ORVALEN_INTERFACE_END(IResolutionList)
};

class IFrameRateList {
 public:
  ORVALEN_INTERFACE(IFrameRateList)
  virtual void SetDefault(int rateCode) = 0;
  virtual void Add(int rateCode) = 0;
  ORVALEN_INTERFACE_END(IFrameRateList)
};

class ICapabilityResults {
 public:
  ORVALEN_INTERFACE(ICapabilityResults)
  virtual void SetValue(int id, int value) = 0;
  virtual void SetModelName(const char* text) = 0;
  // index 1 address, 2 port, 3 user name, 4 password.
  virtual ICapabilityTextField* GetConnectionField(int index) = 0;
  virtual ICapabilityProperty* GetProperty(int id) = 0;
  virtual IResolutionList* GetResolutionList() = 0;
  virtual IFrameRateList* GetFrameRateList(int index) = 0;
  ORVALEN_INTERFACE_END(ICapabilityResults)
};

// The outcome of a query, called once on the driver's query thread.
// OnQueryThreadKilled comes instead when a query thread had to be killed.
class ICapabilityQueryCallback {
 public:
  ORVALEN_INTERFACE(ICapabilityQueryCallback)
  virtual void OnQueryCompleted() = 0;
  // code: 1 login failed, 2 device unreachable, 3 any other failure.
  virtual void OnQueryFailed(int code, const char* message) = 0;
  virtual void OnQueryThreadKilled() = 0;
  ORVALEN_INTERFACE_END(ICapabilityQueryCallback)
};

namespace ipcapture {

class IIPCapabilityQuery {
 public:
  ORVALEN_INTERFACE(IIPCapabilityQuery)
  // 1 when the query thread started, 0 otherwise. One query per object.
  // The results object must stay valid until the callback has been called.
  virtual int Start(const char* address, int port, const char* user, const char* password,
                    ICapabilityResults* results) = 0;
  // Asks a running query to stop; does not wait for it.
  virtual void Terminate() = 0;
  ORVALEN_INTERFACE_END(IIPCapabilityQuery)
};

}  // namespace ipcapture
}  // namespace telvora

extern "C" {
// A query object of its own for the caller; null when memory is short.
ORVALEN_EXPORT telvora::ipcapture::IIPCapabilityQuery* ORVALEN_CALL CreateCapabilityQueryModule(
    telvora::ICapabilityQueryCallback* callback, int videoStandard);
// Waits for the query thread. A null pointer is ignored.
ORVALEN_EXPORT void ORVALEN_CALL DeleteCapabilityQueryModule(telvora::ipcapture::IIPCapabilityQuery* module);
// The module-wide query: Init, Start, the callback, then Uninit. The host
// must not call these four concurrently. Init returns 0 if one exists.
ORVALEN_EXPORT int ORVALEN_CALL InitCapabilityQuery(telvora::ICapabilityQueryCallback* callback,
                                                    int videoStandard);
// 0 when address, user or password is null or Init was not called.
ORVALEN_EXPORT int ORVALEN_CALL StartCapabilityQuery(const char* address, int port, const char* user,
                                                     const char* password,
                                                     telvora::ICapabilityResults* results);
ORVALEN_EXPORT int ORVALEN_CALL TerminateCapabilityQuery();
// May be called from inside the callback.
ORVALEN_EXPORT int ORVALEN_CALL UninitCapabilityQuery();
}
