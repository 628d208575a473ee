#include "rotating_auth.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace {

struct RotatingAuth {
  GstRTSPAuth parent;
  std::mutex* lock;
  std::set<std::string>* fresh;  // nonces handed out since the last rotation
  std::set<const void*>* told;   // clients answered stale, until they repeat
};

struct RotatingAuthClass {
  GstRTSPAuthClass parent;
};

G_DEFINE_TYPE(RotatingAuth, rotating_auth, GST_TYPE_RTSP_AUTH)

// The value of name="..." or name=token in a Digest header; "" if absent.
std::string Parameter(const char* header, const char* name) {
  const std::string text(header);
  const std::string key = std::string(name) + "=";
  size_t at = 0;
  while ((at = text.find(key, at)) != std::string::npos) {
    // Only at the start of a parameter, not inside another name (cnonce).
    if (at == 0 || text[at - 1] == ' ' || text[at - 1] == ',') break;
    at += key.size();
  }
  if (at == std::string::npos) return "";
  size_t start = at + key.size();
  if (start < text.size() && text[start] == '"') {
    const size_t end = text.find('"', start + 1);
    return end == std::string::npos ? "" : text.substr(start + 1, end - start - 1);
  }
  const size_t end = text.find_first_of(", ", start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void GenerateHeader(GstRTSPAuth* auth, GstRTSPContext* ctx) {
  GST_RTSP_AUTH_CLASS(rotating_auth_parent_class)->generate_authenticate_header(auth, ctx);
  auto* self = reinterpret_cast<RotatingAuth*>(auth);
  gchar* value = nullptr;
  for (gint i = 0; gst_rtsp_message_get_header(ctx->response, GST_RTSP_HDR_WWW_AUTHENTICATE, &value, i) == GST_RTSP_OK;
       ++i) {
    if (g_ascii_strncasecmp(value, "Digest ", 7) != 0) continue;
    const std::string nonce = Parameter(value, "nonce");
    std::lock_guard<std::mutex> hold(*self->lock);
    if (!nonce.empty()) self->fresh->insert(nonce);
  }
}

// The nonce of the request's Digest credentials if it was handed out before
// the last rotation.
bool CarriesStaleNonce(RotatingAuth* self, GstRTSPContext* ctx) {
  if (ctx->request == nullptr) return false;
  gchar* value = nullptr;
  if (gst_rtsp_message_get_header(ctx->request, GST_RTSP_HDR_AUTHORIZATION, &value, 0) != GST_RTSP_OK) return false;
  if (g_ascii_strncasecmp(value, "Digest ", 7) != 0) return false;
  const std::string nonce = Parameter(value, "nonce");
  std::lock_guard<std::mutex> hold(*self->lock);
  return !nonce.empty() && self->fresh->count(nonce) == 0;
}

// Whether the client was answered stale and now comes back; forgets it.
bool ComesBack(RotatingAuth* self, GstRTSPContext* ctx) {
  std::lock_guard<std::mutex> hold(*self->lock);
  return self->told->erase(ctx->client) != 0;
}

gboolean Check(GstRTSPAuth* auth, GstRTSPContext* ctx, const gchar* check) {
  auto* self = reinterpret_cast<RotatingAuth*>(auth);
  const bool url = std::strcmp(check, GST_RTSP_AUTH_CHECK_URL) == 0;
  // The stock check lets keep-alives through unauthenticated; the repeat
  // after a stale answer is verified here, so the log tells if it was right.
  if (url && ctx->request != nullptr && !CarriesStaleNonce(self, ctx) && ComesBack(self, ctx)) {
    if (ctx->token == nullptr) GST_RTSP_AUTH_GET_CLASS(auth)->authenticate(auth, ctx);
    g_printerr("testcam: %s after the stale answer, with the fresh nonce: %s\n",
               gst_rtsp_method_as_text(ctx->request->type_data.request.method),
               ctx->token != nullptr ? "authenticated" : "NOT authenticated");
  }
  // Every request passes the URL check first, keep-alives included.
  if (url && CarriesStaleNonce(self, ctx)) {
    gst_rtsp_message_init_response(ctx->response, GST_RTSP_STS_UNAUTHORIZED,
                                   gst_rtsp_status_as_text(GST_RTSP_STS_UNAUTHORIZED), ctx->request);
    GenerateHeader(auth, ctx);
    gchar* value = nullptr;
    for (gint i = 0;
         gst_rtsp_message_get_header(ctx->response, GST_RTSP_HDR_WWW_AUTHENTICATE, &value, i) == GST_RTSP_OK; ++i) {
      if (g_ascii_strncasecmp(value, "Digest ", 7) != 0) continue;
      gchar* stale = g_strdup_printf("%s, stale=TRUE", value);
      gst_rtsp_message_remove_header(ctx->response, GST_RTSP_HDR_WWW_AUTHENTICATE, i);
      gst_rtsp_message_take_header(ctx->response, GST_RTSP_HDR_WWW_AUTHENTICATE, stale);
      break;
    }
    g_printerr("testcam: %s with a stale nonce, answered 401 with a fresh one\n",
               gst_rtsp_method_as_text(ctx->request->type_data.request.method));
    {
      std::lock_guard<std::mutex> hold(*self->lock);
      self->told->insert(ctx->client);
    }
    gst_rtsp_client_send_message(ctx->client, ctx->session, ctx->response);
    return FALSE;
  }
  return GST_RTSP_AUTH_CLASS(rotating_auth_parent_class)->check(auth, ctx, check);
}

void Finalize(GObject* object) {
  auto* self = reinterpret_cast<RotatingAuth*>(object);
  delete self->fresh;
  delete self->told;
  delete self->lock;
  G_OBJECT_CLASS(rotating_auth_parent_class)->finalize(object);
}

void rotating_auth_class_init(RotatingAuthClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = Finalize;
  GST_RTSP_AUTH_CLASS(klass)->check = Check;
  GST_RTSP_AUTH_CLASS(klass)->generate_authenticate_header = GenerateHeader;
}

void rotating_auth_init(RotatingAuth* self) {
  self->lock = new std::mutex();
  self->fresh = new std::set<std::string>();
  self->told = new std::set<const void*>();
}

}  // namespace

namespace testcam {

GstRTSPAuth* NewRotatingAuth() { return GST_RTSP_AUTH(g_object_new(rotating_auth_get_type(), nullptr)); }

unsigned RotateNonces(GstRTSPAuth* auth) {
  auto* self = reinterpret_cast<RotatingAuth*>(auth);
  std::lock_guard<std::mutex> hold(*self->lock);
  const unsigned count = static_cast<unsigned>(self->fresh->size());
  self->fresh->clear();
  return count;
}

}  // namespace testcam
