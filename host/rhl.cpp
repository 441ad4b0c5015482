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
#include "refused.h"
#include "web/server.h"
#include "web/worker.h"

#ifndef RHL_VERSION
#define RHL_VERSION "unknown"
#endif

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime (GCC up to 13) takes a dynamic TLS block that malloc
// happens to place 16 bytes past a page boundary for an old glibc's layout
// and records garbage for it; LeakSanitizer then dies at exit scanning that
// (the module's library has such blocks). Untracked, those blocks are not
// scanned, which can only add to what it reports, never hide a leak.
extern "C" __attribute__((visibility("default"))) const char *__asan_default_options() {
  return "intercept_tls_get_addr=0";
}
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
  try {
    rhl::RefuseForeignOptions(args);
  } catch (const rhl::Usage &u) {
    rhl::Say(u.message);
    std::cerr << "Run with --help for more information.\n";
    return rhl::kExitUsage;
  }
  std::reverse(args.begin(), args.end());  // the parser takes them last first
  try {
    app.parse(args);
  } catch (const CLI::ExtrasError &e) {
    // Named in the order given, which the parser's own message reverses.
    std::vector<std::string> extras;
    for (CLI::App *sub : app.get_subcommands())
      for (const std::string &x : sub->remaining()) extras.push_back(x);
    for (const std::string &x : app.remaining()) extras.push_back(x);
    std::string list;
    for (const std::string &x : extras) list += " '" + rhl::Escaped(x) + "'";
    rhl::Say((extras.size() == 1 ? "this argument was not expected:" : "these arguments were not expected:") + list);
    std::cerr << "Run with --help for more information.\n";
    return rhl::kExitUsage;
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
