// rhl serve: a web map of the images named on the command line, on this
// machine's loopback address unless told otherwise. Every tile is one view
// through the module.
#ifndef RHL_HOST_WEB_SERVER_H
#define RHL_HOST_WEB_SERVER_H

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace rhl {
namespace web {

struct ServeOptions {
  std::vector<std::string> files;
  int port = 8080;
  std::string bind = "127.0.0.1";
  std::string resampling = "bilinear";  // gdalwarp's -r name
  size_t maxConnections = 1000;  // open at once; one more is answered 503
  int workers = -1;          // view worker processes; 0: views in this process; -1: the default
  double viewTimeout = 30;   // seconds a view may take in a worker
};

// Adds the serve command to `app`; its options fill *options and
// *modulePath.
CLI::App *AddServeCommand(CLI::App &app, ServeOptions *options, std::string *modulePath);

// Serves until SIGINT or SIGTERM. The exit status: 0 after a clean stop, 1
// when an image cannot be opened or the address cannot be listened on.
int Serve(const ServeOptions &options, const std::string &modulePath);

}  // namespace web
}  // namespace rhl

#endif
