#include "refused.h"

#include <string.h>

#include "cli.h"

namespace rhl {
namespace {

struct Foreign {
  const char *name;  // without its dashes; a trailing '_' also takes "_N" (-scale_2)
  const char *why;
  const char *instead;
};

const char *const kRewrite = "gdal_translate on rhl's output does that";

// gdal_translate's options that render does not take.
const Foreign kTranslate[] = {
    {"ot", "the module delivers 8-bit RGB, so the output is always Byte",
     "gdal_translate -ot keeps the source's values in another type"},
    {"strict", "the output is 3 Byte bands, and a format that cannot hold them fails anyway",
     "leave it out"},
    {"if", "the module's library opens the image with whichever GDAL driver reads it",
     "gdal_translate -if DRIVER makes a copy of that driver's reading to render"},
    {"b",
     "the module delivers its picture of the first three bands, taken by their red, green and "
     "blue labels",
     "a VRT made with gdalbuildvrt -b 4 -b 3 -b 2 chooses the bands; render the VRT"},
    {"mask", "the module blacks out what the image's mask or alpha band hides",
     "--a_nodata 0 marks those pixels as the output's nodata"},
    {"expand", "the module expands a palette to RGB and repeats a grey band in all three itself",
     "leave it out"},
    {"tr", "the module's view is given in pixels",
     "--outsize W H: the window's size in the CRS over the resolution (rhl info prints the "
     "pixel size)"},
    {"r", "the module's library chooses the resampling (an average for a reduction)",
     "gdal_translate -r chooses another"},
    {"scale_",
     "the module stretches data wider than 8 bits itself, between each band's 2nd and 98th "
     "percentiles",
     "gdal_translate -scale -ot Byte into a VRT gives a stretch of your own; render the VRT"},
    {"exponent_",
     "the module stretches data wider than 8 bits itself, between each band's 2nd and 98th "
     "percentiles",
     "gdal_translate -scale -exponent -ot Byte into a VRT gives a stretch of your own; render "
     "the VRT"},
    {"unscale", "the output holds display colours, not the source's values",
     "gdal_translate -unscale keeps the values"},
    {"epo", "rhl writes a window partly outside the image, fills the part outside and warns",
     "rhl info prints the image's extent to check a window against"},
    {"eco", "rhl always refuses a window wholly outside the image", "leave it out"},
    {"projwin_srs", "--projwin is in the image's own CRS",
     "gdaltransform -s_srs SRS -t_srs followed by the image's CRS converts the corners"},
    {"a_ullr", "the output keeps the source's georeferencing", kRewrite},
    {"a_scale", "the output holds display colours, which have no unit to scale", "leave it out"},
    {"a_offset", "the output holds display colours, which have no unit to offset",
     "leave it out"},
    {"a_coord_epoch", "--a_srs assigns a CRS without an epoch", kRewrite},
    {"nogcp",
     "the output keeps the source's ground control points, shifted and scaled with the window",
     kRewrite},
    {"gcp", "the output keeps the source's georeferencing", kRewrite},
    {"colorinterp_", "the output's bands are the module's red, green and blue", kRewrite},
    {"mo", "rhl writes no metadata items of the user's", "gdal_edit.py -mo on the output adds them"},
    {"sds", "the module opens one image, not each subdataset of a file",
     "give a subdataset's name (gdalinfo lists them) as FILE"},
    {"stats", "rhl computes no statistics of the output",
     "gdalinfo -stats on the output computes them"},
    {"norat", "the output is a picture and has no attribute table", "leave it out"},
    {"noxmp", "rhl copies no XMP metadata", "leave it out"},
    {"oo", "the module's library opens the image without open options, and a link file names the "
           "image alone",
     "a VRT made with gdal_translate -of VRT -oo NAME=VALUE keeps them; render the VRT"},
    {"ovr", "the module's library chooses the overview for the output's size",
     "--outsize or --scale chooses the size"},
};

const char *const kInfoInstead = "gdalinfo with that option on the resolved name";

// gdalinfo's options that info does not take.
const Foreign kGdalinfo[] = {
    {"stats", "rhl info reads no pixels", kInfoInstead},
    {"approx_stats", "rhl info reads no pixels", kInfoInstead},
    {"hist", "rhl info reads no pixels", kInfoInstead},
    {"mm", "rhl info reads no pixels", kInfoInstead},
    {"checksum", "rhl info reads no pixels", kInfoInstead},
    {"nogcp", "rhl info prints what it finds", kInfoInstead},
    {"nomd", "rhl info prints no metadata items", kInfoInstead},
    {"norat", "rhl info prints no attribute tables", kInfoInstead},
    {"noct", "rhl info prints no colour tables", kInfoInstead},
    {"nofl", "rhl info prints the name it was given", kInfoInstead},
    {"listmdd", "rhl info prints no metadata domains", kInfoInstead},
    {"mdd", "rhl info prints no metadata domains", kInfoInstead},
    {"proj4", "rhl info prints the CRS's name and code (and its WKT in --json)", kInfoInstead},
    {"wkt_format", "rhl info prints the CRS's WKT in one form, in --json", kInfoInstead},
    {"sd", "the module opens one image, not each subdataset of a file",
     "give a subdataset's name (gdalinfo lists them) as FILE"},
    {"oo", "the module's library opens the image without open options",
     "a VRT made with gdal_translate -of VRT -oo NAME=VALUE keeps them"},
    {"if", "the module's library opens the image with whichever GDAL driver reads it",
     kInfoInstead},
};

// GDAL's general options.
const Foreign kGeneral[] = {
    {"config", "rhl takes GDAL's configuration from the environment",
     "NAME=VALUE before rhl on the command line sets one"},
    {"debug", "rhl takes GDAL's configuration from the environment",
     "CPL_DEBUG=ON before rhl on the command line"},
    {"optfile", "rhl reads its arguments from the command line alone",
     "the shell: rhl render $(cat FILE)"},
    {"formats", "rhl writes any format GDAL writes", "gdalinfo --formats lists them"},
    {"help-general", "rhl takes GDAL's configuration from the environment",
     "rhl render --help lists rhl's options"},
};

// rhl's options that take values, and how many.
struct Valued {
  const char *name;
  int count;
};
const Valued kRenderValues[] = {{"-o", 1},      {"--output", 1}, {"--of", 1},     {"--co", 1},
                                {"--src", 1},   {"--srcwin", 4}, {"--projwin", 4}, {"--size", 1},
                                {"--outsize", 2}, {"--scale", 1}, {"--a_srs", 1}, {"--a_nodata", 1},
                                {"--module", 1}};
const Valued kInfoValues[] = {{"--module", 1}};

template <size_t N>
const Foreign *Find(const Foreign (&table)[N], const std::string &name) {
  for (const Foreign &f : table) {
    size_t length = strlen(f.name);
    if (name == f.name) return &f;
    if (f.name[length - 1] == '_') {
      if (name == std::string(f.name, length - 1)) return &f;
      if (name.compare(0, length, f.name) == 0 && name.size() > length &&
          name.find_first_not_of("0123456789", length) == std::string::npos)
        return &f;
    }
  }
  return nullptr;
}

template <size_t N>
int ValuesOf(const Valued (&table)[N], const std::string &arg) {
  for (const Valued &v : table)
    if (arg == v.name) return v.count;
  return 0;
}

}  // namespace

void RefuseForeignOptions(const std::vector<std::string> &args) {
  // The command is the first word that is not an option (--version and
  // --help take no value).
  size_t at = 0;
  while (at < args.size() && !args[at].empty() && args[at][0] == '-') ++at;
  if (at == args.size() || (args[at] != "render" && args[at] != "info")) return;
  const bool render = args[at] == "render";
  const std::string command = args[at];
  for (size_t i = at + 1; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg == "--") return;
    int values = render ? ValuesOf(kRenderValues, arg) : ValuesOf(kInfoValues, arg);
    if (values > 0) {
      i += (size_t)values;
      continue;
    }
    if (arg.size() < 2 || arg[0] != '-') continue;
    std::string name = arg.substr(arg[1] == '-' ? 2 : 1);
    const Foreign *f = Find(kGeneral, name);
    if (f == nullptr) f = render ? Find(kTranslate, name) : Find(kGdalinfo, name);
    if (f == nullptr) continue;
    throw Usage{command + " does not take " + arg + ": " + f->why + "; " + f->instead};
  }
}

}  // namespace rhl
