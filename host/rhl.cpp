// rhl: a command-line host for raster handler modules.
#include <limits.h>
#include <math.h>
#include <stdio.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "check.h"
#include "output.h"
#include "session.h"
#include "web/server.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The folder rhl was started from: the module and the sample sit beside it.
std::string ExeDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string p(path);
  return p.substr(0, p.rfind('/'));
}

struct Usage {
  std::string message;
};

bool LoadSession(rhl::Session &session, const std::string &modulePath) {
  std::string error;
  if (session.Load(modulePath, &error)) return true;
  std::cerr << "rhl: " << error << "\n";
  return false;
}

// Probe and open, with the module's own messages already on standard error.
bool OpenImage(rhl::Session &session, const std::string &file) {
  if (!session.Probe(file)) {
    std::cerr << "rhl: the module does not serve '" << file << "'\n";
    return false;
  }
  if (session.Open(file)) return true;
  std::cerr << "rhl: the module could not open '" << file << "' (error code "
            << session.module().GetLastError()(const_cast<Raster *>(&session.raster()))
            << ")\n";
  return false;
}

// The block is packed: its doubles are read by value, never bound by reference.
nlohmann::json PointJson(const ControlPoint &p) {
  double wx = p.worldX, wy = p.worldY, px = p.pixelX, py = p.pixelY;
  return {{"world", {wx, wy}}, {"pixel", {px, py}}};
}

int Info(const std::string &file, const std::string &modulePath, bool json) {
  rhl::Session session;
  if (!LoadSession(session, modulePath)) return kExitFailed;
  if (!OpenImage(session, file)) return kExitFailed;
  const Raster &r = session.raster();
  const HandlerDescriptor &d = session.descriptor();
  static const char *kNames[3] = {"top-left", "bottom-right", "top-right"};
  if (json) {
    nlohmann::json out = {{"module", {{"name", d.name}, {"description", d.description}}},
                          {"file", file},
                          {"resolved", r.name},
                          {"width", r.width},
                          {"height", r.height}};
    nlohmann::json points = nlohmann::json::array();
    for (int i = 0; i < 3; ++i) {
      nlohmann::json p = PointJson(r.registration->points[i]);
      p["corner"] = kNames[i];
      points.push_back(p);
    }
    out["control_points"] = points;
    std::array<double, 6> gt = rhl::GeoTransformOf(*r.registration);
    out["geotransform"] = gt;
    std::cout << out.dump(2) << "\n";
    return 0;
  }
  printf("module:        %s (%s)\n", d.name, d.description);
  printf("resolved:      %s\n", r.name);
  printf("size:          %d x %d\n", r.width, r.height);
  for (int i = 0; i < 3; ++i) {
    const ControlPoint &p = r.registration->points[i];
    printf("%-14s pixel (%.17g, %.17g) -> world (%.17g, %.17g)\n",
           (std::string(kNames[i]) + ":").c_str(), p.pixelX, p.pixelY, p.worldX, p.worldY);
  }
  return 0;
}

// The rectangle --src names, or none when it is not given.
bool ParseRect(const std::string &text, RhlRect *rect) {
  if (text.empty()) return false;
  long l, t, rt, b;
  char end;
  if (sscanf(text.c_str(), "%ld,%ld,%ld,%ld%c", &l, &t, &rt, &b, &end) != 4 || rt <= l || b <= t)
    throw Usage{"--src takes L,T,R,B in image pixels, with R > L and B > T"};
  *rect = RhlRect{(int32_t)l, (int32_t)t, (int32_t)rt, (int32_t)b};
  return true;
}

int Render(const std::string &file, const std::string &out, const std::string &src,
           const std::string &size, double scale, const std::string &modulePath) {
  rhl::ViewRequest request;
  bool haveSource = ParseRect(src, &request.source);
  int sizeW = 0, sizeH = 0;
  if (!size.empty()) {
    char end;
    if (sscanf(size.c_str(), "%dx%d%c", &sizeW, &sizeH, &end) != 2 || sizeW < 1 || sizeH < 1)
      throw Usage{"--size takes WxH (two positive whole numbers)"};
  }
  rhl::Session session;
  if (!LoadSession(session, modulePath)) return kExitFailed;
  if (!OpenImage(session, file)) return kExitFailed;
  const Raster &r = session.raster();
  if (!haveSource) request.source = RhlRect{0, 0, r.width, r.height};
  int32_t sw = request.source.right - request.source.left;
  int32_t sh = request.source.bottom - request.source.top;
  request.destination = {0, 0, sw, sh};
  if (sizeW > 0) {
    request.destination = {0, 0, sizeW, sizeH};
    request.scale = (double)sizeW / sw;
  } else if (scale > 0) {
    request.destination = {0, 0, std::max(1, (int)lround(sw * scale)),
                           std::max(1, (int)lround(sh * scale))};
    request.scale = scale;
  }
  int32_t width = 0, height = 0;
  rhl::WindowSize(request, &width, &height);
  int32_t lineWidth = 0;
  if (!session.BeginView(request, &lineWidth)) {
    std::cerr << "rhl: the module could not set up the view\n";
    return kExitFailed;
  }
  if (lineWidth != width) {
    std::cerr << "rhl: the module chose a line width of " << lineWidth << ", expected " << width
              << "\n";
    return kExitFailed;
  }
  // The output's pixels: the source rectangle spread over the window.
  std::array<double, 6> gt = rhl::GeoTransformOf(*r.registration);
  double fx = (double)sw / width, fy = (double)sh / height;
  std::array<double, 6> geo = {
      gt[0] + request.source.left * gt[1] + request.source.top * gt[2], gt[1] * fx, gt[2] * fy,
      gt[3] + request.source.left * gt[4] + request.source.top * gt[5], gt[4] * fx, gt[5] * fy};
  std::string error;
  bool ok = rhl::WriteView(session, width, height, geo, out, isatty(2) != 0, &error);
  session.EndView();
  if (!ok) {
    std::cerr << "rhl: " << error << "\n";
    return kExitFailed;
  }
  return 0;
}

int Check(const std::string &modulePath) {
  bool all = true;
  for (const rhl::CheckItem &item : rhl::CheckModule(modulePath)) {
    printf("%-4s %s%s%s\n", item.ok ? "ok" : "FAIL", item.what.c_str(),
           item.ok || item.detail.empty() ? "" : ": ", item.ok ? "" : item.detail.c_str());
    all = all && item.ok;
  }
  printf("%s\n", all ? "the module meets the host interface" : "the module does NOT meet the host interface");
  return all ? 0 : kExitFailed;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"rhl: drives a raster handler module as the host application does."};
  app.require_subcommand(1);
  const std::string exeDir = ExeDir();
  std::string modulePath = exeDir + "/ECW.RHL";

  std::string file, out, src, size;
  bool json = false;
  double scale = 0;

  CLI::App *info = app.add_subcommand("info", "Probe and open FILE; print what the module learns.");
  info->add_option("FILE", file, "Image or .url link file")->required();
  info->add_option("--module", modulePath, "Handler module to load")->capture_default_str();
  info->add_flag("--json", json, "Print one JSON object");

  CLI::App *render = app.add_subcommand("render", "Render one view to a georeferenced image.");
  render->add_option("FILE", file, "Image or .url link file (default: the bundled sample)");
  render->add_option("-o,--output", out, "Output: .png (with a .pgw world file) or .tif")
      ->required();
  render->add_option("--src", src, "Source rectangle L,T,R,B in image pixels (default: whole)");
  CLI::Option *sizeOpt = render->add_option("--size", size, "Destination size WxH");
  render->add_option("--scale", scale, "Scale factor handed to the module")
      ->check(CLI::PositiveNumber)
      ->excludes(sizeOpt);
  render->add_option("--module", modulePath, "Handler module to load")->capture_default_str();

  CLI::App *check = app.add_subcommand("check", "Check MODULE against the host interface.");
  check->add_option("MODULE", modulePath, "Handler module to check")->required();

  rhl::web::ServeOptions serveOptions;
  CLI::App *serve = rhl::web::AddServeCommand(app, &serveOptions, &modulePath);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }
  try {
    if (*info) return Info(file, modulePath, json);
    if (*render) {
      if (file.empty()) file = exeDir + "/samples/world.url";
      return Render(file, out, src, size, scale, modulePath);
    }
    if (*serve) return rhl::web::Serve(serveOptions, modulePath);
    return Check(modulePath);
  } catch (const Usage &u) {
    std::cerr << "rhl: " << u.message << "\nRun with --help for more information.\n";
    return kExitUsage;
  }
}
