// The Windows side of the media test kit. There is no FFmpeg beside the
// Wine test run, so every command fails and the tests that need it skip.
#include <filesystem>
#include <random>
#include <string>

#include "media_test_kit.h"

namespace telvora {
namespace test {

TempDir::TempDir() {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path base = fs::temp_directory_path(error);
  std::random_device random;
  for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
    const fs::path candidate = base / ("orvalen-media-" + std::to_string(random()));
    if (fs::create_directory(candidate, error)) m_path = candidate.string();
  }
}

TempDir::~TempDir() {
  std::error_code error;
  if (!m_path.empty()) std::filesystem::remove_all(m_path, error);
}

int RunCommand(const std::string& /*command*/, std::string* output) {
  if (output != nullptr) output->clear();
  return -1;
}

}  // namespace test
}  // namespace telvora
