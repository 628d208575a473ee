// testcam: a real RTSP server on loopback serving live synthetic video at
// /stream, for recording with the driver and for the end-to-end tests.
#include <glib-unix.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "mpeg4_clip.h"
#include "rotating_auth.h"
#include "testcam_options.h"

namespace {

const char* const kRole = "viewer";

gboolean OnStopSignal(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

void OnMediaConfigure(GstRTSPMediaFactory* /*factory*/, GstRTSPMedia* media, gpointer clip) {
  GstElement* bin = gst_rtsp_media_get_element(media);
  GstElement* appsrc = gst_bin_get_by_name_recurse_up(GST_BIN(bin), testcam::kClipSourceName);
  if (appsrc != nullptr) {
    static_cast<const testcam::Mpeg4Clip*>(clip)->AttachTo(appsrc);
    gst_object_unref(appsrc);
  }
  gst_object_unref(bin);
}

gboolean OnRotateSignal(gpointer auth) {
  std::fprintf(stderr, "testcam: %u Digest nonces made stale\n", testcam::RotateNonces(static_cast<GstRTSPAuth*>(auth)));
  return G_SOURCE_CONTINUE;
}

void OnNewSession(GstRTSPClient* /*client*/, GstRTSPSession* session, gpointer seconds) {
  gst_rtsp_session_set_timeout(session, static_cast<guint>(GPOINTER_TO_INT(seconds)));
}

void OnClientConnected(GstRTSPServer* /*server*/, GstRTSPClient* client, gpointer seconds) {
  g_signal_connect(client, "new-session", G_CALLBACK(OnNewSession), seconds);
}

// Returns the SIGUSR1 source that rotates the Digest nonces, 0 without Digest.
guint SetUpAuth(GstRTSPServer* server, GstRTSPMediaFactory* factory, const testcam::Options& o) {
  if (o.auth == testcam::Auth::kNone) return 0;
  GstRTSPAuth* auth = o.auth == testcam::Auth::kDigest ? testcam::NewRotatingAuth() : gst_rtsp_auth_new();
  GstRTSPToken* token = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRole, nullptr);
  if (o.auth == testcam::Auth::kBasic) {
    gchar* basic = gst_rtsp_auth_make_basic(o.user.c_str(), o.password.c_str());
    gst_rtsp_auth_add_basic(auth, basic, token);
    g_free(basic);
    gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_BASIC);
  } else {
    gst_rtsp_auth_add_digest(auth, o.user.c_str(), o.password.c_str(), token);
    gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_DIGEST);
  }
  gst_rtsp_token_unref(token);
  // No default token: a request without valid credentials gets 401.
  gst_rtsp_server_set_auth(server, auth);
  gst_rtsp_media_factory_add_role(factory, kRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                  GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
  // The server keeps the auth alive until after the source is removed.
  guint rotate = o.auth == testcam::Auth::kDigest ? g_unix_signal_add(SIGUSR1, OnRotateSignal, auth) : 0;
  g_object_unref(auth);
  return rotate;
}

void SetUpMulticast(GstRTSPMediaFactory* factory) {
  GstRTSPAddressPool* pool = gst_rtsp_address_pool_new();
  gst_rtsp_address_pool_add_range(pool, "224.3.0.1", "224.3.0.16", 5000, 5999, 16);
  gst_rtsp_media_factory_set_address_pool(factory, pool);
  g_object_unref(pool);
}

GstRTSPLowerTrans LowerTransports(unsigned protocols) {
  unsigned set = GST_RTSP_LOWER_TRANS_UNKNOWN;
  if (protocols & testcam::kProtoUdp) set |= GST_RTSP_LOWER_TRANS_UDP;
  if (protocols & testcam::kProtoTcp) set |= GST_RTSP_LOWER_TRANS_TCP;
  if (protocols & testcam::kProtoMcast) set |= GST_RTSP_LOWER_TRANS_UDP_MCAST;
  return static_cast<GstRTSPLowerTrans>(set);
}

bool ElementExists(const char* name) {
  GstElementFactory* factory = gst_element_factory_find(name);
  if (factory == nullptr) return false;
  gst_object_unref(factory);
  return true;
}

int Serve(const testcam::Options& o) {
  std::unique_ptr<testcam::Mpeg4Clip> clip;
  if (o.codec == testcam::Codec::kMpeg4) {
    clip.reset(new testcam::Mpeg4Clip());
    std::string error;
    const char* given = std::getenv("ORVALEN_TESTCAM_CLIP");
    std::string path = (given != nullptr && given[0] != '\0') ? std::string(given)
                                                              : clip->Generate(o.width, o.height, o.fps, &error);
    if (path.empty() || !clip->Load(path, &error)) {
      std::fprintf(stderr, "testcam: %s\n", error.c_str());
      return 1;
    }
  }

  const char* needed[] = {"videotestsrc", "videoconvert", "x264enc", "rtph264pay", "jpegenc", "rtpjpegpay",
                          "rtpmp4vpay"};
  for (const char* name : needed) {
    if (!ElementExists(name)) {
      std::fprintf(stderr, "testcam: the GStreamer element %s is missing (install the gstreamer1.0-plugins)\n",
                   name);
      return 1;
    }
  }

  GstRTSPServer* server = gst_rtsp_server_new();
  gst_rtsp_server_set_address(server, "127.0.0.1");
  std::string service = std::to_string(o.port);
  gst_rtsp_server_set_service(server, service.c_str());
  // The default backlog of 5 drops connections when a test opens many
  // sessions at once and the main loop is busy preparing the pipeline.
  gst_rtsp_server_set_backlog(server, 64);

  GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
  std::string launch = testcam::BuildLaunch(o, ElementExists("clockoverlay"));
  gst_rtsp_media_factory_set_launch(factory, launch.c_str());
  // One pipeline for every client, so that many sessions cost one encoder.
  gst_rtsp_media_factory_set_shared(factory, TRUE);
  gst_rtsp_media_factory_set_protocols(factory, LowerTransports(o.protocols));
  if (o.protocols & testcam::kProtoMcast) SetUpMulticast(factory);
  if (clip) g_signal_connect(factory, "media-configure", G_CALLBACK(OnMediaConfigure), clip.get());
  const guint rotateSource = SetUpAuth(server, factory, o);
  if (o.sessionTimeoutS > 0)
    g_signal_connect(server, "client-connected", G_CALLBACK(OnClientConnected), GINT_TO_POINTER(o.sessionTimeoutS));

  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
  gst_rtsp_mount_points_add_factory(mounts, "/stream", factory);  // takes the factory
  g_object_unref(mounts);

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  guint serverSource = gst_rtsp_server_attach(server, nullptr);
  if (serverSource == 0) {
    std::fprintf(stderr, "testcam: cannot listen on 127.0.0.1:%d\n", o.port);
    g_object_unref(server);
    g_main_loop_unref(loop);
    return 1;
  }
  guint intSource = g_unix_signal_add(SIGINT, OnStopSignal, loop);
  guint termSource = g_unix_signal_add(SIGTERM, OnStopSignal, loop);

  std::printf("ready rtsp://127.0.0.1:%d/stream\n", gst_rtsp_server_get_bound_port(server));
  std::fflush(stdout);
  std::fprintf(stderr, "testcam: %s %dx%d at %d fps, auth %s\n", testcam::CodecName(o.codec), o.width, o.height,
               o.fps,
               o.auth == testcam::Auth::kNone ? "none" : (o.auth == testcam::Auth::kBasic ? "basic" : "digest"));

  g_main_loop_run(loop);

  std::fprintf(stderr, "testcam: stopping\n");
  g_source_remove(intSource);
  g_source_remove(termSource);
  if (rotateSource != 0) g_source_remove(rotateSource);
  g_source_remove(serverSource);
  // Closing the clients tears down their media pipelines before exit.
  GstRTSPSessionPool* sessions = gst_rtsp_server_get_session_pool(server);
  gst_rtsp_session_pool_cleanup(sessions);
  g_object_unref(sessions);
  gst_rtsp_server_client_filter(
      server,
      [](GstRTSPServer*, GstRTSPClient*, gpointer) -> GstRTSPFilterResult { return GST_RTSP_FILTER_REMOVE; },
      nullptr);
  g_object_unref(server);
  g_main_loop_unref(loop);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  testcam::Options options;
  std::string error;
  if (!testcam::ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "testcam: %s\n%s", error.c_str(), testcam::UsageText());
    return 2;
  }
  const char* config = std::getenv("ORVALEN_TESTCAM_MPEG4_CONFIG");
  options.mpeg4ConfigInSdpOnly = config != nullptr && std::string(config) == "sdp";
  if (options.help) {
    std::fputs(testcam::UsageText(), stdout);
    return 0;
  }
  gst_init(nullptr, nullptr);
  int status = Serve(options);
  gst_deinit();
  return status;
}
