#include "server.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "catalogue.h"
#include "http.h"
#include "ogc.h"
#include "routes.h"
#include "warp.h"
#include "worker.h"
#include "workers.h"

namespace rhl {
namespace web {
namespace {

constexpr int kExitFailed = 1;

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
      "serve",
      "Serve FILE... as one map: OGC WMS and WMTS, XYZ tiles and a web page, every map made of "
      "views through the module.");
  serve->add_option("FILE", options->files,
                    "Images: .ecw or .url, or any name GDAL reads; one map layer each")
      ->required();
  serve->add_option("--port", options->port, "TCP port; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  serve->add_option("--bind", options->bind,
                    "Address to listen on (the default is reachable from this machine only)")
      ->capture_default_str();
  serve->add_option("-r,--resampling", options->resampling,
                    "How views are resampled into maps off the image's own grid, as gdalwarp's "
                    "-r")
      ->check(CLI::IsMember(std::vector<std::string>(std::begin(kResamplingNames),
                                                     std::end(kResamplingNames))))
      ->capture_default_str();
  serve->add_option("--max-connections", options->maxConnections,
                    "Connections open at once; one more is answered 503 (Service Unavailable)")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
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
  serve->add_option("--module", *modulePath, "Handler module to load")->capture_default_str();
  serve->footer(
      "Open the address it prints in a web browser; Ctrl-C stops it. A file that does not "
      "open is left out with a warning (exit status 1 when none opens).\n"
      "Services: WMS 1.3.0 and 1.1.1 at /wms (the layer 'mosaic' holds every georeferenced "
      "image, the first given at the bottom); WMTS 1.0.0 at /wmts (KVP) and "
      "/wmts/1.0.0/WMTSCapabilities.xml (RESTful), in GoogleMapsCompatible and each image's "
      "own CRS; XYZ tiles at /xyz/{layer}/{z}/{x}/{y}.png with TileJSON at /xyz/{layer}.json; "
      "each image's own pixel frame at /tiles/{layer}/{z}/{x}/{y}.png (level 0 the whole image, "
      "the top level 1:1); /api/layers describes the layers as JSON.");
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
  SetUpAllocator();

  int status = kExitFailed;
  {
    Catalogue catalogue;
    if (!catalogue.Open(modulePath, options.files)) return status;
    catalogue.SetResampling(ResamplingByName(options.resampling));
    // Views in worker processes, each opening the images the catalogue
    // holds as it opened them.
    int workerCount = options.workers < 0 ? DefaultWorkerCount() : options.workers;
    std::unique_ptr<WorkerViews> workers;
    if (workerCount > 0) {
      WorkerOptions config;
      config.modulePath = modulePath;
      for (const Layer &l : catalogue.layers()) config.files.push_back(l.file);
      config.count = workerCount;
      config.viewSeconds = options.viewTimeout;
      workers = std::make_unique<WorkerViews>(config);
      std::string error;
      if (!workers->Start(&error)) {
        fprintf(stderr, "rhl serve: the view workers could not start: %s\n", error.c_str());
        return status;
      }
      catalogue.UseViews(workers.get());
    }
    Site site{catalogue, ""};
    HttpLimits limits;
    limits.maxConnections = options.maxConnections;
    HttpServer server(Routes(site), limits);
    std::string error;
    int port = server.Listen(options.bind, options.port, &error);
    if (port <= 0) {
      fprintf(stderr, "rhl serve: cannot listen on %s port %d: %s\n", options.bind.c_str(),
              options.port, error.c_str());
      return status;
    }
    std::string page = PageAddress(options.bind, port);
    site.listening = page.substr(7, page.size() - 8);  // host:port
    size_t count = catalogue.layers().size();
    printf("rhl serve: %zu image%s on %s port %d, %s\n", count, count == 1 ? "" : "s",
           options.bind.c_str(), port,
           IsLoopback(options.bind) ? "reachable from this machine only"
                                    : "REACHABLE FROM OTHER MACHINES");
    printf("rhl serve: WMS %swms, WMTS %swmts/1.0.0/WMTSCapabilities.xml, XYZ "
           "%sxyz/{layer}/{z}/{x}/{y}.png (layers: /api/layers)\n",
           page.c_str(), page.c_str(), page.c_str());
    if (workerCount > 0)
      printf("rhl serve: views in %d worker process%s and a spare, %g s at most each\n",
             workerCount, workerCount == 1 ? "" : "es", options.viewTimeout);
    else
      printf("rhl serve: views in this process, one at a time\n");
    printf("rhl serve: open %s in a web browser; Ctrl-C stops\n", page.c_str());
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
    status = clean ? 0 : kExitFailed;
    if (size_t busy = server.Busy()) {
      // Requests whose answers can no longer be sent are not waited for: a
      // stop is a stop, whatever a view is doing.
      printf("rhl serve: stopped (%zu request%s left unanswered)\n", busy, busy == 1 ? "" : "s");
      fflush(stdout);
      fflush(stderr);
      _exit(status);
    }
    printf("rhl serve: stopped\n");
  }
  return status;
}

}  // namespace web
}  // namespace rhl
