#include "mpeg4_clip.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>

#include <cstdio>

namespace testcam {

namespace {

// Replay position of one media; freed with the media's appsrc.
struct Replay {
  const std::vector<GstBuffer*>* buffers;
  GstClockTime loopDuration;
  size_t index;
  guint64 loop;
};

void OnNeedData(GstElement* appsrc, guint /*length*/, gpointer data) {
  Replay* replay = static_cast<Replay*>(data);
  const std::vector<GstBuffer*>& buffers = *replay->buffers;
  if (replay->index >= buffers.size()) {
    replay->index = 0;
    ++replay->loop;
  }
  GstBuffer* source = buffers[replay->index++];
  GstBuffer* buffer = gst_buffer_copy(source);  // shares the memory
  GstClockTime offset = replay->loop * replay->loopDuration;
  if (GST_BUFFER_PTS_IS_VALID(source)) GST_BUFFER_PTS(buffer) = GST_BUFFER_PTS(source) + offset;
  if (GST_BUFFER_DTS_IS_VALID(source)) GST_BUFFER_DTS(buffer) = GST_BUFFER_DTS(source) + offset;
  if (replay->loop > 0) GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_DISCONT);
  gst_app_src_push_buffer(GST_APP_SRC(appsrc), buffer);
}

void FreeReplay(gpointer data, GClosure* /*closure*/) { delete static_cast<Replay*>(data); }

}  // namespace

Mpeg4Clip::~Mpeg4Clip() {
  for (GstBuffer* buffer : buffers_) gst_buffer_unref(buffer);
  if (caps_ != nullptr) gst_caps_unref(caps_);
  if (!tempDir_.empty()) {
    std::remove((tempDir_ + "/clip.mp4").c_str());
    std::remove(tempDir_.c_str());
  }
}

std::string Mpeg4Clip::Generate(int width, int height, int fps, std::string* error) {
  gchar* dir = g_dir_make_tmp("testcam-XXXXXX", nullptr);
  if (dir == nullptr) {
    *error = "cannot create a temporary folder for the MPEG-4 clip";
    return std::string();
  }
  tempDir_ = dir;
  g_free(dir);
  std::string path = tempDir_ + "/clip.mp4";
  std::string size = std::to_string(width) + "x" + std::to_string(height);
  std::string source = "testsrc2=size=" + size + ":rate=" + std::to_string(fps);
  std::string gop = std::to_string(fps);
  // No B-frames: the payloader and the receivers expect decode order to be
  // presentation order. One key frame a second.
  const gchar* argv[] = {"ffmpeg", "-nostdin", "-v",   "error", "-y", "-f",     "lavfi", "-i",
                         source.c_str(), "-t", "10", "-c:v", "mpeg4", "-bf", "0", "-g", gop.c_str(),
                         "-q:v", "4", "-an", path.c_str(), nullptr};
  gchar* errors = nullptr;
  gint status = 0;
  GError* spawnError = nullptr;
  gboolean ran = g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                              nullptr, nullptr, &errors, &status, &spawnError);
  if (!ran) {
    *error = std::string("cannot run ffmpeg to make the MPEG-4 clip: ") + spawnError->message;
    g_error_free(spawnError);
    g_free(errors);
    return std::string();
  }
  bool ok = g_spawn_check_wait_status(status, nullptr);
  if (!ok) *error = std::string("ffmpeg failed to make the MPEG-4 clip: ") + (errors ? errors : "");
  g_free(errors);
  return ok ? path : std::string();
}

bool Mpeg4Clip::Load(const std::string& path, std::string* error) {
  gchar* location = g_strescape(path.c_str(), nullptr);
  std::string launch = std::string("filesrc location=\"") + location +
                       "\" ! qtdemux ! mpeg4videoparse ! appsink name=sink sync=false";
  g_free(location);
  GError* parseError = nullptr;
  GstElement* pipeline = gst_parse_launch(launch.c_str(), &parseError);
  if (pipeline == nullptr) {
    *error = std::string("cannot build the clip reader: ") + (parseError ? parseError->message : "?");
    if (parseError) g_error_free(parseError);
    return false;
  }
  if (parseError) g_error_free(parseError);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstClockTime end = 0;
  GstClockTime lastDuration = 0;
  for (;;) {
    // A bounded pull: a broken file ends the loop instead of blocking.
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 5 * GST_SECOND);
    if (sample == nullptr) break;
    if (caps_ == nullptr && gst_sample_get_caps(sample) != nullptr)
      caps_ = gst_caps_copy(gst_sample_get_caps(sample));
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (buffer != nullptr && GST_BUFFER_PTS_IS_VALID(buffer)) {
      buffers_.push_back(gst_buffer_ref(buffer));
      if (GST_BUFFER_DURATION_IS_VALID(buffer)) lastDuration = GST_BUFFER_DURATION(buffer);
      if (GST_BUFFER_PTS(buffer) + lastDuration > end) end = GST_BUFFER_PTS(buffer) + lastDuration;
    }
    gst_sample_unref(sample);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  if (buffers_.empty() || caps_ == nullptr || end == 0) {
    *error = "the clip " + path + " holds no MPEG-4 video";
    return false;
  }
  loopDuration_ = end;
  return true;
}

void Mpeg4Clip::AttachTo(GstElement* appsrc) const {
  g_object_set(appsrc, "caps", caps_, "max-bytes", static_cast<guint64>(512 * 1024), nullptr);
  Replay* replay = new Replay{&buffers_, loopDuration_, 0, 0};
  g_signal_connect_data(appsrc, "need-data", G_CALLBACK(OnNeedData), replay,
                        FreeReplay, static_cast<GConnectFlags>(0));
}

}  // namespace testcam
