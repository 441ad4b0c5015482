#include "server.h"

#include <ctype.h>
#include <errno.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <httplib.h>
#include <thread>

#include "assets.h"
#include "images.h"
#include "pyramid.h"

namespace rhl {
namespace web {
namespace {

constexpr int kExitFailed = 1;
// Idle keep-alive connections are dropped after this, which also bounds how
// long a stop waits for them.
constexpr time_t kKeepAliveSeconds = 2;

// Request text as it may go into the log: no control characters.
std::string Printable(const std::string &text) {
  std::string out = text.substr(0, 400);
  for (char &c : out)
    if (!isprint((unsigned char)c)) c = '?';
  return out;
}

// The reason goes in the body and, for the log, in a header: the body may be
// compressed by the time the logger sees it.
void Refuse(httplib::Response &res, int status, const std::string &why) {
  res.status = status;
  res.set_content(why + "\n", "text/plain; charset=utf-8");
  res.set_header("Rhl-Reason", Printable(why));
}

// A tile number: decimal digits only, and few enough to fit.
bool ParseNumber(const std::string &text, int64_t *value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (!isdigit((unsigned char)c)) return false;
  *value = atoll(text.c_str());
  return true;
}

// /tiles/{image}/{z}/{x}/{y}.png: the image is looked up among those served,
// never used as a path.
void ServeTile(ImageSet &images, const std::string &rest, httplib::Response &res) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t slash; (slash = rest.find('/', from)) != std::string::npos; from = slash + 1)
    parts.push_back(rest.substr(from, slash - from));
  parts.push_back(rest.substr(from));
  const std::string suffix = ".png";
  if (parts.size() != 4 || parts[3].size() <= suffix.size() ||
      parts[3].compare(parts[3].size() - suffix.size(), suffix.size(), suffix) != 0)
    return Refuse(res, 404, "tiles are /tiles/{image}/{z}/{x}/{y}.png");
  if (!images.Has(parts[0])) return Refuse(res, 404, "no image '" + parts[0] + "'");
  int64_t z, x, y;
  parts[3].erase(parts[3].size() - suffix.size());
  if (!ParseNumber(parts[1], &z) || !ParseNumber(parts[2], &x) || !ParseNumber(parts[3], &y))
    return Refuse(res, 400, "a tile's level, column and row are whole numbers");
  Tile tile = images.Render(parts[0], (int)z, x, y);
  if (tile.status == Tile::kNoSuchTile)
    return Refuse(res, 404, "image '" + parts[0] + "' has no tile " + parts[1] + "/" +
                                parts[2] + "/" + parts[3]);
  if (tile.status == Tile::kFailed) return Refuse(res, 500, tile.error);
  char timing[96];
  snprintf(timing, sizeof timing, "view;dur=%.3f, png;dur=%.3f", tile.viewMs, tile.encodeMs);
  res.set_header("Server-Timing", timing);
  res.set_header("Cache-Control", "no-cache");
  res.set_content(std::move(tile.png), "image/png");
}

void ServeAsset(const httplib::Request &req, httplib::Response &res) {
  for (size_t i = 0; i < kAssetCount; ++i) {
    if (req.path == kAssets[i].path) {
      res.set_content(reinterpret_cast<const char *>(kAssets[i].bytes), kAssets[i].size,
                      kAssets[i].type);
      return;
    }
  }
  Refuse(res, 404, "no such page");
}

void Route(httplib::Server &server, ImageSet &images) {
  std::string catalogue =
      images.Describe().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  server.Get("/api/images", [catalogue](const httplib::Request &, httplib::Response &res) {
    res.set_content(catalogue, "application/json");
  });
  server.Get(R"(/tiles/(.*))", [&images](const httplib::Request &req, httplib::Response &res) {
    ServeTile(images, req.matches[1], res);
  });
  server.Get(R"(/.*)", ServeAsset);
  server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
    if (res.body.empty()) Refuse(res, res.status, "refused (HTTP " + std::to_string(res.status) + ")");
  });
  server.set_exception_handler(
      [](const httplib::Request &, httplib::Response &res, std::exception_ptr failure) {
        std::string why = "unexpected failure";
        try {
          std::rethrow_exception(failure);
        } catch (const std::exception &e) {
          why = e.what();
        } catch (...) {
        }
        Refuse(res, 500, why);
      });
  // Refusals and failures go to the log, with the reason the client was given.
  server.set_logger([](const httplib::Request &req, const httplib::Response &res) {
    if (res.status < 400) return;
    fprintf(stderr, "rhl serve: %s %s: %d %s\n", Printable(req.method).c_str(),
            Printable(req.path).c_str(), res.status, res.get_header_value("Rhl-Reason").c_str());
  });
  // Address reuse for a quick restart, but not port sharing: a second server
  // on a port in use must fail, not take half its connections.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // A response goes out as a header write and a body write: without this
  // the body waits for the client's delayed acknowledgement of the header.
  server.set_tcp_nodelay(true);
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  server.set_keep_alive_max_count(1000);
}

// Why the address cannot be listened on, in words: tries the bind itself.
std::string BindFailure(const std::string &host, int port) {
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) return "'" + host + "' is not an address (" + gai_strerror(rc) + ")";
  std::string why = "the address cannot be listened on";
  int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  if (fd >= 0) {
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, found->ai_addr, found->ai_addrlen) != 0) {
      int error = errno;
      if (error == EADDRINUSE)
        why = "port " + std::to_string(port) + " is in use (--port 0 picks a free one)";
      else if (error == EADDRNOTAVAIL)
        why = "'" + host + "' is not an address of this machine";
      else
        why = strerror(error);
    }
    close(fd);
  }
  freeaddrinfo(found);
  return why;
}

// The address a browser on this machine opens.
std::string PageAddress(const std::string &host, int port) {
  std::string where = host == "0.0.0.0" ? "127.0.0.1" : host == "::" ? "::1" : host;
  if (where.find(':') != std::string::npos) where = "[" + where + "]";
  return "http://" + where + ":" + std::to_string(port) + "/";
}

bool IsLoopback(const std::string &host) {
  return host.rfind("127.", 0) == 0 || host == "::1" || host == "localhost";
}

}  // namespace

CLI::App *AddServeCommand(CLI::App &app, ServeOptions *options, std::string *modulePath) {
  CLI::App *serve = app.add_subcommand(
      "serve", "Serve a web map of FILE...: every tile one view through the module.");
  serve->add_option("FILE", options->files, "Images or .url link files, one map layer each")
      ->required();
  serve->add_option("--port", options->port, "TCP port; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  serve->add_option("--bind", options->bind,
                    "Address to listen on (the default is reachable from this machine only)")
      ->capture_default_str();
  serve->add_option("--module", *modulePath, "Handler module to load")->capture_default_str();
  serve->footer(
      "Open the address it prints in a web browser; Ctrl-C stops it. Tiles are "
      "/tiles/{image}/{z}/{x}/{y}.png, 256 x 256, level 0 the whole image and the top "
      "level 1:1; /api/images describes the images as JSON.");
  return serve;
}

int Serve(const ServeOptions &options, const std::string &modulePath) {
  // The stop signals are taken by one thread, blocked everywhere else (every
  // thread made from here on inherits the mask) and stay blocked until exit,
  // so that a second Ctrl-C does not cut the stop short.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a browser that hangs up is not a reason to stop

  int status = kExitFailed;
  {
    ImageSet images;
    std::string error;
    httplib::Server server;
    int port = -1;
    if (!images.Open(modulePath, options.files, &error)) {
      fprintf(stderr, "rhl serve: %s\n", error.c_str());
    } else {
      Route(server, images);
      port = options.port == 0 ? server.bind_to_any_port(options.bind)
                               : server.bind_to_port(options.bind, options.port) ? options.port
                                                                                 : -1;
      if (port <= 0)
        fprintf(stderr, "rhl serve: cannot listen on %s port %d: %s\n", options.bind.c_str(),
                options.port, BindFailure(options.bind, options.port).c_str());
    }
    if (port > 0) {
      printf("rhl serve: %zu image%s on %s port %d, %s\n", images.size(),
             images.size() == 1 ? "" : "s", options.bind.c_str(), port,
             IsLoopback(options.bind) ? "reachable from this machine only"
                                      : "REACHABLE FROM OTHER MACHINES");
      printf("rhl serve: open %s in a web browser; Ctrl-C stops\n",
             PageAddress(options.bind, port).c_str());
      fflush(stdout);
      std::atomic<bool> listening{true};
      std::thread stopper([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (!listening) return;
        // A signal that comes before the server runs waits for it.
        while (listening && !server.is_running())
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (listening) server.stop();
      });
      bool clean = server.listen_after_bind();
      listening = false;
      pthread_kill(stopper.native_handle(), SIGTERM);  // wakes it when no signal came
      stopper.join();
      printf("rhl serve: stopped\n");
      status = clean ? 0 : kExitFailed;
    }
  }
  return status;
}

}  // namespace web
}  // namespace rhl
