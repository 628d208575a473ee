// The host's description of one device and of one stream, built from plain
// values. The driver copies the texts at once; these objects outlive it.
#pragma once

#include <map>
#include <string>

#include "host/orvalen_host.h"

namespace capture {

class HostDevice : public telvora::IHostDevice, public telvora::IHostDeviceModel, public telvora::IHostConnection {
 public:
  HostDevice(const std::string& address, uint16_t port, const std::string& user, const std::string& password,
             const std::string& model, uint32_t inputs);

  // Numbered device parameters; the driver stops asking at the first gap.
  void SetParameter(uint32_t index, const std::string& value) { parameters_[index] = value; }

  // IHostDevice
  telvora::IHostDeviceModel* GetModel() override { return this; }
  telvora::IHostConnection* GetConnection() override { return this; }
  const char* GetDeviceParameter(uint32_t index) override;

  // IHostDeviceModel
  const char* GetModelName() override { return model_.c_str(); }
  uint32_t GetVideoInputCount() override { return inputs_; }
  uint32_t GetValueA() override { return 0; }
  uint32_t GetValueB() override { return 0; }

  // IHostConnection
  const char* GetAddress() override { return address_.c_str(); }
  uint16_t GetPort() override { return port_; }
  uint32_t GetConnectionValue() override { return 0; }
  const char* GetUserName() override { return user_.c_str(); }
  const char* GetPassword() override { return password_.c_str(); }

 private:
  std::string address_;
  uint16_t port_;
  std::string user_;
  std::string password_;
  std::string model_;
  uint32_t inputs_;
  std::map<uint32_t, std::string> parameters_;
};

// Stream settings of a recording stream: every value 0, no secondary object.
class HostStreamSettings : public telvora::IHostStreamSettings,
                           public telvora::IHostStreamFormat,
                           public telvora::IHostStreamOptions,
                           public telvora::IHostFrameSize {
 public:
  telvora::IHostStreamFormat* GetFormat() override { return this; }
  telvora::IHostStreamOptions* GetOptions() override { return this; }
  uint32_t GetOptionValue() override { return 0; }
  telvora::IHostFrameSize* GetFrameSize() override { return this; }
  uint32_t GetFormatValue() override { return 0; }
  uint16_t GetOption1() override { return 0; }
  uint16_t GetOption2() override { return 0; }
  uint32_t WantsSecondary() override { return 0; }
  uint16_t GetSize1() override { return 0; }
  uint16_t GetSize2() override { return 0; }
};

}  // namespace capture
