// The shell side of the media test kit: FFmpeg runs through popen.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "media_test_kit.h"

namespace telvora {
namespace test {

TempDir::TempDir() {
  char pattern[] = "/tmp/orvalen-media-XXXXXX";
  const char* made = mkdtemp(pattern);
  m_path = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
  if (m_path.rfind("/tmp/orvalen-media-", 0) == 0) RunCommand("rm -rf '" + m_path + "'");
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) text.append(buffer, n);
  const int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace test
}  // namespace telvora
