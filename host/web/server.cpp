#include "server.h"

#include <ctype.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "assets.h"
#include "http.h"
#include "images.h"
#include "pyramid.h"
#include "workers.h"

namespace rhl {
namespace web {
namespace {

constexpr int kExitFailed = 1;

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
void ServeTile(ImageSet &images, const std::string &rest, HttpResponse &res) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t slash; (slash = rest.find('/', from)) != std::string::npos; from = slash + 1)
    parts.push_back(rest.substr(from, slash - from));
  parts.push_back(rest.substr(from));
  const std::string suffix = ".png";
  if (parts.size() != 4 || parts[3].size() <= suffix.size() ||
      parts[3].compare(parts[3].size() - suffix.size(), suffix.size(), suffix) != 0)
    return res.Refuse(404, "tiles are /tiles/{image}/{z}/{x}/{y}.png");
  if (!images.Has(parts[0])) return res.Refuse(404, "no image '" + Escaped(parts[0]) + "'");
  int64_t z, x, y;
  parts[3].erase(parts[3].size() - suffix.size());
  if (!ParseNumber(parts[1], &z) || !ParseNumber(parts[2], &x) || !ParseNumber(parts[3], &y))
    return res.Refuse(400, "a tile's level, column and row are whole numbers");
  Tile tile = images.Render(parts[0], (int)z, x, y);
  if (tile.status == Tile::kNoSuchTile)
    return res.Refuse(404, "image '" + parts[0] + "' has no tile " + parts[1] + "/" + parts[2] +
                               "/" + parts[3]);
  if (tile.status == Tile::kTimedOut) return res.Refuse(504, tile.error);
  if (tile.status == Tile::kFailed) return res.Refuse(500, tile.error);
  char timing[96];
  snprintf(timing, sizeof timing, "view;dur=%.3f, png;dur=%.3f", tile.viewMs, tile.encodeMs);
  res.headers.emplace_back("Server-Timing", timing);
  res.headers.emplace_back("Cache-Control", "no-cache");
  res.type = "image/png";
  res.body = std::move(tile.png);
}

void ServeAsset(const HttpRequest &req, HttpResponse &res) {
  for (size_t i = 0; i < kAssetCount; ++i) {
    if (req.path == kAssets[i].path) {
      res.type = kAssets[i].type;
      res.body.assign(reinterpret_cast<const char *>(kAssets[i].bytes), kAssets[i].size);
      return;
    }
  }
  res.Refuse(404, "no such page");
}

HttpHandler Route(ImageSet &images) {
  std::string catalogue =
      images.Describe().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return [&images, catalogue](const HttpRequest &req, HttpResponse &res) {
    const std::string tiles = "/tiles/";
    try {
      if (req.path == "/api/images") {
        res.type = "application/json";
        res.body = catalogue;
      } else if (req.path.compare(0, tiles.size(), tiles) == 0) {
        ServeTile(images, req.path.substr(tiles.size()), res);
      } else {
        ServeAsset(req, res);
      }
    } catch (const std::exception &e) {
      res = HttpResponse();
      res.Refuse(500, e.what());
    }
  };
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
  serve->add_option("--workers", options->workers,
                    "View worker processes, each with its own module, besides a spare for "
                    "images that have no view in progress (default: one a core); 0 makes every "
                    "view in this process, one at a time")
      ->check(CLI::Range(0, 256));
  serve->add_option("--view-timeout", options->viewTimeout,
                    "Seconds a view may take in its worker (and wait for one) before the request "
                    "gets 504 and the worker is replaced")
      ->check(CLI::Range(0.001, 86400.0))
      ->capture_default_str();
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
    if (!images.Open(modulePath, options.files, &error)) {
      fprintf(stderr, "rhl serve: %s\n", error.c_str());
      return status;
    }
    // Views in worker processes: the sessions above serve the catalogue.
    int workerCount = options.workers < 0 ? DefaultWorkerCount() : options.workers;
    std::unique_ptr<WorkerViews> workers;
    if (workerCount > 0) {
      WorkerOptions config;
      config.modulePath = modulePath;
      config.files = options.files;
      config.count = workerCount;
      config.viewSeconds = options.viewTimeout;
      workers = std::make_unique<WorkerViews>(config);
      if (!workers->Start(&error)) {
        fprintf(stderr, "rhl serve: the view workers could not start: %s\n", error.c_str());
        return status;
      }
      images.UseViews(workers.get());
    }
    HttpServer server(Route(images));
    int port = server.Listen(options.bind, options.port, &error);
    if (port <= 0) {
      fprintf(stderr, "rhl serve: cannot listen on %s port %d: %s\n", options.bind.c_str(),
              options.port, error.c_str());
      return status;
    }
    printf("rhl serve: %zu image%s on %s port %d, %s\n", images.size(),
           images.size() == 1 ? "" : "s", options.bind.c_str(), port,
           IsLoopback(options.bind) ? "reachable from this machine only"
                                    : "REACHABLE FROM OTHER MACHINES");
    if (workerCount > 0)
      printf("rhl serve: views in %d worker process%s and a spare, %g s at most each\n",
             workerCount, workerCount == 1 ? "" : "es", options.viewTimeout);
    else
      printf("rhl serve: views in this process, one at a time\n");
    printf("rhl serve: open %s in a web browser; Ctrl-C stops\n",
           PageAddress(options.bind, port).c_str());
    fflush(stdout);
    std::atomic<bool> listening{true};
    std::thread stopper([&] {
      int signal = 0;
      sigwait(&stopSignals, &signal);
      if (!listening) return;
      server.Stop();
      if (workers) workers->Stop();  // views in progress end now
    });
    bool clean = server.Run();
    listening = false;
    pthread_kill(stopper.native_handle(), SIGTERM);  // wakes it when no signal came
    stopper.join();
    printf("rhl serve: stopped\n");
    status = clean ? 0 : kExitFailed;
  }
  return status;
}

}  // namespace web
}  // namespace rhl
