#include "capability_query.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "host/orvalen_host.h"
#include "process.h"
#include "summary.h"

namespace capture {

namespace {

using telvora::ICapabilityProperty;
using telvora::ICapabilityTextField;
using telvora::IFrameRateList;
using telvora::IResolutionList;

struct Field : ICapabilityTextField {
  bool set = false;
  std::string text;
  void SetText(const char* value) override {
    set = true;
    text = value ? value : "";
  }
};

struct Property : ICapabilityProperty {
  std::string value, name;
  int type = -1;
  void SetValueText(const char* text) override { value = text ? text : ""; }
  void SetType(int t) override { type = t; }
  void SetName(const char* text) override { name = text ? text : ""; }
  void SetReserved(int) override {}
};

struct Resolution {
  std::string text;
  int width, height, rateCode;
};

struct Results : telvora::ICapabilityResults, IResolutionList, IFrameRateList {
  // Written by the driver's query thread, read after the callback.
  std::mutex mutex;
  std::string model;
  std::vector<std::pair<int, int>> values;
  std::map<int, Field> fields;
  std::map<int, Property> properties;
  std::vector<Resolution> resolutions;
  std::vector<int> rateCodes;
  bool hasDefault = false;
  int defaultRate = 0;

  void SetValue(int id, int value) override {
    std::lock_guard<std::mutex> lock(mutex);
    values.emplace_back(id, value);
  }
  void SetModelName(const char* text) override {
    std::lock_guard<std::mutex> lock(mutex);
    model = text ? text : "";
  }
  ICapabilityTextField* GetConnectionField(int index) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (index < 1 || index > 4) return nullptr;
    return &fields[index];
  }
  ICapabilityProperty* GetProperty(int id) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (id < 0 || id > 1000) return nullptr;
    return &properties[id];
  }
  IResolutionList* GetResolutionList() override { return this; }
  IFrameRateList* GetFrameRateList(int) override { return this; }
  void Add(const char* text, int width, int height, int rateCode) override {
    std::lock_guard<std::mutex> lock(mutex);
    resolutions.push_back({text ? text : "", width, height, rateCode});
  }
  void SetDefault(int rateCode) override {
    std::lock_guard<std::mutex> lock(mutex);
    hasDefault = true;
    defaultRate = rateCode;
  }
  void Add(int rateCode) override {
    std::lock_guard<std::mutex> lock(mutex);
    rateCodes.push_back(rateCode);
  }
};

struct Callback : telvora::ICapabilityQueryCallback {
  std::mutex mutex;
  std::condition_variable done;
  std::string outcome;  // "" while running
  int code = 0;
  std::string message;
  void Finish(const std::string& what, int c, const char* text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!outcome.empty()) return;
    outcome = what;
    code = c;
    message = text ? text : "";
    done.notify_all();
  }
  void OnQueryCompleted() override { Finish("completed", 0, nullptr); }
  void OnQueryFailed(int c, const char* text) override { Finish("failed", c, text); }
  void OnQueryThreadKilled() override { Finish("killed", 0, nullptr); }
};

std::string ResultJson(Results& r, Callback& c, const CameraUrl& url) {
  std::lock_guard<std::mutex> lock(r.mutex);
  std::string out = "{\n";
  out += "  \"url\": " + JsonString(url.Public()) + ",\n";
  out += "  \"outcome\": " + JsonString(c.outcome) + ",\n";
  out += "  \"code\": " + std::to_string(c.code) + ",\n";
  out += "  \"message\": " + JsonString(c.message) + ",\n";
  out += "  \"model\": " + JsonString(r.model) + ",\n";
  out += "  \"connection\": {";
  bool first = true;
  for (const auto& f : r.fields) {
    if (!f.second.set) continue;
    // The password the driver echoes back is not printed.
    std::string text = f.first == 4 ? (f.second.text.empty() ? "" : "(set)") : f.second.text;
    out += std::string(first ? "" : ", ") + "\"" + std::to_string(f.first) + "\": " + JsonString(text);
    first = false;
  }
  out += "},\n  \"values\": [";
  for (size_t i = 0; i < r.values.size(); ++i)
    out += std::string(i ? ", " : "") + "[" + std::to_string(r.values[i].first) + ", " +
           std::to_string(r.values[i].second) + "]";
  out += "],\n  \"resolutions\": [";
  for (size_t i = 0; i < r.resolutions.size(); ++i) {
    const Resolution& res = r.resolutions[i];
    out += std::string(i ? ", " : "") + "{\"text\": " + JsonString(res.text) +
           ", \"width\": " + std::to_string(res.width) + ", \"height\": " + std::to_string(res.height) +
           ", \"rate_code\": " + std::to_string(res.rateCode) + "}";
  }
  out += "],\n  \"frame_rates\": {\"codes\": [";
  for (size_t i = 0; i < r.rateCodes.size(); ++i) out += std::string(i ? ", " : "") + std::to_string(r.rateCodes[i]);
  out += "], \"default\": " + (r.hasDefault ? std::to_string(r.defaultRate) : std::string("null")) + "},\n";
  out += "  \"properties\": {";
  first = true;
  for (const auto& p : r.properties) {
    out += std::string(first ? "" : ", ") + "\"" + std::to_string(p.first) + "\": {\"name\": " +
           JsonString(p.second.name) + ", \"value\": " + JsonString(p.second.value) +
           ", \"type\": " + std::to_string(p.second.type) + "}";
    first = false;
  }
  out += "}\n}\n";
  return out;
}

}  // namespace

int RunCapabilityQuery(void* library, const CameraUrl& url) {
  using Create = telvora::ipcapture::IIPCapabilityQuery*(ORVALEN_CALL*)(telvora::ICapabilityQueryCallback*, int);
  using Delete = void(ORVALEN_CALL*)(telvora::ipcapture::IIPCapabilityQuery*);
  Create create = reinterpret_cast<Create>(LibrarySymbol(library, "CreateCapabilityQueryModule"));
  Delete destroy = reinterpret_cast<Delete>(LibrarySymbol(library, "DeleteCapabilityQueryModule"));
  if (create == nullptr || destroy == nullptr) {
    std::fprintf(stderr,
                 "orvalen-capture: the driver has no capability query (CreateCapabilityQueryModule or "
                 "DeleteCapabilityQueryModule is not exported)\n");
    return 1;
  }
  Callback callback;
  Results results;
  telvora::ipcapture::IIPCapabilityQuery* module = create(&callback, 1);
  if (module == nullptr) {
    std::fprintf(stderr, "orvalen-capture: the driver created no capability query module\n");
    return 1;
  }
  std::string address = url.Public();
  int started = module->Start(address.c_str(), url.port, url.user.c_str(), url.password.c_str(), &results);
  if (started != 1) {
    std::fprintf(stderr, "orvalen-capture: the capability query did not start\n");
    destroy(module);
    return 1;
  }
  {
    std::unique_lock<std::mutex> lock(callback.mutex);
    if (!callback.done.wait_for(lock, std::chrono::seconds(15), [&] { return !callback.outcome.empty(); })) {
      lock.unlock();
      std::fprintf(stderr, "orvalen-capture: no answer from the capability query within 15 s, stopping it\n");
      module->Terminate();
      lock.lock();
      callback.done.wait_for(lock, std::chrono::seconds(5), [&] { return !callback.outcome.empty(); });
    }
  }
  // Deleting the module waits for its thread, so nothing writes into the
  // results once it returns.
  destroy(module);
  if (callback.outcome.empty()) callback.outcome = "timed out";
  std::fputs(ResultJson(results, callback, url).c_str(), stdout);
  std::fflush(stdout);
  return callback.outcome == "completed" ? 0 : 1;
}

}  // namespace capture
