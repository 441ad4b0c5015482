#include "formats.h"

#include <ctype.h>
#include <string.h>

#include <vector>

#include "cli.h"
#include "cpl_conv.h"
#include "cpl_string.h"

namespace rhl {
namespace {

bool Writes(GDALDriverH driver) {
  return GDALGetMetadataItem(driver, GDAL_DCAP_RASTER, nullptr) != nullptr &&
         (GDALGetMetadataItem(driver, GDAL_DCAP_CREATE, nullptr) != nullptr ||
          GDALGetMetadataItem(driver, GDAL_DCAP_CREATECOPY, nullptr) != nullptr);
}

bool ClaimsExtension(GDALDriverH driver, const std::string &extension) {
  const char *list = GDALGetMetadataItem(driver, GDAL_DMD_EXTENSIONS, nullptr);
  if (list == nullptr) list = GDALGetMetadataItem(driver, GDAL_DMD_EXTENSION, nullptr);
  if (list == nullptr) return false;
  char **items = CSLTokenizeString(list);
  bool found = false;
  for (char **p = items; p != nullptr && *p != nullptr && !found; ++p)
    found = EQUAL(*p, extension.c_str());
  CSLDestroy(items);
  return found;
}

// The drivers that read a world file beside their images (and hold no
// geotransform of their own in this GDAL).
bool ReadsWorldFile(const std::string &name) {
  for (const char *n : {"PNG", "JPEG", "GIF", "BMP"})
    if (name == n) return true;
  return false;
}

Format Of(GDALDriverH driver) {
  const std::string name = GDALGetDriverShortName(driver);
  if (name == "VRT" || name == "MEM")
    throw Usage{"rhl cannot write " + name + ": it holds no pixels of its own in a file (write .tif)"};
  Format f;
  f.driver = driver;
  f.name = GDALGetDriverShortName(driver);
  f.create = GDALGetMetadataItem(driver, GDAL_DCAP_CREATE, nullptr) != nullptr;
  f.worldFile = ReadsWorldFile(f.name);
  return f;
}

}  // namespace

Format ChooseFormat(const std::string &path, const std::string &of) {
  GDALAllRegister();
  if (!of.empty()) {
    GDALDriverH driver = GDALGetDriverByName(of.c_str());
    if (driver == nullptr) throw Usage{"-of " + of + ": GDAL has no driver of that name"};
    if (!Writes(driver)) throw Usage{"-of " + of + ": GDAL's " + of + " driver cannot write images"};
    return Of(driver);
  }
  const std::string extension = CPLGetExtension(path.c_str());
  std::vector<GDALDriverH> matches;
  if (!extension.empty())
    for (int i = 0; i < GDALGetDriverCount(); ++i) {
      GDALDriverH driver = GDALGetDriver(i);
      if (Writes(driver) && ClaimsExtension(driver, extension)) matches.push_back(driver);
    }
  if (matches.empty()) {
    if (extension.empty()) return Of(GDALGetDriverByName("GTiff"));
    throw Usage{"cannot tell a format from the extension of '" + path +
                "': name one with -of (GTiff, PNG, JPEG, ...)"};
  }
  Format f = Of(matches[0]);
  // GeoTIFF's extension is also the cloud-optimised writer's; GTiff is meant.
  bool tiff = matches.size() == 2 && f.name == "GTiff" &&
              strcmp(GDALGetDriverShortName(matches[1]), "COG") == 0;
  if (matches.size() > 1 && !tiff)
    f.note = "several formats take ." + extension + "; writing " + f.name + " (-of chooses)";
  return f;
}

std::string WorldFileName(const std::string &imagePath) {
  const std::string extension = CPLGetExtension(imagePath.c_str());
  if (extension.size() < 2) return CPLResetExtension(imagePath.c_str(), "wld");
  bool upper = isupper((unsigned char)extension.back()) != 0;
  std::string world = {extension.front(), extension.back(), upper ? 'W' : 'w'};
  return CPLResetExtension(imagePath.c_str(), world.c_str());
}

}  // namespace rhl
