#include "rhl_run.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "fixtures.h"
#include "cpl_string.h"
#include "gdal.h"
#include "gdal_utils.h"
#include "ogr_srs_api.h"

namespace rhltest {

std::string Slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Scratch(const std::string &name) { return fixtures::TempDir() + "/" + name; }

void Translate(const std::string &source, const std::string &out,
               const std::vector<std::string> &args) {
  char **argv = CSLAddString(nullptr, "-q");
  for (const std::string &a : args) argv = CSLAddString(argv, a.c_str());
  GDALTranslateOptions *options = GDALTranslateOptionsNew(argv, nullptr);
  CSLDestroy(argv);
  GDALDatasetH in = GDALOpen(source.c_str(), GA_ReadOnly);
  if (in == nullptr || options == nullptr) throw std::runtime_error("cannot translate " + source);
  GDALClose(GDALTranslate(out.c_str(), in, options, nullptr));
  GDALTranslateOptionsFree(options);
  GDALClose(in);
}

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

Outcome Rhl(const std::string &args, const std::string &dir, const std::string &env) {
  std::string scratch = fixtures::TempDir();
  std::string out = scratch + "/rhl.out", err = scratch + "/rhl.err";
  std::string cmd = "cd '" + (dir.empty() ? scratch : dir) + "' && " + env + " " + RHL_EXE + " " + args +
                    " >" + out + " 2>" + err + " </dev/null";
  int raw = system(cmd.c_str());
  return Outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(out), Slurp(err)};
}

std::vector<std::string> FilesStartingWith(const std::string &prefix) {
  std::vector<std::string> names;
  DIR *dir = opendir(fixtures::TempDir().c_str());
  if (dir == nullptr) return names;
  while (dirent *e = readdir(dir))
    if (std::string(e->d_name).rfind(prefix, 0) == 0) names.push_back(e->d_name);
  closedir(dir);
  return names;
}

void Decorate(const std::string &path, const std::string &srs, const double *nodata,
              const std::vector<std::string> &colors) {
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_Update);
  if (ds == nullptr) throw std::runtime_error("cannot update " + path);
  if (!srs.empty()) {
    OGRSpatialReferenceH ref = OSRNewSpatialReference(nullptr);
    OSRSetFromUserInput(ref, srs.c_str());
    GDALSetSpatialRef(ds, ref);
    OSRDestroySpatialReference(ref);
  }
  for (int b = 1; b <= GDALGetRasterCount(ds); ++b) {
    GDALRasterBandH band = GDALGetRasterBand(ds, b);
    if (nodata != nullptr) GDALSetRasterNoDataValue(band, *nodata);
    if ((size_t)b <= colors.size())
      GDALSetRasterColorInterpretation(band, GDALGetColorInterpretationByName(colors[b - 1].c_str()));
  }
  GDALClose(ds);
}

void SetGcps(const std::string &path, const std::vector<std::array<double, 5>> &where, int epsg) {
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_Update);
  if (ds == nullptr) throw std::runtime_error("cannot update " + path);
  const int n = (int)where.size();
  std::vector<GDAL_GCP> points(where.size());
  GDALInitGCPs(n, points.data());
  for (int i = 0; i < n; ++i) {
    points[i].dfGCPPixel = where[i][0];
    points[i].dfGCPLine = where[i][1];
    points[i].dfGCPX = where[i][2];
    points[i].dfGCPY = where[i][3];
    points[i].dfGCPZ = where[i][4];
  }
  OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
  OSRImportFromEPSG(srs, epsg);
  GDALSetGCPs2(ds, n, points.data(), srs);
  OSRDestroySpatialReference(srs);
  GDALDeinitGCPs(n, points.data());
  GDALClose(ds);
}

std::vector<unsigned char> Pixels(const std::string &path, int *width, int *height, int *bands) {
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  if (ds == nullptr) throw std::runtime_error("cannot open " + path);
  *width = GDALGetRasterXSize(ds);
  *height = GDALGetRasterYSize(ds);
  *bands = GDALGetRasterCount(ds);
  std::vector<unsigned char> data((size_t)*width * *height * *bands);
  CPLErr e = GDALDatasetRasterIO(ds, GF_Read, 0, 0, *width, *height, data.data(), *width, *height,
                                 GDT_Byte, *bands, nullptr, *bands, (GSpacing)*bands * *width, 1);
  GDALClose(ds);
  if (e != CE_None) throw std::runtime_error("cannot read " + path);
  return data;
}

}  // namespace rhltest
