#include "reason.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "cpl_conv.h"

namespace {

thread_local std::string tReason;  // the last failure's, not yet asked for
thread_local std::string tHanded;  // the last one asked for

// The files refused on this thread: how many, and the latest.
thread_local uint64_t tRefusals = 0;
thread_local int tRefusalError = 0;
thread_local std::string tRefusalReason;

}  // namespace

extern "C" NCS_API const char *NCS_CALL NCSecwexLastReason(void) {
  tHanded.swap(tReason);
  tReason.clear();
  return tHanded.c_str();
}

namespace ncsecwex {
namespace {

// Words of GDAL's and the HTTP transport's messages, and the code each means.
// The first that a failure's words hold decides.
struct Words {
  const char *words;
  int error;
};
constexpr Words kTransportWords[] = {
    {"Range downloading not supported", ESPIPE},  // no reading at an offset
    {"timed out", ETIMEDOUT},
    {"too slow", ETIMEDOUT},  // the low-speed limit
    {"Connection refused", ECONNREFUSED},
    {"Couldn't connect", ECONNREFUSED},
    {"Could not resolve", EHOSTUNREACH},
    {"certificate", EPROTO},
    {"SSL", EPROTO},
    {"TLS", EPROTO},
    {"redirects followed", ELOOP},
    {"transfer closed", ECONNRESET},
    {"Connection reset", ECONNRESET},
    {"Recv failure", ECONNRESET},
    {"Empty reply", ECONNRESET},
    // GDAL's own allocations (its block cache, a decoder's buffers).
    {"Out of memory", ENOMEM},
    {"Cannot allocate", ENOMEM},
    {"memory allocation", ENOMEM},
};

struct Status {
  int code;
  const char *words;
  int error;
};
constexpr Status kStatuses[] = {
    {401, "Unauthorized", EACCES},
    {403, "Forbidden", EACCES},
    {404, "Not Found", ENOENT},
    {407, "Proxy Authentication Required", EACCES},
    {410, "Gone", ENOENT},
    {416, "Range Not Satisfiable", ESTALE},  // the file changed under the reader
    {429, "Too Many Requests", EAGAIN},
    {500, "Internal Server Error", EIO},
    {502, "Bad Gateway", EIO},
    {503, "Service Unavailable", EAGAIN},
    {504, "Gateway Timeout", ETIMEDOUT},
};

const Status *StatusOf(int code) {
  for (const Status &s : kStatuses)
    if (s.code == code) return &s;
  return nullptr;
}

bool Holds(const std::string &text, const char *words) {
  return strcasestr(text.c_str(), words) != nullptr;
}

// The number after `key` in `text`, or 0.
int NumberAfter(const char *text, const char *key) {
  const char *at = strstr(text, key);
  return at != nullptr ? atoi(at + strlen(key)) : 0;
}

}  // namespace

void SetFailure(int error, const char *reason) noexcept {
  try {
    tReason = reason;
  } catch (const std::bad_alloc &) {
    tReason.clear();
  }
  errno = error;
}

void NoteRefusal(int error, const std::string &reason) noexcept {
  ++tRefusals;
  tRefusalError = error;
  try {
    tRefusalReason = reason;
  } catch (const std::bad_alloc &) {
    tRefusalReason.clear();
  }
}

int NearestError(const std::string &text, int httpStatus, int fallback) {
  for (const Words &w : kTransportWords)
    if (Holds(text, w.words)) return w.error;
  if (httpStatus >= 400) {
    const Status *s = StatusOf(httpStatus);
    return s != nullptr ? s->error : EIO;
  }
  return fallback;
}

std::string StatusText(int httpStatus) {
  const Status *s = StatusOf(httpStatus);
  return "the server answered " + std::to_string(httpStatus) +
         (s != nullptr ? std::string(" (") + s->words + ")" : std::string());
}

GdalMessages::GdalMessages(bool remote) : refusals_(tRefusals) {
  CPLPushErrorHandlerEx(&GdalMessages::Catch, this);
  // GDAL's HTTP layer tells the server's status and the transport's error
  // only as debug messages: asked for on this thread, unless the user set
  // GDAL's debugging one way or the other.
  if (remote && CPLGetConfigOption("CPL_DEBUG", nullptr) == nullptr) {
    CPLSetThreadLocalConfigOption("CPL_DEBUG", "VSICURL");
    debugSet_ = true;
  }
}

GdalMessages::~GdalMessages() {
  int error = errno;  // as the failure it caught left it
  if (debugSet_) CPLSetThreadLocalConfigOption("CPL_DEBUG", nullptr);
  CPLPopErrorHandler();
  errno = error;
}

void CPL_STDCALL GdalMessages::Catch(CPLErr level, CPLErrorNum, const char *text) {
  static_cast<GdalMessages *>(CPLGetErrorHandlerUserData())->Note(level, text ? text : "");
}

// Called by GDAL: nothing may be thrown through it.
void GdalMessages::Note(CPLErr level, const char *text) noexcept {
  try {
    Keep(level, text);
  } catch (const std::bad_alloc &) {
  }
}

void GdalMessages::Keep(CPLErr level, const char *text) {
  if (level == CE_Debug) {
    // "VSICURL: GetFileSize(url)=0  response_code=404",
    // "... response_code=0, curl error msg=Operation timed out ...",
    // "DownloadRegion(url): response_code=416, msg=..."
    if (strncmp(text, "VSICURL", 7) != 0) return;
    int status = NumberAfter(text, "response_code=");
    if (status >= 400) status_ = status;
    const char *error = strstr(text, "msg=");
    if (error != nullptr && error[4] != '\0') transport_ = error + 4;
    return;
  }
  if (level != CE_Failure && level != CE_Fatal) return;
  if (failures_.size() < 16) failures_.push_back(text);
  // "HTTP response code on url: 403" (0 when no answer came).
  const char *code = strstr(text, "HTTP response code on ");
  const char *colon = code != nullptr ? strrchr(text, ':') : nullptr;
  if (colon != nullptr && atoi(colon + 1) >= 400) status_ = atoi(colon + 1);
}

std::string GdalMessages::Said() const {
  std::string all = transport_;
  for (const std::string &f : failures_) all += "\n" + f;
  return all;
}

bool GdalMessages::Refused() const { return tRefusals != refusals_; }

int GdalMessages::Error(int fallback) const {
  return Refused() ? tRefusalError : NearestError(Said(), status_, fallback);
}

std::string GdalMessages::Reason() const {
  if (Refused()) return tRefusalReason;
  std::string said = Said();
  for (const Words &w : kTransportWords) {
    if (!Holds(said, w.words)) continue;
    // In the words of the message that holds them.
    for (const std::string &f : failures_)
      if (Holds(f, w.words)) return f;
    return transport_;
  }
  if (status_ >= 400) return StatusText(status_);
  return failures_.empty() ? transport_ : failures_.back();
}

}  // namespace ncsecwex
