// ingest-gst: the pipeline gst-launch-1.0 would run for N streams,
//   udpsrc port=P caps=... ! rtph264depay ! h264parse ! video/x-h264,alignment=au ! fakesink
// one branch per port (base, base+2, ...), or with --transport tcp
//   rtspsrc location=rtsp://127.0.0.1:P/stream protocols=tcp ! rtph264depay ! ...
// in one process, with a pad probe
// on each sink that counts the access units it gets: gst-launch itself can
// only count them by printing every buffer, which would cost more than the
// pipeline. On SIGINT or SIGTERM it stops and writes "frames N" to
// DIR/gst.txt. DIR/ready appears once the pipeline plays.
#include <glib-unix.h>
#include <gst/gst.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::atomic<unsigned long long> g_frames{0};

GstPadProbeReturn CountBuffer(GstPad*, GstPadProbeInfo*, gpointer) {
  g_frames.fetch_add(1, std::memory_order_relaxed);
  return GST_PAD_PROBE_OK;
}

gboolean Quit(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  gst_init(&argc, &argv);
  long basePort = 0, streams = 0;
  std::string out, transport = "udp";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--base-port") basePort = std::atol(argv[i + 1]);
    else if (name == "--streams") streams = std::atol(argv[i + 1]);
    else if (name == "--out") out = argv[i + 1];
    else if (name == "--transport") transport = argv[i + 1];
  }
  if (basePort <= 0 || streams <= 0 || out.empty() || (transport != "udp" && transport != "tcp")) {
    std::fprintf(stderr, "usage: ingest-gst --base-port P --streams N --out DIR [--transport udp|tcp]\n");
    return 2;
  }
  std::string description;
  for (long i = 0; i < streams; ++i) {
    const std::string port = std::to_string(basePort + 2 * i);
    if (transport == "tcp")
      description += "rtspsrc location=rtsp://127.0.0.1:" + port + "/stream protocols=tcp";
    else
      description += "udpsrc port=" + port +
                     " caps=\"application/x-rtp,media=video,clock-rate=90000,encoding-name=H264,payload=96\"";
    description += " ! rtph264depay ! h264parse ! video/x-h264,alignment=au ! fakesink name=sink" +
                   std::to_string(i) + " ";
  }
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (pipeline == nullptr || error != nullptr) {
    std::fprintf(stderr, "ingest-gst: %s\n", error != nullptr ? error->message : "no pipeline");
    return 1;
  }
  for (long i = 0; i < streams; ++i) {
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), ("sink" + std::to_string(i)).c_str());
    GstPad* pad = sink != nullptr ? gst_element_get_static_pad(sink, "sink") : nullptr;
    if (pad != nullptr) {
      gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, CountBuffer, nullptr, nullptr);
      gst_object_unref(pad);
    }
    if (sink != nullptr) gst_object_unref(sink);
  }
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGINT, Quit, loop);
  g_unix_signal_add(SIGTERM, Quit, loop);
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    std::fprintf(stderr, "ingest-gst: the pipeline does not play\n");
    return 1;
  }
  { std::ofstream ready(out + "/ready"); ready << "playing\n"; }
  g_main_loop_run(loop);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  g_main_loop_unref(loop);
  std::ofstream results(out + "/gst.txt");
  results << "frames " << g_frames.load() << "\n";
  return 0;
}
