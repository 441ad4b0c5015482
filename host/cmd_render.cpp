// rhl render [FILE] -o OUT: one view through the module, written as a
// georeferenced image.
#include <string.h>
#include <unistd.h>

#include <sys/stat.h>

#include "cli.h"
#include "commands.h"
#include "image.h"
#include "messages.h"
#include "output.h"
#include "plan.h"
#include "source.h"

namespace rhl {
namespace {

std::string Joined(const std::string &option, const std::vector<std::string> &values) {
  std::string text = option;
  for (const std::string &v : values) text += " " + v;
  return text;
}

SourceChoice ParseSource(const RenderOptions &o) {
  SourceChoice s;
  const int64_t lo = INT32_MIN, hi = INT32_MAX;
  if (!o.src.empty()) {
    s.kind = SourceChoice::Pixels;
    s.option = "--src " + o.src;
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
      size_t comma = o.src.find(',', start);
      parts.push_back(o.src.substr(start, comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (parts.size() != 4)
      throw Usage{"--src takes L,T,R,B in image pixels, right and bottom exclusive, not '" +
                  o.src + "'"};
    s.left = ParseWhole("--src", parts[0], lo, hi);
    s.top = ParseWhole("--src", parts[1], lo, hi);
    s.right = ParseWhole("--src", parts[2], lo, hi);
    s.bottom = ParseWhole("--src", parts[3], lo, hi);
    if (s.right <= s.left || s.bottom <= s.top)
      throw Usage{"--src takes L,T,R,B with R > L and B > T, not '" + o.src + "'"};
  } else if (!o.srcwin.empty()) {
    s.kind = SourceChoice::Pixels;
    s.option = Joined("--srcwin", o.srcwin);
    s.fillOutside = true;
    s.left = ParseWhole("--srcwin", o.srcwin[0], lo, hi);
    s.top = ParseWhole("--srcwin", o.srcwin[1], lo, hi);
    s.right = s.left + ParseWhole("--srcwin", o.srcwin[2], 1, hi);
    s.bottom = s.top + ParseWhole("--srcwin", o.srcwin[3], 1, hi);
  } else if (!o.projwin.empty()) {
    s.kind = SourceChoice::World;
    s.option = Joined("--projwin", o.projwin);
    s.fillOutside = true;
    s.ulx = ParseNumber("--projwin", o.projwin[0]);
    s.uly = ParseNumber("--projwin", o.projwin[1]);
    s.lrx = ParseNumber("--projwin", o.projwin[2]);
    s.lry = ParseNumber("--projwin", o.projwin[3]);
  }
  return s;
}

SizeChoice ParseSize(const RenderOptions &o) {
  SizeChoice s;
  if (!o.size.empty()) {
    s.kind = SizeChoice::Pixels;
    s.option = "--size " + o.size;
    size_t x = o.size.find('x');
    if (x == std::string::npos)
      throw Usage{"--size takes WxH (0 for one of them keeps the aspect), not '" + o.size + "'"};
    s.width = ParseCount("--size", o.size.substr(0, x), true, &s.widthPercent);
    s.height = ParseCount("--size", o.size.substr(x + 1), true, &s.heightPercent);
  } else if (!o.outsize.empty()) {
    s.kind = SizeChoice::Pixels;
    s.option = Joined("--outsize", o.outsize);
    s.width = ParseCount("--outsize", o.outsize[0], true, &s.widthPercent);
    s.height = ParseCount("--outsize", o.outsize[1], true, &s.heightPercent);
  } else if (!o.scale.empty()) {
    s.kind = SizeChoice::Scale;
    s.option = "--scale " + o.scale;
    s.scale = ParsePositive("--scale", o.scale);
  }
  return s;
}

// What the output is to be, as far as the arguments tell it.
OutputOptions ParseOutput(const RenderOptions &o, Crs *assigned) {
  OutputOptions output;
  output.path = o.output;
  output.format = ChooseFormat(o.output, o.format);
  for (const std::string &c : o.creationOptions) ParseNameValue("-co", c);
  output.creationOptions = o.creationOptions;
  if (!o.srs.empty()) *assigned = CrsFromUser(o.srs);
  if (!o.nodata.empty()) output.nodata = (int)ParseWhole("--a_nodata", o.nodata, 0, 255);
  output.progress = !o.quiet && isatty(2) != 0;
  return output;
}

// "1 band of Float32", "4 bands of UInt16", "3 bands of Byte, UInt16, UInt16",
// "1 band of Byte with a palette".
std::string BandsOf(const SourceFacts &facts) {
  const size_t n = facts.bands.size();
  std::string text = std::to_string(n) + (n == 1 ? " band of " : " bands of ");
  bool same = true, palette = false;
  for (const BandFacts &b : facts.bands) {
    same = same && b.type == facts.bands[0].type;
    palette = palette || b.color == "palette";
  }
  for (size_t i = 0; i < n && (i == 0 || !same); ++i) text += (i ? ", " : "") + facts.bands[i].type;
  return text + (palette ? " with a palette" : "");
}

// A GeoTIFF says what it holds: the module's RGB picture, not the source's
// values where they differ.
std::string Description(const std::string &file, const SourceFacts &facts,
                        const std::string &moduleName) {
  std::string text = "RGB picture of '" + Escaped(file.substr(file.rfind('/') + 1)) +
                     "' made through the raster handler module " + moduleName + " by rhl";
  if (!IsPlainPicture(facts))
    text += ": the module's display picture of its " + BandsOf(facts) + ", not their values";
  return text;
}

bool SameFile(const std::string &a, const std::string &b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

CLI::App *AddRenderCommand(CLI::App &app, RenderOptions *o, std::string *modulePath) {
  CLI::App *render = app.add_subcommand(
      "render", "Render one view through the module to a georeferenced image.");
  render->add_option("FILE", o->file,
                     "Image: .ecw or .url, or any name GDAL reads (default: the bundled sample)");
  render->add_option("-o,--output", o->output, "Output image; its extension chooses the format")
      ->required();
  CLI::Option *src =
      render->add_option("--src", o->src, "Source rectangle L,T,R,B in image pixels, right and "
                                          "bottom exclusive (default: the whole image)");
  CLI::Option *srcwin = render->add_option("--srcwin", o->srcwin,
                                           "Source window XOFF YOFF XSIZE YSIZE in image pixels, "
                                           "as gdal_translate's -srcwin (also -srcwin)")
                            ->expected(4)
                            ->excludes(src);
  render->add_option("--projwin", o->projwin,
                     "Source window ULX ULY LRX LRY in the image's CRS, as gdal_translate's "
                     "-projwin (also -projwin)")
      ->expected(4)
      ->excludes(src)
      ->excludes(srcwin);
  CLI::Option *size = render->add_option(
      "--size", o->size, "Output size WxH in pixels or percent; 0 for one keeps the aspect");
  CLI::Option *outsize =
      render->add_option("--outsize", o->outsize,
                         "Output size W H, as gdal_translate's -outsize (also -outsize)")
          ->expected(2)
          ->excludes(size);
  render->add_option("--scale", o->scale, "Scale factor handed to the module")
      ->excludes(size)
      ->excludes(outsize);
  render->add_option("--of", o->format,
                     "Output format, a GDAL driver name (also -of; default: the one "
                     "gdal_translate picks for the extension)");
  render->add_option("--co", o->creationOptions,
                     "Creation option NAME=VALUE for the driver, repeatable (also -co)")
      ->allow_extra_args(false);
  render->add_option("--a_srs", o->srs,
                     "Assign this CRS to the output (EPSG:n, WKT, PROJ text; also -a_srs)");
  render->add_option("--a_nodata", o->nodata,
                     "Mark V, V, V as the output's nodata, V from 0 to 255 (also -a_nodata)");
  render->add_option("--module", *modulePath, "Handler module to load")->capture_default_str();
  render->add_flag("-v,--verbose", o->verbose, "Say when a link file stands in for a name");
  render->add_flag("-q,--quiet", o->quiet, "No progress bar and no notes");
  return render;
}

int RunRender(const RenderOptions &o, const std::string &modulePath) {
  SetQuiet(o.quiet);
  // Every argument is checked before the module is loaded.
  SourceChoice sourceChoice = ParseSource(o);
  SizeChoice sizeChoice = ParseSize(o);
  Crs assigned;
  OutputOptions out = ParseOutput(o, &assigned);

  Session session;
  if (!LoadModule(session, modulePath)) return kExitFailed;
  const std::string moduleName = ModuleName(session, modulePath);
  const std::string file = o.file.empty() ? BundledSample() : o.file;
  OpenOptions open;
  open.verbose = o.verbose;
  if (!OpenImage(session, moduleName, file, open)) return kExitFailed;
  const Raster &r = session.raster();
  const std::string resolved(r.name, strnlen(r.name, sizeof r.name));
  if (SameFile(o.output, resolved) || SameFile(o.output, file))
    throw Usage{"the output '" + o.output + "' is the image being rendered; name another"};

  SourceFacts facts = ReadSourceFacts(resolved);
  std::array<double, 6> gt = GeoTransformOf(*r.registration);
  Plan plan = PlanView(r.width, r.height, WorldPlacement(facts, gt), sourceChoice, sizeChoice);
  if (!plan.note.empty()) Note(plan.note);
  if (!plan.outside.empty())
    Say("warning: " + plan.outside + "; the part outside is filled with " +
        (out.nodata ? std::to_string(*out.nodata) + ", the --a_nodata value" : std::string("0")));
  if (!out.format.note.empty()) Note(out.format.note);
  out.width = plan.width;
  out.height = plan.height;
  out.view = plan.view;
  out.geo = plan.geo;
  // The source's CRS goes with its georeferencing; an assigned one always.
  out.crsWkt = !assigned.wkt.empty() ? assigned.wkt : plan.geo ? facts.crs.wkt : "";
  if (!plan.geo && !facts.gcps.empty()) {
    // Ground control points instead, in the output's pixels.
    for (Gcp g : facts.gcps) {
      g.pixel = (g.pixel - plan.left) * plan.fx;
      g.line = (g.line - plan.top) * plan.fy;
      out.gcps.push_back(g);
    }
    out.gcpCrsWkt = !assigned.wkt.empty() ? assigned.wkt : facts.gcpCrs.wkt;
    out.crsWkt.clear();
  }
  if (out.format.name == "GTiff" || out.format.name == "COG")
    out.description = Description(file, facts, moduleName);
  if (!IsPlainPicture(facts))
    Note("'" + file + "' holds " + BandsOf(facts) +
         ", not 8-bit grey or RGB: the output is the module's RGB display picture of it, 3 "
         "bands of Byte (gdal_translate keeps the source's bands and values)");
  if (!out.nodata && HasNodataOrAlpha(facts))
    Note("the source's nodata and transparent pixels come out black; --a_nodata 0 marks "
         "black as the output's nodata");

  int32_t lineWidth = 0;
  std::string error;
  bool ok = false;
  {
    ModuleBoxes boxes(moduleName);
    bool began = session.BeginView(plan.request, &lineWidth);
    if (!began) {
      error = "the module could not set up the view";
    } else if (lineWidth != plan.view.width) {
      error = "the module chose a line width of " + std::to_string(lineWidth) + ", not " +
              std::to_string(plan.view.width);
    } else {
      ok = WriteView(session, out, &error);
    }
    if (began) session.EndView();
  }
  if (!ok) {
    Say(error);
    SayLibraryReason(session);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace rhl
