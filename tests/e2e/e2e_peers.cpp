#include "e2e_peers.h"

namespace e2e {

std::string TestcamPath() { return ORVALEN_E2E_TESTCAM; }
std::string CapturePath() { return ORVALEN_E2E_CAPTURE; }

std::string StartTestcam(ChildProcess* camera, const std::vector<std::string>& options, const std::string& dir,
                         std::string* error, const std::map<std::string, std::string>& env) {
  std::vector<std::string> argv = {TestcamPath(), "--port", "0"};
  argv.insert(argv.end(), options.begin(), options.end());
  if (!camera->Start(argv, dir + "/testcam", env)) {
    *error = "cannot start " + TestcamPath();
    return std::string();
  }
  // The MPEG-4 clip is encoded at start, which takes a few seconds on a
  // loaded machine.
  std::string line = camera->WaitForLine("ready ", 60000);
  if (line.empty()) {
    *error = "testcam did not become ready: " + camera->Stderr();
    return std::string();
  }
  return line.substr(6);
}

std::string WithCredentials(const std::string& url, const std::string& user, const std::string& password) {
  const std::string scheme = "rtsp://";
  return scheme + user + ":" + password + "@" + url.substr(scheme.size());
}

int RecordWithFfmpeg(const std::string& url, const std::string& transport, int seconds, const std::string& file,
                     std::string* output) {
  return RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", transport, "-i", url, "-t",
                     std::to_string(seconds), "-c", "copy", "-f", "matroska", "-y", file},
                    (seconds + 30) * 1000, output);
}

}  // namespace e2e
