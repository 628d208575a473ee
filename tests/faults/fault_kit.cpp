#include "fault_kit.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace faults {

using telvora::IVideoFrame;
using telvora::ipcapture::IIPCaptureDriver;

void Figure(const std::string& name, double value, const std::string& unit) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.6g", value);
  std::cout << "FIGURE " << name << " " << text << " " << unit << std::endl;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double Max(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

std::string HostAndPort(const std::string& url) {
  const size_t start = url.find("://") + 3;
  return url.substr(start, url.find('/', start) - start);
}

uint16_t PortOf(const std::string& url) {
  const std::string authority = HostAndPort(url);
  return static_cast<uint16_t>(std::atoi(authority.c_str() + authority.rfind(':') + 1));
}

namespace {

size_t CountEntries(const char* folder) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return 0;
  size_t count = 0;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
}

}  // namespace

size_t OpenFileDescriptors() {
  // The directory stream itself holds one descriptor while it is read.
  const size_t count = CountEntries("/proc/self/fd");
  return count > 0 ? count - 1 : 0;
}

size_t ThreadCount() { return CountEntries("/proc/self/task"); }

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

size_t HeapInUse() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  return 0;
#endif
}

bool UnderAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

std::vector<uint16_t> ProbedUdpPorts() {
  // Socket inodes this process holds, then their local ports in /proc/net/udp.
  std::vector<std::string> inodes;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      char target[256];
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
      if (n <= 0) continue;
      target[n] = 0;
      if (std::strncmp(target, "socket:[", 8) == 0) inodes.push_back(std::string(target + 8, std::strlen(target) - 9));
    }
    closedir(dir);
  }
  std::vector<uint16_t> ports;
  std::ifstream udp("/proc/net/udp");
  std::string line;
  std::getline(udp, line);
  while (std::getline(udp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmit, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmit >> uid >> timeout >> inode;
    if (std::find(inodes.begin(), inodes.end(), inode) == inodes.end()) continue;
    const size_t colon = local.find(':');
    if (colon == std::string::npos) continue;
    const unsigned port = static_cast<unsigned>(std::strtoul(local.c_str() + colon + 1, nullptr, 16));
    if (port >= 3556 && port <= 4555) ports.push_back(static_cast<uint16_t>(port));
  }
  std::sort(ports.begin(), ports.end());
  return ports;
}

void UseTransport(const std::string& transport) {
  static int counter = 0;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("orvfaults-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
  std::filesystem::create_directories(dir);
  std::ofstream xml(dir / "Orvalen.xml");
  xml << "<Configuration><Default><VideoChannel><RTPMode>" << (transport == "tcp" ? "RTPoverRTSP" : "UDP")
      << "</RTPMode><KeepAlive>1</KeepAlive></VideoChannel></Default></Configuration>\n";
  xml.close();
  setenv("ORVALEN_HOST_DIR", (dir.string() + "/").c_str(), 1);
}

// ---- FaultSink ----

FaultSink::~FaultSink() { Release(); }

bool FaultSink::OnFrame(IVideoFrame* frame) {
  ++m_calls;
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_mode == Mode::kBlock && !m_released) {
    ++m_blocked;
    const auto released = [this] { return m_released || m_mode != Mode::kBlock; };
    if (m_blockMs == 0)
      m_changed.wait(lock, released);
    else
      m_changed.wait_for(lock, std::chrono::milliseconds(m_blockMs), released);
    --m_blocked;
  }
  if (m_mode == Mode::kThrow) throw std::runtime_error("the host's frame sink failed");
  if (frame == nullptr) return false;
  m_arrivals.push_back(Clock::now());
  if (auto* fake = dynamic_cast<telvora::test::FakeFrame*>(frame)) {
    std::vector<uint8_t> bytes = fake->Bytes();
    if (m_keptBytes + bytes.size() <= m_keepLimit) {
      m_keptBytes += bytes.size();
      m_kept.push_back(std::move(bytes));
      m_keptFormats.push_back(fake->m_format);
    }
  }
  ++m_frames;
  m_changed.notify_all();
  return true;
}

void FaultSink::SetMode(Mode mode, unsigned blockMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_mode = mode;
  m_blockMs = blockMs;
  m_released = false;
  m_changed.notify_all();
}

void FaultSink::Release() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_released = true;
  m_mode = Mode::kAccept;
  m_changed.notify_all();
}

Clock::time_point FaultSink::FirstFrameAfter(Clock::time_point moment) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto at = std::upper_bound(m_arrivals.begin(), m_arrivals.end(), moment);
  return at == m_arrivals.end() ? Clock::time_point() : *at;
}

bool FaultSink::WaitForFrames(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return m_frames.load() >= count; }, timeout);
}

std::vector<std::vector<uint8_t>> FaultSink::KeptFrames() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_kept;
}

std::vector<uint32_t> FaultSink::KeptFormats() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_keptFormats;
}

// ---- DriverLibrary, HostDevice ----

DriverLibrary& DriverLibrary::Get() {
  static DriverLibrary library = [] {
    DriverLibrary loaded;
    const char* build = std::getenv("ORVALEN_BUILD_DIR");
    const std::string path = std::string(build != nullptr ? build : ".") + "/src/driver/Orvalen.so";
    // Kept loaded to the end of the process: its threads are all gone by
    // then, and unloading would only hide leaks behind unmapped code.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* why = dlerror();
      loaded.error = path + ": " + (why != nullptr ? why : "cannot be loaded");
      return loaded;
    }
    loaded.create = reinterpret_cast<IIPCaptureDriver* (*)()>(dlsym(handle, "CreateIPCapture"));
    loaded.destroy = reinterpret_cast<void (*)(IIPCaptureDriver*)>(dlsym(handle, "DeleteIPCapture"));
    if (loaded.create == nullptr || loaded.destroy == nullptr) loaded.error = path + ": exports missing";
    return loaded;
  }();
  return library;
}

HostDevice::HostDevice() = default;

HostDevice::~HostDevice() { Close(); }

bool HostDevice::Open(const std::string& address, const std::string& path, const std::string& user,
                      const std::string& password) {
  DriverLibrary& library = DriverLibrary::Get();
  if (library.create == nullptr) return false;
  m_device.connection.address = address;
  m_device.connection.userName = user;
  m_device.connection.password = password;
  m_device.parameters[1] = path;
  m_driver = library.create();
  if (m_driver == nullptr) return false;
  if (m_driver->Open(&m_log, &m_allocator, &m_device)) return true;
  library.destroy(m_driver);
  m_driver = nullptr;
  return false;
}

bool HostDevice::OpenChannel(telvora::IHostFrameSink* sink, uint32_t channel) {
  return m_driver != nullptr && m_driver->GetVideoCapture() != nullptr &&
         m_driver->GetVideoCapture()->OpenChannel(channel, sink, &m_settings);
}

double HostDevice::CloseChannel(uint32_t channel) {
  if (m_driver == nullptr || m_driver->GetVideoCapture() == nullptr) return -1;
  const Clock::time_point start = Clock::now();
  const bool closed = m_driver->GetVideoCapture()->CloseChannel(channel);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return closed ? ms : -1;
}

void HostDevice::Close() {
  if (m_driver == nullptr) return;
  m_driver->Close();
  DriverLibrary::Get().destroy(m_driver);
  m_driver = nullptr;
}

std::string HostDevice::LogText() {
  std::string text;
  for (const auto& line : m_log.Logs().Lines()) text += std::to_string(line.first) + " " + line.second + "\n";
  return text;
}

// ---- UdpFlood ----

UdpFlood::UdpFlood(std::string sourceAddress, uint16_t destinationPort, size_t datagramBytes,
                   unsigned packetsPerSecond, unsigned durationMs)
    : m_source(std::move(sourceAddress)),
      m_port(destinationPort),
      m_bytes(std::max<size_t>(datagramBytes, 12)),
      m_rate(std::max(packetsPerSecond, 1u)),
      m_durationMs(durationMs) {}

UdpFlood::~UdpFlood() { Stop(); }

bool UdpFlood::Start() {
  m_socket = socket(AF_INET, SOCK_DGRAM, 0);
  if (m_socket < 0) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = inet_addr(m_source.c_str());
  if (bind(m_socket, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    close(m_socket);
    m_socket = -1;
    return false;
  }
  int size = 1 << 20;
  setsockopt(m_socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
  m_thread = std::thread([this] { Run(); });
  return true;
}

void UdpFlood::Stop() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  if (m_socket >= 0) close(m_socket);
  m_socket = -1;
}

void UdpFlood::Run() {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(m_port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<uint8_t> datagram(m_bytes);
  for (size_t i = 0; i < datagram.size(); ++i) datagram[i] = static_cast<uint8_t>(i * 131 + 7);
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::milliseconds(m_durationMs);
  uint16_t sequence = 1;
  uint32_t timestamp = 0;
  size_t sent = 0;
  while (!m_stop && Clock::now() < end) {
    // Paced in batches of a millisecond's worth, so the rate holds without
    // a sleep per packet.
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const size_t due = static_cast<size_t>(elapsed * m_rate);
    while (sent < due && !m_stop) {
      if (m_rtp) {
        datagram[0] = 0x80;
        datagram[1] = 96;
        datagram[2] = static_cast<uint8_t>(sequence >> 8);
        datagram[3] = static_cast<uint8_t>(sequence);
        for (int b = 0; b < 4; ++b) datagram[4 + b] = static_cast<uint8_t>(timestamp >> (24 - 8 * b));
        for (int b = 0; b < 4; ++b) datagram[8 + b] = static_cast<uint8_t>(m_ssrc >> (24 - 8 * b));
        ++sequence;
        timestamp += 90;
      }
      sendto(m_socket, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
      ++sent;
      m_sent = sent;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  m_cpu = ThreadCpuSeconds();
}

}  // namespace faults
