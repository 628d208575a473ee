// A recording host as the real one is built: C++ in the MSVC ABI (clang
// --target=x86_64-pc-windows-msvc), no C or C++ runtime, only system DLLs.
// It loads Orvalen.dll by name and drives it through the exports and the
// public header's interfaces, in both directions: the driver calls this
// host's objects from its own threads, and the host calls and deletes the
// driver's objects.
//
//   msvc_host.exe <udp-port> <tcp-port> <width> <height>
//
// Two testcam instances on 127.0.0.1 serve H.264 at width x height, one only
// over UDP, one only over TCP; Orvalen.xml beside this program asks for
// interleaved RTP for the second. One line per check; exit 1 on any failure.
#include "host/orvalen_host.h"
#include "win32_min.h"

using namespace telvora;
using namespace telvora::ipcapture;

// ---------------------------------------------------------------------------
// What the MSVC runtime would supply.

extern "C" {
int _fltused = 0;
void* memset(void* dest, int value, size_t size) {
  auto* p = static_cast<volatile unsigned char*>(dest);
  while (size-- > 0) *p++ = static_cast<unsigned char>(value);
  return dest;
}
void* memcpy(void* dest, const void* src, size_t size) {
  auto* d = static_cast<volatile unsigned char*>(dest);
  const auto* s = static_cast<const unsigned char*>(src);
  while (size-- > 0) *d++ = *s++;
  return dest;
}
int _purecall() { ExitProcess(3); }
}
void* operator new(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size == 0 ? 1 : size); }
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept {
  if (p != nullptr) HeapFree(GetProcessHeap(), 0, p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }

namespace {

// ---------------------------------------------------------------------------
// Output and small helpers.

size_t Length(const char* text) {
  size_t n = 0;
  while (text != nullptr && text[n] != 0) ++n;
  return n;
}

bool Contains(const char* text, const char* part) {
  if (text == nullptr) return false;
  size_t n = Length(part);
  for (; *text != 0; ++text) {
    size_t i = 0;
    while (i < n && text[i] == part[i]) ++i;
    if (i == n) return true;
  }
  return false;
}

class Line {
 public:
  Line& operator<<(const char* text) {
    for (size_t i = 0; text != nullptr && text[i] != 0 && m_size < sizeof(m_text) - 2; ++i) m_text[m_size++] = text[i];
    return *this;
  }
  Line& operator<<(uint64_t value) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (n > 0 && m_size < sizeof(m_text) - 2) m_text[m_size++] = digits[--n];
    return *this;
  }
  Line& operator<<(int value) {
    if (value < 0) {
      *this << "-";
      return *this << static_cast<uint64_t>(-static_cast<int64_t>(value));
    }
    return *this << static_cast<uint64_t>(value);
  }
  Line& operator<<(unsigned value) { return *this << static_cast<uint64_t>(value); }
  const char* Text() {
    m_text[m_size] = 0;
    return m_text;
  }
  void Print() {
    m_text[m_size++] = '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(kStdOutput), m_text, static_cast<DWORD>(m_size), &written, nullptr);
    m_size--;
  }

 private:
  char m_text[512];
  size_t m_size = 0;
};

int g_failures = 0;

void Check(bool ok, const char* what, Line detail = Line()) {
  Line line;
  line << (ok ? "ok    " : "FAIL  ") << what;
  const char* extra = detail.Text();
  if (extra[0] != 0) line << " (" << extra << ")";
  line.Print();
  if (!ok) ++g_failures;
}

int Load(const int* p) { return __atomic_load_n(p, __ATOMIC_SEQ_CST); }
void Add(int* p, int n) { __atomic_fetch_add(p, n, __ATOMIC_SEQ_CST); }

// Waits up to ms for condition(); true when it held.
template <typename Condition>
bool WaitFor(uint64_t ms, Condition condition) {
  uint64_t end = GetTickCount64() + ms;
  while (!condition()) {
    if (GetTickCount64() > end) return false;
    Sleep(50);
  }
  return true;
}

uint64_t FileTimeOf(const SYSTEMTIME& time) {
  FILETIME ft{};
  if (!SystemTimeToFileTime(&time, &ft)) return 0;
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

constexpr uint32_t FourCC(char a, char b, char c, char d) {
  return static_cast<uint32_t>(a) | (static_cast<uint32_t>(b) << 8) | (static_cast<uint32_t>(c) << 16) |
         (static_cast<uint32_t>(d) << 24);
}

// ---------------------------------------------------------------------------
// The host's objects. The driver calls them from its worker threads.

class LogSink : public IHostLogSink {
 public:
  void Write(CDebugInfoIf* info) override {
    const char* text = info->GetText();
    if (Contains(text, "DRIVER IS OPENED")) Add(&startupLines, 1);
    // Errors, warnings and state lines go to the output, to explain a failure.
    const int level = info->GetLevel();
    if (level == 1) Add(&errors, 1);
    if (level <= 3) {
      Line line;
      line << "      log " << level << ": " << text;
      line.Print();
    }
    Add(&lines, 1);
  }
  int lines = 0;
  int startupLines = 0;
  int errors = 0;
};

// Model, connection and device in one object: the driver receives pointers
// into its second and third sub-objects, as from many real hosts.
class Device : public IHostDevice, public IHostDeviceModel, public IHostConnection {
 public:
  // path: the stream's path on the device, device parameter 1.
  Device(uint16_t port, const char* path) : m_port(port), m_path(path) {}
  IHostDeviceModel* GetModel() override { return this; }
  IHostConnection* GetConnection() override { return this; }
  const char* GetDeviceParameter(uint32_t index) override { return index == 1 ? m_path : nullptr; }
  const char* GetModelName() override { return "MSVC host test camera"; }
  uint32_t GetVideoInputCount() override { return 1; }
  uint32_t GetValueA() override { return 0; }
  uint32_t GetValueB() override { return 0; }
  const char* GetAddress() override { return "127.0.0.1"; }
  uint16_t GetPort() override { return m_port; }
  uint32_t GetConnectionValue() override { return 0; }
  const char* GetUserName() override { return ""; }
  const char* GetPassword() override { return ""; }

 private:
  uint16_t m_port;
  const char* m_path;
};

class StreamSettings : public IHostStreamSettings,
                       public IHostStreamFormat,
                       public IHostStreamOptions,
                       public IHostFrameSize {
 public:
  StreamSettings(uint16_t width, uint16_t height) : m_width(width), m_height(height) {}
  IHostStreamFormat* GetFormat() override { return this; }
  IHostStreamOptions* GetOptions() override { return this; }
  uint32_t GetOptionValue() override { return 0; }
  IHostFrameSize* GetFrameSize() override { return this; }
  uint32_t GetFormatValue() override { return 0; }
  uint16_t GetOption1() override { return 0; }
  uint16_t GetOption2() override { return 0; }
  uint32_t WantsSecondary() override { return 0; }
  uint16_t GetSize1() override { return m_width; }
  uint16_t GetSize2() override { return m_height; }

 private:
  uint16_t m_width;
  uint16_t m_height;
};

class Frame : public IVideoFrame {
 public:
  Frame(uint32_t format, uint32_t capacity) : m_capacity(capacity), m_format(format) {
    m_data = static_cast<uint8_t*>(operator new(capacity));
  }
  ~Frame() override { operator delete(m_data); }
  uint8_t* GetData() override { return m_data; }
  void SetDataSize(uint32_t size) override { m_size = size; }
  void SetTime(const SYSTEMTIME* time) override { m_time = *time; }
  void GetTime(SYSTEMTIME* time) override { *time = m_time; }
  void SetFormat(uint32_t format) override { m_format = format; }
  void SetHeight(uint32_t height) override { m_height = height; }
  void SetWidth(uint32_t width) override { m_width = width; }
  void SetResolutionClass(uint32_t resolutionClass) override { m_class = resolutionClass; }

  uint32_t m_capacity;
  uint32_t m_format;
  uint8_t* m_data;
  uint32_t m_size = 0;
  uint32_t m_width = 0;
  uint32_t m_height = 0;
  uint32_t m_class = 0;
  SYSTEMTIME m_time{};
};

class Allocator : public IFrameAllocator {
 public:
  IVideoFrame* CreateFrame(uint32_t format, uint32_t size, const char* driverName) override {
    if (!Contains(driverName, "Orvalen")) Add(&badNames, 1);
    Add(&created, 1);
    return new Frame(format, size);
  }
  void ReleaseFrame(IVideoFrame* frame) override {
    Add(&released, 1);
    delete frame;  // the MSVC scalar deleting destructor of our own frame
  }
  int created = 0;
  int released = 0;
  int badNames = 0;
};

// Checks every frame as it arrives and keeps counts.
class FrameSink : public IHostFrameSink {
 public:
  FrameSink(uint32_t width, uint32_t height) : m_width(width), m_height(height) {}
  bool OnFrame(IVideoFrame* video) override {
    Frame* frame = static_cast<Frame*>(video);
    SYSTEMTIME now{};
    GetSystemTime(&now);
    SYSTEMTIME stamp{};
    video->GetTime(&stamp);
    uint64_t at = FileTimeOf(stamp);
    uint64_t reference = FileTimeOf(now);
    const uint64_t kMinute = 600000000ull;
    bool key = frame->m_format == FourCC('H', '2', '6', '4');
    if (!key && frame->m_format != FourCC('I', '2', '6', '4')) Add(&badFormats, 1);
    if (key) Add(&keyFrames, 1);
    if (frame->m_size == 0 || frame->m_size > frame->m_capacity) Add(&badSizes, 1);
    if (frame->m_width != m_width || frame->m_height != m_height) Add(&badDimensions, 1);
    if (at == 0 || at + kMinute < reference || at > reference + kMinute) Add(&badTimes, 1);
    Add(&frames, 1);
    return true;
  }
  void Reserved1() override {}
  void OnSignalLost() override { Add(&signalLosses, 1); }

  int frames = 0;
  int keyFrames = 0;
  int badFormats = 0;
  int badSizes = 0;
  int badDimensions = 0;
  int badTimes = 0;
  int signalLosses = 0;

 private:
  uint32_t m_width;
  uint32_t m_height;
};

// Capability results: accept everything, count what was written.
class TextField : public ICapabilityTextField {
 public:
  void SetText(const char*) override { Add(&writes, 1); }
  int writes = 0;
};
class Property : public ICapabilityProperty {
 public:
  void SetValueText(const char*) override { Add(&writes, 1); }
  void SetType(int) override {}
  void SetName(const char*) override { Add(&writes, 1); }
  void SetReserved(int) override {}
  int writes = 0;
};
class Resolutions : public IResolutionList {
 public:
  void Add(const char*, int, int, int) override { ::Add(&entries, 1); }
  int entries = 0;
};
class FrameRates : public IFrameRateList {
 public:
  void SetDefault(int) override {}
  void Add(int) override { ::Add(&entries, 1); }
  int entries = 0;
};
class Results : public ICapabilityResults {
 public:
  void SetValue(int, int) override { Add(&values, 1); }
  void SetModelName(const char*) override {}
  ICapabilityTextField* GetConnectionField(int) override { return &field; }
  ICapabilityProperty* GetProperty(int) override { return &property; }
  IResolutionList* GetResolutionList() override { return &resolutions; }
  IFrameRateList* GetFrameRateList(int) override { return &rates; }
  TextField field;
  Property property;
  Resolutions resolutions;
  FrameRates rates;
  int values = 0;
};
class QueryCallback : public ICapabilityQueryCallback {
 public:
  void OnQueryCompleted() override { Add(&completed, 1); }
  void OnQueryFailed(int code, const char* message) override {
    Line line;
    line << "      query failed " << code << ": " << message;
    line.Print();
    Add(&failed, 1);
  }
  void OnQueryThreadKilled() override { Add(&killed, 1); }
  int completed = 0;
  int failed = 0;
  int killed = 0;
};

// ---------------------------------------------------------------------------

typedef IIPCaptureDriver*(__cdecl* CreateFn)();
typedef void(__cdecl* DeleteFn)(IIPCaptureDriver*);
typedef IIPCapabilityQuery*(__cdecl* CreateQueryFn)(ICapabilityQueryCallback*, int);
typedef void(__cdecl* DeleteQueryFn)(IIPCapabilityQuery*);

HMODULE g_dll = nullptr;

template <typename F>
F Export(const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(g_dll, name)));
}

// Next whitespace-separated number of the command line after the program.
const char* g_args = nullptr;
uint32_t NextNumber() {
  while (*g_args == ' ' || *g_args == '\t') ++g_args;
  uint32_t value = 0;
  while (*g_args >= '0' && *g_args <= '9') value = value * 10 + static_cast<uint32_t>(*g_args++ - '0');
  return value;
}
void SkipProgramName() {
  g_args = GetCommandLineA();
  if (*g_args == '"') {
    ++g_args;
    while (*g_args != 0 && *g_args != '"') ++g_args;
    if (*g_args == '"') ++g_args;
  } else {
    while (*g_args != 0 && *g_args != ' ') ++g_args;
  }
}

bool WriteText(const char* path, const char* text) {
  HANDLE file = CreateFileA(path, kGenericWrite, 0, nullptr, kCreateAlways, 0, nullptr);
  if (file == InvalidHandle()) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, text, static_cast<DWORD>(Length(text)), &written, nullptr);
  CloseHandle(file);
  return ok && written == Length(text);
}

// The directory of this program with its trailing backslash: where the
// driver looks for Orvalen.xml.
void ProgramDirectory(char* out, DWORD size) {
  DWORD n = GetModuleFileNameA(nullptr, out, size);
  while (n > 0 && out[n - 1] != '\\') --n;
  out[n] = 0;
}

struct Recording {
  const char* name;
  uint16_t port;
  uint32_t width;
  uint32_t height;
};

// Records at least kFrames frames and checks them. The stream stays open:
// the caller closes or deletes the driver.
constexpr int kFrames = 50;
void Record(IIPCaptureDriver* driver, const Recording& r, LogSink* log, Allocator* allocator, FrameSink* sink,
            const char* path) {
  Device device(r.port, path);
  StreamSettings settings(static_cast<uint16_t>(r.width), static_cast<uint16_t>(r.height));
  int startupBefore = Load(&log->startupLines);
  bool opened = driver->Open(log, allocator, &device);
  Check(opened, "Open", Line() << r.name);
  Check(Load(&log->startupLines) == startupBefore + 1, "the start-up line reached the log sink", Line() << r.name);
  IIPVideoCapture* capture = driver->GetVideoCapture();
  Check(capture != nullptr && capture->GetChannelCount() == 1, "GetVideoCapture with one channel",
        Line() << r.name);
  if (capture == nullptr) return;
  Check(capture->OpenChannel(0, sink, &settings), "OpenChannel", Line() << r.name);
  uint64_t start = GetTickCount64();
  bool enough = WaitFor(60000, [&] { return Load(&sink->frames) >= kFrames; });
  Check(enough, "frames arrived",
        Line() << r.name << ": " << Load(&sink->frames) << " in " << (GetTickCount64() - start) << " ms");
  int32_t state = -1, detail = -1;
  char text[64];
  text[0] = 'x';
  const bool answered = capture->GetChannelState(0, &state, &detail, text, sizeof(text));
  Check(answered && state == 0, "GetChannelState reports streaming", Line() << r.name << ": " << state);
  const int frames = Load(&sink->frames);
  const int keys = Load(&sink->keyFrames);
  const int unknown = Load(&sink->badFormats);
  Check(keys > 0 && unknown == 0, "format codes H264/I264",
        Line() << r.name << ": " << keys << " H264, " << (frames - keys - unknown) << " I264, " << unknown
               << " other");
  Check(Load(&sink->badSizes) == 0, "frame sizes within the frames asked for", Line() << r.name);
  Check(Load(&sink->badDimensions) == 0, "width and height",
        Line() << r.name << ": " << r.width << "x" << r.height << ", " << Load(&sink->badDimensions) << " wrong");
  Check(Load(&sink->badTimes) == 0, "frame times within a minute of the clock",
        Line() << r.name << ": " << Load(&sink->badTimes) << " wrong");
  Check(Load(&allocator->badNames) == 0, "frames asked for with the driver's name", Line() << r.name);
}

int Run() {
  SkipProgramName();
  uint16_t udpPort = static_cast<uint16_t>(NextNumber());
  uint16_t tcpPort = static_cast<uint16_t>(NextNumber());
  uint32_t width = NextNumber();
  uint32_t height = NextNumber();
  if (udpPort == 0 || tcpPort == 0 || width == 0 || height == 0) {
    Line usage;
    usage << "usage: msvc_host.exe <udp-port> <tcp-port> <width> <height>";
    usage.Print();
    return 2;
  }

  char path[300];
  ProgramDirectory(path, 260);
  Line xmlPath;
  xmlPath << path << "Orvalen.xml";
  Line xml;
  xml << "<?xml version=\"1.0\"?>\r\n<Configuration>\r\n  <Device address=\"127.0.0.1\" port=\"" << tcpPort
      << "\">\r\n    <VideoChannel id=\"0\"><RTPMode>RTPoverRTSP</RTPMode></VideoChannel>\r\n  </Device>\r\n"
      << "</Configuration>\r\n";
  Check(WriteText(xmlPath.Text(), xml.Text()), "Orvalen.xml written beside the host");

  g_dll = LoadLibraryA("Orvalen.dll");
  Check(g_dll != nullptr, "LoadLibraryA(\"Orvalen.dll\")", Line() << "error " << static_cast<uint64_t>(GetLastError()));
  if (g_dll == nullptr) return 1;

  const char* const kFactories[][2] = {
      {"CreateIPCapture", "DeleteIPCapture"},       {"CreateIPCaptureEx", "DeleteIPCaptureEx"},
      {"CreateIPCaptureEx2", "DeleteIPCaptureEx2"}, {"CreateIPCaptureEx3", "DeleteIPCaptureEx3"},
      {"CreateIPCaptureEx4", "DeleteIPCaptureEx4"}, {"CreateIPCaptureEx5", "DeleteIPCaptureEx5"},
  };
  LogSink log;
  Allocator allocator;

  // Every factory: a driver that answers through its interface and goes
  // with its own deleter.
  for (const auto& pair : kFactories) {
    CreateFn create = Export<CreateFn>(pair[0]);
    DeleteFn remove = Export<DeleteFn>(pair[1]);
    IIPCaptureDriver* driver = create != nullptr ? create() : nullptr;
    bool ok = driver != nullptr && remove != nullptr && driver->GetVideoCapture() == nullptr &&
              driver->GetAuxCapture1() == nullptr;
    Check(ok, "factory and deleter", Line() << pair[0] << " / " << pair[1]);
    if (driver != nullptr && remove != nullptr) remove(driver);
  }

  Line udpUri;
  udpUri << "rtsp://127.0.0.1:" << udpPort << "/stream";

  // UDP, through the newest interface, closed and deleted by the export.
  {
    FrameSink sink(width, height);
    auto* driver = static_cast<IIPCaptureDriverEx5*>(Export<CreateFn>("CreateIPCaptureEx5")());
    Record(driver, Recording{"udp", udpPort, width, height}, &log, &allocator, &sink, "/stream");
    IIPVideoCaptureEx2* captureEx2 = driver->GetVideoCaptureEx2();
    Check(captureEx2 != nullptr && static_cast<IIPVideoCapture*>(captureEx2) == driver->GetVideoCapture(),
          "GetVideoCaptureEx2 is the same capture object");
    if (captureEx2 != nullptr) Check(captureEx2->CloseChannel(0), "CloseChannel", Line() << "udp");
    driver->Close();
    Export<DeleteFn>("DeleteIPCaptureEx5")(driver);
    Check(Load(&allocator.created) == Load(&allocator.released), "every frame released after DeleteIPCaptureEx5",
          Line() << Load(&allocator.created) << " created, " << Load(&allocator.released) << " released");
  }

  // Interleaved (chosen by Orvalen.xml: the camera on tcpPort serves no UDP),
  // through the oldest interface, deleted with the stream still running.
  {
    FrameSink sink(width, height);
    IIPCaptureDriver* driver = Export<CreateFn>("CreateIPCapture")();
    Record(driver, Recording{"interleaved", tcpPort, width, height}, &log, &allocator, &sink, "/stream");
    delete driver;  // slot 0, the scalar deleting destructor, with flags 1
    int after = Load(&sink.frames);
    Sleep(1000);
    Check(Load(&sink.frames) == after, "delete through IIPCaptureDriver* stopped the stream");
    Check(Load(&allocator.created) == Load(&allocator.released), "every frame released after delete",
          Line() << Load(&allocator.created) << " created, " << Load(&allocator.released) << " released");
  }

  // Capability query, to OnQueryCompleted; one module goes by the export,
  // one by delete.
  CreateQueryFn createQuery = Export<CreateQueryFn>("CreateCapabilityQueryModule");
  DeleteQueryFn deleteQuery = Export<DeleteQueryFn>("DeleteCapabilityQueryModule");
  for (int way = 0; way < 2; ++way) {
    QueryCallback callback;
    Results results;
    IIPCapabilityQuery* module = createQuery != nullptr ? createQuery(&callback, 0) : nullptr;
    Check(module != nullptr, "CreateCapabilityQueryModule");
    if (module == nullptr) continue;
    int started = module->Start(udpUri.Text(), udpPort, "", "", &results);
    bool done = WaitFor(30000, [&] { return Load(&callback.completed) + Load(&callback.failed) > 0; });
    Check(started == 1 && done && Load(&callback.completed) == 1, "capability query completed",
          Line() << "start " << started << ", completed " << Load(&callback.completed) << ", failed "
                 << Load(&callback.failed) << ", " << Load(&results.resolutions.entries) << " resolutions, "
                 << Load(&results.rates.entries) << " frame rates");
    if (way == 0) {
      deleteQuery(module);
      Check(true, "capability module deleted by DeleteCapabilityQueryModule");
    } else {
      delete module;
      Check(true, "capability module deleted through IIPCapabilityQuery*");
    }
  }

  Check(Load(&log.errors) == 0, "no error line in the log", Line() << Load(&log.lines) << " lines");
  FreeLibrary(g_dll);
  DeleteFileA(xmlPath.Text());
  Line summary;
  if (g_failures == 0) {
    summary << "msvc host: all checks passed";
  } else {
    summary << "msvc host: " << g_failures << " checks FAILED";
  }
  summary.Print();
  return g_failures == 0 ? 0 : 1;
}

}  // namespace

extern "C" void HostMain() { ExitProcess(static_cast<unsigned>(Run())); }
