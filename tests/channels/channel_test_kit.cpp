#include "channels/channel_test_kit.h"

#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/module.h"

namespace telvora {
namespace test {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

std::string MediaFolder() {
  static std::once_flag once;
  static std::string folder;
  std::call_once(once, [] {
    uint8_t id[16];
    platform::CreateRandomId(id);
    char name[64];
    std::snprintf(name, sizeof(name), "orvchan-media-%02x%02x%02x%02x", id[0], id[1], id[2], id[3]);
    folder = (std::filesystem::temp_directory_path() / name).string();
    std::filesystem::create_directories(folder);
    // Removed when the test program ends.
    std::atexit([] {
      std::error_code error;
      std::filesystem::remove_all(folder, error);
    });
  });
  return folder;
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes MakeWithFfmpeg(const std::string& name, const std::string& arguments) {
  if (!HaveFfmpeg()) return Bytes();
  const std::string path = MediaFolder() + "/" + name;
  const std::string command = "timeout 60 ffmpeg -nostdin -v error -y " + arguments + " '" + path + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return Bytes();
  return ReadAll(path);
}

// ThreadSanitizer starts a helper thread of its own along with the first
// thread the program creates; starting one here, before any test counts
// threads, keeps it out of the counts.
const bool kRuntimeThreadsStarted = [] {
  std::thread([] {}).join();
  return true;
}();

const char kSource[] = "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 25 ";

// Drops every group-of-VOP header, so that each I-VOP starts its frame.
Bytes StripGov(const Bytes& stream) {
  Bytes out;
  size_t i = 0;
  while (i < stream.size()) {
    if (i + 3 < stream.size() && stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1 && stream[i + 3] == 0xB3) {
      size_t next = i + 4;
      while (next + 2 < stream.size() && !(stream[next] == 0 && stream[next + 1] == 0 && stream[next + 2] == 1)) ++next;
      i = next + 2 < stream.size() ? next : stream.size();
      continue;
    }
    out.push_back(stream[i++]);
  }
  return out;
}

std::set<std::string> OwnSocketInodes() {
  std::set<std::string> inodes;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return inodes;
  while (dirent* entry = readdir(dir)) {
    char link[256];
    const std::string path = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(path.c_str(), link, sizeof(link) - 1);
    if (n <= 0) continue;
    link[n] = '\0';
    // "socket:[12345]"
    if (std::strncmp(link, "socket:[", 8) == 0) inodes.insert(std::string(link + 8, std::strlen(link + 8) - 1));
  }
  closedir(dir);
  return inodes;
}

}  // namespace

size_t CountOwnThreads() {
  size_t count = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return 0;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
}

std::string OwnThreadNames() {
  std::string names;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    names += (names.empty() ? "" : ", ") + name;
  }
  closedir(dir);
  return names;
}

bool WaitForThreadCount(size_t count, milliseconds timeout) {
  return WaitUntil([&] { return CountOwnThreads() <= count; }, timeout);
}

std::vector<uint16_t> OwnUdpPorts() {
  std::vector<uint16_t> ports;
  const std::set<std::string> inodes = OwnSocketInodes();
  std::ifstream table("/proc/self/net/udp");
  std::string line;
  std::getline(table, line);  // column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (inodes.count(inode) == 0) continue;
    const size_t colon = local.find(':');
    if (colon != std::string::npos) ports.push_back(static_cast<uint16_t>(std::strtoul(local.c_str() + colon + 1, nullptr, 16)));
  }
  return ports;
}

size_t CountOwnUdpSockets() { return OwnUdpPorts().size(); }

size_t CountOwnProbedPorts() {
  size_t n = 0;
  for (uint16_t port : OwnUdpPorts())
    if (port >= 3556 && port <= 4555) ++n;
  return n;
}

uint16_t FindFreeUdpPortPair() {
  uint8_t id[16];
  platform::CreateRandomId(id);
  unsigned start = 20000 + ((id[0] << 8 | id[1]) % 10000) * 2;
  for (unsigned port = start; port < 60000; port += 2) {
    bool free = true;
    for (unsigned p : {port, port + 1}) {
      const int s = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(p));
      address.sin_addr.s_addr = htonl(INADDR_ANY);
      free = free && s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
      if (s >= 0) close(s);
    }
    if (free) return static_cast<uint16_t>(port);
  }
  return 0;
}

bool HaveFfmpeg() {
  static const bool have = std::system("ffmpeg -version >/dev/null 2>&1") == 0;
  return have;
}

const std::vector<uint8_t>& H264Stream() {
  static std::once_flag once;
  static Bytes stream;
  std::call_once(once, [] {
    stream = MakeWithFfmpeg("clip.h264", std::string(kSource) +
                                             "-c:v libx264 -preset ultrafast -profile:v baseline -bf 0 -g 10 "
                                             "-pix_fmt yuv420p -f h264");
  });
  return stream;
}

const std::vector<uint8_t>& Mpeg4StreamWithoutGov() {
  static std::once_flag once;
  static Bytes stream;
  std::call_once(once, [] {
    stream = StripGov(MakeWithFfmpeg("clip.m4v", std::string(kSource) + "-c:v mpeg4 -bf 0 -g 10 -f m4v"));
  });
  return stream;
}

const std::vector<uint8_t>& JpegImageBytes() {
  static std::once_flag once;
  static Bytes image;
  std::call_once(once, [] {
    image = MakeWithFfmpeg("picture.jpg",
                           "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 1 -c:v mjpeg -huffman default "
                           "-pix_fmt yuvj420p -threads 1 -f mjpeg");
  });
  return image;
}

std::vector<RtpDatagram> H264Packets(const RtpStreamSettings& settings) {
  RtpSender sender(settings);
  return sender.PacketizeH264(SplitH264AccessUnits(H264Stream()));
}

std::vector<RtpDatagram> Mpeg4Packets(const RtpStreamSettings& settings) {
  RtpSender sender(settings);
  return sender.PacketizeMpeg4(SplitMpeg4Frames(Mpeg4StreamWithoutGov()));
}

std::vector<RtpDatagram> JpegPackets(const RtpStreamSettings& settings, size_t frames) {
  std::vector<RtpDatagram> out;
  JpegImage image;
  std::string why;
  if (!ParseJpegImage(JpegImageBytes(), &image, &why)) return out;
  RtpSender sender(settings);
  JpegOptions options;
  options.inBandTables = true;
  for (size_t i = 0; i < frames; ++i)
    if (!sender.PacketizeJpeg(image, options, &out, i)) return std::vector<RtpDatagram>();
  return out;
}

bool SendDatagram(const std::vector<uint8_t>& bytes, const std::string& destination, uint16_t port) {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = inet_addr(destination.c_str());
  const bool ok = sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) ==
                  static_cast<ssize_t>(bytes.size());
  close(s);
  return ok;
}

PacedRtpSender::PacedRtpSender(std::vector<RtpDatagram> packets, std::string destination, uint16_t port,
                               unsigned frameIntervalMs)
    : m_packets(std::move(packets)), m_destination(std::move(destination)), m_port(port), m_intervalMs(frameIntervalMs) {}

PacedRtpSender::~PacedRtpSender() { Stop(); }

void PacedRtpSender::Start() {
  if (!m_thread.joinable() && !m_packets.empty()) m_thread = std::thread(&PacedRtpSender::Run, this);
}

void PacedRtpSender::Stop() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
}

void PacedRtpSender::Run() {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return;
  if (!m_source.empty()) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = inet_addr(m_source.c_str());
    if (bind(s, reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0) {
      close(s);
      return;
    }
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(m_port);
  to.sin_addr.s_addr = inet_addr(m_destination.c_str());
  uint16_t sequence = 1;
  uint32_t timestamp = 90000;
  size_t at = 0;
  auto next = std::chrono::steady_clock::now();
  while (!m_stop) {
    std::this_thread::sleep_until(next);
    next += milliseconds(m_intervalMs);
    if (!m_sending) continue;
    // One frame: every packet up to and including the next marker.
    for (;;) {
      std::vector<uint8_t> bytes = m_packets[at].bytes;
      const bool marker = m_packets[at].marker;
      at = (at + 1) % m_packets.size();
      bytes[2] = static_cast<uint8_t>(sequence >> 8);
      bytes[3] = static_cast<uint8_t>(sequence);
      ++sequence;
      for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
      const uint32_t ssrc = m_ssrc.load();
      if (ssrc != 0)
        for (int i = 0; i < 4; ++i) bytes[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
      sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
      if (marker || at == 0) break;
    }
    timestamp += m_step.load();
    ++m_framesSent;
  }
  close(s);
}

bool TimedFrameSink::OnFrame(IVideoFrame* frame) {
  SYSTEMTIME time{};
  if (frame != nullptr) frame->GetTime(&time);
  const int64_t offset = SystemTimeToUnixMs(time) - NowUnixMs();
  const bool accepted = FakeFrameSink::OnFrame(frame);
  if (accepted) {
    std::lock_guard<std::mutex> lock(m_timesMutex);
    m_offsets.push_back(offset);
    m_last = std::chrono::steady_clock::now();
  }
  return accepted;
}

std::vector<int64_t> TimedFrameSink::OffsetsMs() const {
  std::lock_guard<std::mutex> lock(m_timesMutex);
  return m_offsets;
}

std::chrono::steady_clock::time_point TimedFrameSink::LastFrameAt() const {
  std::lock_guard<std::mutex> lock(m_timesMutex);
  return m_last;
}

DeviceRig::DeviceRig(uint16_t port, const std::string& address) {
  driver.SetAllocator(&allocator);
  driver.Info().address = address;
  driver.Info().port = port;
  driver.Info().timeoutMs = 1000;
  driver.Info().noDataTimeoutMs = 2000;
  driver.SetParameter(1, "/stream");
}

TempFolder::TempFolder() {
  uint8_t id[16];
  platform::CreateRandomId(id);
  char name[64];
  std::snprintf(name, sizeof(name), "orvchan-%02x%02x%02x%02x%02x", id[0], id[1], id[2], id[3], id[4]);
  const std::filesystem::path path = std::filesystem::temp_directory_path() / name;
  std::filesystem::create_directories(path);
  m_path = path.string() + "/";
}

TempFolder::~TempFolder() {
  std::error_code error;
  std::filesystem::remove_all(m_path, error);
}

bool TempFolder::Write(const std::string& name, const std::string& text) const {
  std::ofstream out(m_path + name, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

std::string InterleavedConfiguration() {
  return "<?xml version=\"1.0\"?>\n<Configuration>\n  <Default>\n    <VideoChannel>\n"
         "      <RTPMode>RTPoverRTSP</RTPMode>\n    </VideoChannel>\n  </Default>\n</Configuration>\n";
}

int64_t SystemTimeToUnixMs(const SYSTEMTIME& t) {
  // Days from civil (proleptic Gregorian).
  const int y = t.wYear - (t.wMonth <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned m = t.wMonth;
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + t.wDay - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = static_cast<int64_t>(era) * 146097 + static_cast<int64_t>(doe) - 719468;
  return ((days * 24 + t.wHour) * 60 + t.wMinute) * 60000 + static_cast<int64_t>(t.wSecond) * 1000 + t.wMilliseconds;
}

int64_t NowUnixMs() {
  return std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace test
}  // namespace telvora
