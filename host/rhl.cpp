// rhl: a command-line host for raster handler modules.
#include <algorithm>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "cli.h"
#include "gdal.h"
#include "image.h"
#include "messages.h"
#include "web/server.h"
#include "web/worker.h"

#ifndef RHL_VERSION
#define RHL_VERSION "unknown"
#endif

int main(int argc, char **argv) {
  if (argc > 1 && std::string(argv[1]) == rhl::web::kWorkerArgument) {
    GDALAllRegister();
    rhl::RouteGdalErrors();
    return rhl::web::RunViewWorker(
        argc, argv, [](rhl::Session &session, const std::string &module, const std::string &file) {
          return rhl::LoadModule(session, module) &&
                 rhl::OpenImage(session, rhl::ModuleName(session, module), file, {});
        });
  }
  CLI::App app{"rhl: drives a raster handler module as the host application does."};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("rhl ") + RHL_VERSION + " (GDAL " +
                                        GDALVersionInfo("RELEASE_NAME") + ")");
  std::string modulePath = rhl::DefaultModulePath();

  rhl::InfoOptions infoOptions;
  CLI::App *info = rhl::AddInfoCommand(app, &infoOptions, &modulePath);
  rhl::RenderOptions renderOptions;
  CLI::App *render = rhl::AddRenderCommand(app, &renderOptions, &modulePath);
  CLI::App *check = rhl::AddCheckCommand(app, &modulePath);
  rhl::web::ServeOptions serveOptions;
  CLI::App *serve = rhl::web::AddServeCommand(app, &serveOptions, &modulePath);

  std::vector<std::string> args = rhl::WithGdalSpellings(argc, argv);
  std::reverse(args.begin(), args.end());  // the parser takes them last first
  try {
    app.parse(args);
  } catch (const CLI::ParseError &e) {
    int code = app.exit(e);
    return code == 0 ? rhl::kExitOk : rhl::kExitUsage;
  }
  GDALAllRegister();
  rhl::RouteGdalErrors();
  try {
    if (*info) return rhl::RunInfo(infoOptions, modulePath);
    if (*render) return rhl::RunRender(renderOptions, modulePath);
    if (*check) return rhl::RunCheck(modulePath);
    if (*serve) return rhl::web::Serve(serveOptions, modulePath);
  } catch (const rhl::Usage &u) {
    rhl::Say(u.message);
    std::cerr << "Run with --help for more information.\n";
    return rhl::kExitUsage;
  }
  return rhl::kExitUsage;
}
