// No log line, console line or summary ever shows the password or an
// Authorization header: Basic and Digest sessions against the test camera,
// a wrong password, and a server that echoes the credentials back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_peers.h"
#include "fault_kit.h"
#include "misbehaving_camera.h"

namespace faults {
namespace {

using namespace std::chrono_literals;

const std::string kUser = "faultuser";
const std::string kPassword = "Pw7Qz9Xk2vR";

std::string Base64(const std::string& text) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < text.size(); i += 3) {
    uint32_t n = static_cast<uint8_t>(text[i]) << 16;
    if (i + 1 < text.size()) n |= static_cast<uint8_t>(text[i + 1]) << 8;
    if (i + 2 < text.size()) n |= static_cast<uint8_t>(text[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < text.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < text.size() ? kAlphabet[n & 63] : '=';
  }
  return out;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// What must never appear, whatever the password was.
std::vector<std::string> Leaks(const std::string& text, const std::string& password) {
  std::vector<std::string> found;
  const std::string lower = Lower(text);
  for (const std::string& secret : {password, Base64(kUser + ":" + password)})
    if (text.find(secret) != std::string::npos) found.push_back(secret);
  for (const char* header : {"authorization", "response=\""})
    if (lower.find(header) != std::string::npos) found.push_back(header);
  return found;
}

struct AuthCase {
  const char* name;
  const char* auth;
  const char* password;  // what the driver is given
  bool frames;
};

void PrintTo(const AuthCase& c, std::ostream* out) { *out << c.name; }

class SecretsInLogs : public testing::TestWithParam<AuthCase> {};

TEST_P(SecretsInLogs, NoLineShowsThePasswordOrAnAuthorizationHeader) {
  ASSERT_EQ(DriverLibrary::Get().error, "");
  const AuthCase& c = GetParam();
  UseTransport("udp");
  e2e::TempDir dir;
  e2e::ChildProcess camera;
  std::string error;
  const std::string url =
      e2e::StartTestcam(&camera, {"--codec", "jpeg", "--size", "320x240", "--auth", c.auth, "--user", kUser,
                                  "--password", kPassword, "--protocols", "udp"},
                        dir.Path(), &error);
  ASSERT_FALSE(url.empty()) << error;

  // The driver in this process, as a recording server runs it.
  std::string log;
  {
    FaultSink sink;
    HostDevice host;
    ASSERT_TRUE(host.Open(HostAndPort(url), "/stream", kUser, c.password));
    ASSERT_TRUE(host.OpenChannel(&sink));
    if (c.frames) {
      EXPECT_TRUE(sink.WaitForFrames(25, 20s)) << host.LogText();
    } else {
      // The operator learns why, once, and without the password.
      EXPECT_TRUE(host.Log().Logs().WaitFor("refused the user name and password", 6s)) << host.LogText();
      EXPECT_EQ(sink.Frames(), 0u);
    }
    host.CloseChannel();
    host.Close();
    log = host.LogText();
  }
  EXPECT_EQ(Leaks(log, c.password), std::vector<std::string>{}) << log;

  // The capture host, credentials in the URL: console, errors and every
  // file it writes.
  std::string output;
  const std::string out = dir.Path() + "/out";
  const int status = e2e::RunCommand({e2e::CapturePath(), "--out", out, "--duration", "3",
                                      e2e::WithCredentials(url, kUser, c.password)},
                                     60000, &output);
  EXPECT_EQ(status, c.frames ? 0 : 1) << output;
  std::string written = output;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(out))
    if (entry.is_regular_file() && entry.path().extension() == ".json") written += e2e::ReadFile(entry.path());
  EXPECT_NE(written.find("\"frames\""), std::string::npos) << "the summary was written";
  EXPECT_EQ(Leaks(written, c.password), std::vector<std::string>{}) << written;
  camera.Stop();
  Figure(std::string("secrets_") + c.name + "_lines_scanned",
         static_cast<double>(std::count(log.begin(), log.end(), '\n') + std::count(written.begin(), written.end(), '\n')),
         "lines");
}

INSTANTIATE_TEST_SUITE_P(Auth, SecretsInLogs,
                         testing::Values(AuthCase{"basic", "basic", kPassword.c_str(), true},
                                         AuthCase{"digest", "digest", kPassword.c_str(), true},
                                         AuthCase{"digest_wrong_password", "digest", "Wr0ngPw5Tq8", false},
                                         AuthCase{"basic_wrong_password", "basic", "Wr0ngPw5Tq8", false}),
                         [](const testing::TestParamInfo<AuthCase>& info) { return info.param.name; });

// A server that rejects every request and puts the request it got,
// Authorization line and all, into its answer, once with each scheme.
TEST(SecretsInLogs, AServerEchoingTheCredentialsGetsThemIntoNoLine) {
  ASSERT_EQ(DriverLibrary::Get().error, "");
  UseTransport("udp");
  MisbehavingCamera server([](CameraConnection& connection, unsigned index) {
    const char* challenge = index % 2 != 0 ? "Basic realm=\"cam\"" : "Digest realm=\"cam\", nonce=\"0a1b2c3d\"";
    for (;;) {
      const std::string request = connection.ReadRequest();
      if (request.empty()) return;
      std::string answer = "RTSP/1.0 401 Unauthorized\r\nCSeq: " + CameraConnection::CSeqOf(request) +
                           "\r\nWWW-Authenticate: " + challenge + "\r\n";
      // Every line of the request, Authorization included, as a header.
      size_t start = 0;
      for (size_t end = request.find("\r\n"); end != std::string::npos && end > start;
           start = end + 2, end = request.find("\r\n", start))
        answer += "X-Echo: " + request.substr(start, end - start) + "\r\n";
      if (!connection.Send(answer + "\r\n")) return;
    }
  });
  FaultSink sink;
  HostDevice host;
  ASSERT_TRUE(host.Open("127.0.0.1:" + std::to_string(server.Port()), "/stream", kUser, kPassword));
  ASSERT_TRUE(host.OpenChannel(&sink));
  EXPECT_TRUE(WaitUntil([&] { return server.Connections() >= 3; }, 20s)) << host.LogText();
  host.CloseChannel();
  host.Close();
  const std::string log = host.LogText();
  EXPECT_EQ(Leaks(log, kPassword), std::vector<std::string>{}) << log;
}

}  // namespace
}  // namespace faults
