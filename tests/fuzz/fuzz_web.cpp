// rhl serve's request path: requests made of the fuzzer's bytes, answered by
// the real routes (WMS, WMTS in both encodings, XYZ, the pixel tiles, the
// page's API and files) over a catalogue of three small images opened through
// the module and the GDAL-backed library: one in UTM, one in longitude and
// latitude with nodata, one without georeferencing. Every answer is checked
// against what the server promises any client; a crash, a sanitizer's
// report, a hang or a broken promise is a finding.
//
// Input: a request as a client writes it ("GET /wms?... HTTP/1.1", header
// lines). Most inputs are read here into the request the services see (the
// target split and decoded as the transport splits it, whatever bytes it
// holds) and answered by the routes directly. An input that starts with '>'
// goes, after that byte, as raw bytes over a loopback connection to a real
// server running the same routes, so that the transport reads and checks it
// first (several requests in one input are pipelined).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cpl_conv.h"
#include "cpl_error.h"
#include "gdal.h"
#include "http.h"
#include "http_wire.h"
#include "ogc.h"
#include "ogr_srs_api.h"
#include "routes.h"

using namespace rhl::web;

namespace {

// Maps and blank answers larger than this each way are not made: they cost
// time, not coverage (the sizes are still read and refused past the largest).
constexpr int64_t kCheapSide = 256;
// Requests pipelined in one raw input, at most.
constexpr int kMaxPipelined = 8;
// How long a raw exchange may take before it is a finding.
constexpr int kExchangeMs = 15000;

void Check(bool ok, const char *what, const std::string &detail = "") {
  if (ok) return;
  fprintf(stderr, "fuzz check failed: %s%s%s\n", what, detail.empty() ? "" : ": ",
          Escaped(detail).c_str());
  abort();
}

// --- The images and the server ---

std::string gScratch;

void RemoveScratch() {
  for (const char *name : {"utm.tif", "world.tif", "plain.tif"}) unlink((gScratch + name).c_str());
  rmdir(gScratch.c_str());
}

// A 3-band image of `width` x `height` with a pattern that has no black but
// in its top-left corner; placed where `srs` is given.
void WriteImage(const std::string &path, int width, int height, const char *srs,
                const double *gt, bool nodata) {
  GDALDatasetH ds =
      GDALCreate(GDALGetDriverByName("GTiff"), path.c_str(), width, height, 3, GDT_Byte, nullptr);
  Check(ds != nullptr, "an image for the catalogue", path);
  if (srs != nullptr) {
    OGRSpatialReferenceH s = OSRNewSpatialReference(nullptr);
    OSRSetFromUserInput(s, srs);
    GDALSetSpatialRef(ds, s);
    OSRDestroySpatialReference(s);
    GDALSetGeoTransform(ds, const_cast<double *>(gt));
  }
  std::vector<uint8_t> pixels((size_t)width * height);
  for (int b = 1; b <= 3; ++b) {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x)
        pixels[(size_t)y * width + x] =
            x < 4 && y < 4 ? 0 : (uint8_t)(1 + (x * 37 + y * 11 + b * 70) % 255);
    GDALRasterBandH band = GDALGetRasterBand(ds, b);
    if (nodata) GDALSetRasterNoDataValue(band, 0);
    Check(GDALRasterIO(band, GF_Write, 0, 0, width, height, pixels.data(), width, height,
                       GDT_Byte, 0, 0) == CE_None,
          "writing an image for the catalogue");
  }
  GDALClose(ds);
}

const Site *gSite;
const HttpHandler *gRoutes;
HttpServer *gServer;
std::thread *gServing;
int gPort = -1;

// At exit, before the libraries' own state goes: the server stops.
void StopServing() {
  gServer->Stop();
  gServing->join();
}

void OpenCatalogue() {
  char folder[] = "/tmp/rhl-fuzz-web-XXXXXX";
  Check(mkdtemp(folder) != nullptr, "a scratch folder");
  gScratch = std::string(folder) + "/";
  atexit(RemoveScratch);
  const double utm[6] = {500000, 100, 0, 4500000, 0, -100};
  const double world[6] = {-180, 5.625, 0, 90, 0, -5.625};
  WriteImage(gScratch + "utm.tif", 48, 32, "EPSG:32633", utm, false);
  WriteImage(gScratch + "world.tif", 64, 32, "EPSG:4326", world, true);
  WriteImage(gScratch + "plain.tif", 20, 12, nullptr, nullptr, false);
  // Kept for the whole run: the module keeps what it opened until the
  // process ends.
  Catalogue *catalogue = new Catalogue;
  Check(catalogue->Open(RHL_MODULE_PATH,
                        {gScratch + "utm.tif", gScratch + "world.tif", gScratch + "plain.tif"}) &&
            catalogue->layers().size() == 3,
        "the catalogue of three images");
  gSite = new Site{*catalogue, "127.0.0.1:8080"};
  gRoutes = new HttpHandler(Routes(*gSite));
  gServer = new HttpServer(Routes(*gSite));
  std::string error;
  gPort = gServer->Listen("127.0.0.1", 0, &error);
  Check(gPort > 0, "a server on loopback", error);
  gServing = new std::thread([] { gServer->Run(); });
  atexit(StopServing);
}

// --- Requests ---

// The request line and header lines of `text`, read leniently: lines end at
// LF (a CR before it dropped); the line's first and last spaces part the
// method, target and version; header lines run to the first empty one.
HttpRequest ReadRequest(const std::string &text) {
  HttpRequest req;
  std::vector<std::string> lines = Split(text, '\n');
  for (std::string &line : lines)
    if (!line.empty() && line.back() == '\r') line.pop_back();
  const std::string &first = lines[0];
  size_t a = first.find(' '), b = first.rfind(' ');
  req.method = first.substr(0, a);
  if (a != std::string::npos)
    req.target = first.substr(a + 1, b > a ? b - a - 1 : std::string::npos);
  for (size_t i = 1; i < lines.size() && !lines[i].empty(); ++i) {
    size_t colon = lines[i].find(':');
    std::string name = lines[i].substr(0, colon), value;
    for (char &c : name) c = (char)tolower((unsigned char)c);
    if (colon != std::string::npos) {
      value = lines[i].substr(colon + 1);
      value.erase(0, value.find_first_not_of(" \t"));
      value.erase(value.find_last_not_of(" \t") + 1);
    }
    req.headers.emplace_back(name, value);
  }
  return req;
}

bool IsFeatureInfo(const HttpRequest &req) {
  const std::string *r = req.Param("REQUEST");
  return r != nullptr && (strcasecmp(r->c_str(), "GetFeatureInfo") == 0 ||
                          strcasecmp(r->c_str(), "feature_info") == 0);
}

// A map (or a blank answer) larger than kCheapSide, by the values the
// services read.
bool Costly(const HttpRequest &req) {
  if (IsFeatureInfo(req)) return false;  // no map is made
  for (const char *name : {"WIDTH", "HEIGHT"}) {
    const std::string *v = req.Param(name);
    int64_t side = 0;
    if (v != nullptr && ReadWhole(*v, kMaxMapSide, &side) && side > kCheapSide) return true;
  }
  return false;
}

// The same for raw bytes, as well as they can be told without the
// transport: any "width=" or "height=" with a number past kCheapSide after
// decoding, or more than kMaxPipelined requests.
bool CostlyRaw(const std::string &bytes) {
  std::string text = PercentDecoded(bytes, true);
  for (char &c : text) c = (char)tolower((unsigned char)c);
  for (const char *name : {"width=", "height="}) {
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
      size_t from = at + strlen(name), to = from;
      while (to < text.size() && to - from < 19 && isdigit((unsigned char)text[to])) ++to;
      int64_t side = 0;
      if (ReadWhole(text.substr(from, to - from), kMaxMapSide, &side) && side > kCheapSide)
        return true;
    }
  }
  int requests = 0;
  for (size_t at = text.find("http/"); at != std::string::npos; at = text.find("http/", at + 1))
    ++requests;
  return requests > kMaxPipelined;
}

// --- What every answer promises ---

bool ValidUtf8(const std::string &text) {
  const unsigned char *s = (const unsigned char *)text.data();
  for (size_t i = 0, n = text.size(); i < n;) {
    unsigned char c = s[i];
    size_t length = c < 0x80 ? 1 : c >= 0xc2 && c < 0xe0 ? 2 : c >= 0xe0 && c < 0xf0 ? 3
                                 : c >= 0xf0 && c < 0xf5 ? 4 : 0;
    if (length == 0 || i + length > n) return false;
    for (size_t k = 1; k < length; ++k)
      if ((s[i + k] & 0xc0) != 0x80) return false;
    if ((c == 0xe0 && s[i + 1] < 0xa0) || (c == 0xed && s[i + 1] >= 0xa0) ||
        (c == 0xf0 && s[i + 1] < 0x90) || (c == 0xf4 && s[i + 1] >= 0x90))
      return false;  // overlong, a surrogate, or past U+10FFFF
    i += length;
  }
  return true;
}

// No control character but those `allowed`.
bool NoControls(const std::string &text, const char *allowed) {
  for (unsigned char c : text)
    if ((c < 0x20 || c == 0x7f) && strchr(allowed, c) == nullptr) return false;
  return true;
}

bool StartsWith(const std::string &text, const char *prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

void CheckAnswer(const HttpResponse &res) {
  const std::string &type = res.type, &body = res.body;
  Check(res.status != 500, "a request made the server fail", res.reason);
  Check(res.status >= 200 && res.status <= 599, "a status code", std::to_string(res.status));
  Check(res.status >= 400 || !type.empty(), "an answer names its type");
  if (res.status == 200 && type == "image/png")
    Check(StartsWith(body, "\x89PNG\r\n\x1a\n"), "a PNG answer is a PNG");
  if (res.status == 200 && type == "image/jpeg")
    Check(StartsWith(body, "\xff\xd8\xff"), "a JPEG answer is a JPEG");
  if (res.status == 200 && type == "image/webp")
    Check(body.size() > 12 && StartsWith(body, "RIFF") && body.compare(8, 4, "WEBP") == 0,
          "a WebP answer is a WebP");
  bool xml = type.find("xml") != std::string::npos, json = type == "application/json",
       text = StartsWith(type, "text/plain");
  if (xml) {
    pugi::xml_document doc;
    Check(doc.load_buffer(body.data(), body.size()), "well-formed XML", body);
    Check(NoControls(body, "\t\n\r"), "XML holds only characters XML may hold", body);
  }
  if (json) Check(nlohmann::json::accept(body), "valid JSON", body);
  if (xml || json || text) Check(ValidUtf8(body), "text in UTF-8", body);
  if (text) Check(NoControls(body, "\t\n"), "plain text with control characters escaped", body);
  // The head the transport writes ends where it should, whatever the
  // handler put in its fields.
  std::string head = ResponseHead(res, body.size(), false, false);
  Check(head.find("\r\n\r\n") == head.size() - 4, "an answer's head ends once, at its end", head);
  for (size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '\r')
      Check(i + 1 < head.size() && head[i + 1] == '\n', "CR only before LF", head);
    if (head[i] == '\n') Check(i > 0 && head[i - 1] == '\r', "LF only after CR", head);
    Check(head[i] != '\0', "no NUL in a head", head);
  }
}

void AnswerDirectly(const std::string &text) {
  HttpRequest req = ReadRequest(text);
  std::string authority;
  if (!SplitTarget(&req, &authority)) return;  // refused as 400 by the transport
  IsLoopbackHost(authority.empty() ? req.Header("host") : authority);
  if (Costly(req)) return;
  HttpResponse res;
  (*gRoutes)(req, res);
  if (getenv("FUZZ_WEB_VERBOSE") != nullptr)  // for reading a finding's answer
    fprintf(stderr, "%s %s: %d %s (%zu bytes of %s)\n", Escaped(req.method).c_str(),
            Escaped(req.target).c_str(), res.status, Escaped(res.reason).c_str(), res.body.size(),
            res.type.c_str());
  CheckAnswer(res);
}

// Waits for `events` on `fd` (the fuzzer's timer interrupts calls): false
// past the exchange's deadline.
bool Await(int fd, short events) {
  pollfd p{fd, events, 0};
  for (;;) {
    int n = poll(&p, 1, kExchangeMs);
    if (n >= 0 || errno != EINTR) return n == 1;
  }
}

// Sends `bytes` over a fresh connection, ends the sending side and reads
// the answer until the server closes.
std::string Exchange(const std::string &bytes) {
  // Each connection ends in TIME_WAIT on this side, which holds its port
  // for a minute: thousands a minute come from many loopback addresses, so
  // that the ports never run out.
  static uint32_t connections = 0;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Check(fd >= 0, "a socket", strerror(errno));
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7f010001 + (connections++ & 0xfff));  // 127.1.x.y
  to.sin_port = htons((uint16_t)gPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Check(bind(fd, (sockaddr *)&from, sizeof from) == 0, "a loopback address", strerror(errno));
  if (connect(fd, (sockaddr *)&to, sizeof to) != 0) {
    // Interrupted, the connection goes on being made.
    int error = errno;
    socklen_t length = sizeof error;
    if (error == EINTR)
      error = Await(fd, POLLOUT) ? getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length), error
                                 : ETIMEDOUT;
    Check(error == 0, "a connection to the server", strerror(error));
  }
  for (size_t sent = 0; sent < bytes.size();) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the server closed after a refusal
    sent += (size_t)n;
  }
  shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[65536];
  for (;;) {
    Check(Await(fd, POLLIN), "the server answers or closes after a request's end");
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buffer, (size_t)n);
  }
  close(fd);
  return answer;
}

void AnswerOverTheWire(const std::string &bytes) {
  if (CostlyRaw(bytes)) return;
  std::string answer = Exchange(bytes);
  if (answer.empty()) return;  // no whole request: closed without a word
  Check(StartsWith(answer, "HTTP/1.1 ") && answer.size() > 13 &&
            isdigit((unsigned char)answer[9]) && isdigit((unsigned char)answer[10]) &&
            isdigit((unsigned char)answer[11]) && answer[12] == ' ',
        "an answer starts with a status line", answer.substr(0, 200));
  size_t end = answer.find("\r\n\r\n");
  Check(end != std::string::npos, "an answer's head ends", answer.substr(0, 400));
  std::string head = answer.substr(0, end + 2);
  Check(head.find("\r\nContent-Length: ") != std::string::npos, "an answer gives its length", head);
  Check(answer.compare(9, 3, "500") != 0, "a request made the server fail", head);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  signal(SIGPIPE, SIG_IGN);  // a closed connection is the exchange's answer
  GDALAllRegister();
  CPLSetConfigOption("CPL_DEBUG", "OFF");
  CPLSetErrorHandler(CPLQuietErrorHandler);  // every thread: the server's too
  OpenCatalogue();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string bytes((const char *)data, size);
  if (!bytes.empty() && bytes[0] == '>')
    AnswerOverTheWire(bytes.substr(1));
  else
    AnswerDirectly(bytes);
  return 0;
}
