// rhl info FILE...: what the module learns of each image on open, with what
// GDAL reads of the image it resolved to (CRS, bands, nodata).
#include <stdio.h>
#include <string.h>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "commands.h"
#include "image.h"
#include "messages.h"
#include "source.h"

namespace rhl {
namespace {

const char *const kCorners[3] = {"top-left", "bottom-right", "top-right"};

struct Described {
  std::string file, resolved;
  int32_t width = 0, height = 0;
  std::array<ControlPoint, 3> points{};
  std::array<double, 6> gt{};
  bool georeferenced = false;
  SourceFacts facts;
};

Described Describe(const Session &session, const std::string &file) {
  Described d;
  const Raster &r = session.raster();
  d.file = file;
  d.resolved = std::string(r.name, strnlen(r.name, sizeof r.name));
  d.width = r.width;
  d.height = r.height;
  for (int i = 0; i < 3; ++i) d.points[i] = r.registration->points[i];
  d.facts = ReadSourceFacts(d.resolved);
  std::optional<std::array<double, 6>> placed =
      WorldPlacement(d.facts, GeoTransformOf(*r.registration));
  d.georeferenced = placed.has_value();
  if (placed) d.gt = *placed;
  return d;
}

// Upper-left and lower-right corners, as --projwin takes them.
std::array<double, 4> Extent(const Described &d) {
  const std::array<double, 6> &g = d.gt;
  return {g[0], g[3], g[0] + d.width * g[1] + d.height * g[2],
          g[3] + d.width * g[4] + d.height * g[5]};
}

// Nodata as one value when every band has the same, else band by band.
std::string Nodata(const std::vector<BandFacts> &bands) {
  bool any = false, same = true;
  for (const BandFacts &b : bands) {
    any = any || b.hasNodata;
    same = same && b.hasNodata == bands[0].hasNodata &&
           ShortNumber(b.nodata) == ShortNumber(bands[0].nodata);
  }
  if (!any) return "none";
  if (same) return ShortNumber(bands[0].nodata);
  std::string text;
  for (size_t i = 0; i < bands.size(); ++i)
    text += (i ? ", " : "") + std::string("band ") + std::to_string(i + 1) + " " +
            (bands[i].hasNodata ? ShortNumber(bands[i].nodata) : "none");
  return text;
}

std::string CrsText(const Crs &crs) {
  return crs.authority.empty() ? crs.name : crs.name + " (" + crs.authority + ")";
}

// "64 x 64", or band by band where they differ.
std::string Blocks(const std::vector<BandFacts> &bands) {
  auto size = [](int w, int h) { return std::to_string(w) + " x " + std::to_string(h); };
  bool same = true;
  for (const BandFacts &b : bands)
    same = same && b.blockWidth == bands[0].blockWidth && b.blockHeight == bands[0].blockHeight;
  if (same) return size(bands[0].blockWidth, bands[0].blockHeight);
  std::string text;
  for (size_t i = 0; i < bands.size(); ++i)
    text += (i ? ", " : "") + std::string("band ") + std::to_string(i + 1) + " " +
            size(bands[i].blockWidth, bands[i].blockHeight);
  return text;
}

// The first band's overviews: "3: 32 x 24, 16 x 12, 8 x 6", or "none".
std::string Overviews(const std::vector<BandFacts> &bands) {
  const auto &list = bands[0].overviews;
  if (list.empty()) return "none";
  std::string text = std::to_string(list.size()) + ":";
  for (size_t i = 0; i < list.size(); ++i)
    text += (i ? ", " : " ") + std::to_string(list[i][0]) + " x " + std::to_string(list[i][1]);
  return text;
}

std::string NotGeoreferencedWhy(const Described &d) {
  if (d.facts.gcpCount > 0)
    return "no: " + std::to_string(d.facts.gcpCount) +
           " ground control points only, which the module does not use; the control points "
           "below are pixel corners";
  return "no: the control points below are pixel corners, not world positions";
}

void PrintText(const Described &d, const HandlerDescriptor &module) {
  auto pair = [](double a, double b) { return ShortNumber(a) + ", " + ShortNumber(b); };
  printf("file:          %s\n", Escaped(d.file).c_str());
  printf("module:        %s (%s)\n", module.name, module.description);
  printf("resolved:      %s\n", Escaped(d.resolved).c_str());
  printf("size:          %d x %d\n", d.width, d.height);
  const SourceFacts &f = d.facts;
  if (f.read) {
    std::string bands = std::to_string(f.bands.size()) + ":";
    for (size_t i = 0; i < f.bands.size(); ++i) {
      bands += (i ? ", " : " ") + f.bands[i].type + " " + f.bands[i].color;
      if (!f.bands[i].description.empty()) bands += " \"" + Escaped(f.bands[i].description) + "\"";
    }
    printf("driver:        %s (GDAL, reading the resolved name)\n", f.driver.c_str());
    printf("bands:         %s\n", bands.c_str());
    printf("nodata:        %s\n", Nodata(f.bands).c_str());
    std::string crs = !f.crs.wkt.empty()     ? CrsText(f.crs)
                      : !f.gcpCrs.wkt.empty() ? CrsText(f.gcpCrs) + ", of the ground control points"
                                             : "none";
    printf("crs:           %s\n", crs.c_str());
    if (!f.bands.empty()) {
      printf("blocks:        %s\n", Blocks(f.bands).c_str());
      printf("compression:   %s\n", f.compression.empty() ? "none" : f.compression.c_str());
      printf("overviews:     %s\n", Overviews(f.bands).c_str());
    }
  } else {
    printf("driver:        none: GDAL cannot read the resolved name (%s)\n",
           Escaped(f.reason).c_str());
  }
  if (d.georeferenced) {
    printf("georeferenced: yes\n");
    printf("pixel size:    %s\n", pair(d.gt[1], d.gt[5]).c_str());
    std::array<double, 4> e = Extent(d);
    printf("extent:        %s, %s (ulx, uly, lrx, lry)\n", pair(e[0], e[1]).c_str(),
           pair(e[2], e[3]).c_str());
  } else {
    printf("georeferenced: %s\n", NotGeoreferencedWhy(d).c_str());
  }
  for (int i = 0; i < 3; ++i) {
    const ControlPoint p = d.points[i];
    printf("%-14s pixel (%s) -> world (%s)\n", (std::string(kCorners[i]) + ":").c_str(),
           pair(p.pixelX, p.pixelY).c_str(), pair(p.worldX, p.worldY).c_str());
  }
  // The image's own ground control points, as GDAL reads them.
  for (size_t i = 0; i < f.gcps.size(); ++i) {
    const Gcp &g = f.gcps[i];
    std::string world = pair(g.x, g.y) + (g.z != 0 ? ", " + ShortNumber(g.z) : "");
    std::string id = g.id.empty() || g.id == std::to_string(i + 1) ? "" : " (" + Escaped(g.id) + ")";
    printf("%-14s pixel (%s) -> world (%s)%s\n", ("gcp " + std::to_string(i + 1) + ":").c_str(),
           pair(g.pixel, g.line).c_str(), world.c_str(), id.c_str());
  }
}

nlohmann::json Json(const Described &d, const HandlerDescriptor &module) {
  using nlohmann::json;
  const SourceFacts &f = d.facts;
  json out = {{"file", d.file},
              {"module", {{"name", module.name}, {"description", module.description}}},
              {"resolved", d.resolved},
              {"width", d.width},
              {"height", d.height},
              {"driver", f.read ? json(f.driver) : json(nullptr)},
              {"georeferenced", d.georeferenced},
              {"gcp_count", f.gcpCount}};
  if (f.read) {
    json bands = json::array();
    for (const BandFacts &b : f.bands)
      bands.push_back({{"type", b.type},
                       {"color", b.color},
                       {"nodata", b.hasNodata ? json(b.nodata) : json(nullptr)},
                       {"description", b.description.empty() ? json(nullptr) : json(b.description)},
                       {"block", {b.blockWidth, b.blockHeight}},
                       {"overviews", b.overviews}});
    out["bands"] = bands;
    out["compression"] = f.compression.empty() ? json(nullptr) : json(f.compression);
  } else {
    out["bands"] = nullptr;
    out["gdal_error"] = f.reason;
  }
  auto crs = [](const Crs &c) {
    return c.wkt.empty() ? json(nullptr)
                         : json({{"name", c.name},
                                 {"authority", c.authority.empty() ? json(nullptr) : json(c.authority)},
                                 {"wkt", c.wkt}});
  };
  out["crs"] = crs(f.crs);
  if (f.gcps.empty()) {
    out["gcps"] = nullptr;
  } else {
    json points = json::array();
    for (const Gcp &g : f.gcps)
      points.push_back({{"id", g.id}, {"pixel", {g.pixel, g.line}}, {"world", {g.x, g.y, g.z}}});
    out["gcps"] = {{"crs", crs(f.gcpCrs)}, {"points", points}};
  }
  if (d.georeferenced) {
    out["geotransform"] = d.gt;
    out["pixel_size"] = {d.gt[1], d.gt[5]};
    out["extent"] = Extent(d);
  } else {
    out["geotransform"] = out["pixel_size"] = out["extent"] = nullptr;
  }
  json points = json::array();
  for (int i = 0; i < 3; ++i) {
    // The block is packed: its doubles are read by value.
    const ControlPoint p = d.points[i];
    points.push_back({{"corner", kCorners[i]},
                      {"world", {p.worldX, p.worldY}},
                      {"pixel", {p.pixelX, p.pixelY}}});
  }
  out["control_points"] = points;
  return out;
}

}  // namespace

CLI::App *AddInfoCommand(CLI::App &app, InfoOptions *options, std::string *modulePath) {
  CLI::App *info = app.add_subcommand(
      "info", "Probe and open each FILE; print what the module learns and what GDAL reads of "
              "the image it resolves to.");
  info->add_option("FILE", options->files,
                   "Images: .ecw and .url names go to the module as they are; any other name "
                   "GDAL reads goes through a temporary link file")
      ->required();
  info->add_option("--module", *modulePath, "Handler module to load")->capture_default_str();
  info->add_flag("--json", options->json,
                 "Print JSON: one object, or an array of them for several files");
  info->add_flag("-v,--verbose", options->verbose, "Say when a link file stands in for a name");
  return info;
}

int RunInfo(const InfoOptions &options, const std::string &modulePath) {
  int status = kExitOk;
  nlohmann::json all = nlohmann::json::array();
  std::string unloadable;  // why the module cannot be loaded, once known
  bool first = true;
  for (const std::string &file : options.files) {
    // One session per file, as the host opens each image in a record of its own.
    Session session;
    Recording said;
    bool opened = false;
    if (unloadable.empty() && LoadModule(session, modulePath)) {
      OpenOptions open;
      open.verbose = options.verbose;
      opened = OpenImage(session, ModuleName(session, modulePath), file, open);
    } else if (unloadable.empty()) {
      unloadable = said.lines().empty() ? "cannot load the module" : said.lines().back();
      if (!options.json) return kExitFailed;
    }
    if (!opened) {
      status = kExitFailed;
      // A script gets an entry for every file, in order, saying why.
      std::string error;
      for (const std::string &line : said.lines()) error += (error.empty() ? "" : "\n") + line;
      all.push_back({{"file", file}, {"error", error.empty() ? unloadable : error}});
      continue;
    }
    Described d = Describe(session, file);
    if (options.json) {
      all.push_back(Json(d, session.descriptor()));
    } else {
      if (!first) printf("\n");
      PrintText(d, session.descriptor());
      fflush(stdout);
    }
    first = false;
  }
  if (options.json) {
    const nlohmann::json &shown = options.files.size() == 1 ? all[0] : all;
    printf("%s\n", shown.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  }
  return status;
}

}  // namespace rhl
