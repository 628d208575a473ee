// The programs the end-to-end tests drive, and helpers around them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "e2e_process.h"

namespace e2e {

// Built programs, as the build names them.
std::string TestcamPath();
std::string CapturePath();

// Starts testcam with the given options and --port 0; returns the URL from
// its ready line, or "" (with the reason in *error) when it did not come up.
std::string StartTestcam(ChildProcess* camera, const std::vector<std::string>& options, const std::string& dir,
                         std::string* error, const std::map<std::string, std::string>& env = {});

// The URL with user:password@ put in front of the host.
std::string WithCredentials(const std::string& url, const std::string& user, const std::string& password);

// Records url with ffmpeg for the given seconds over transport ("udp" or
// "tcp") into a Matroska file; returns ffmpeg's exit status.
int RecordWithFfmpeg(const std::string& url, const std::string& transport, int seconds, const std::string& file,
                     std::string* output);

}  // namespace e2e
