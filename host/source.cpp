#include "source.h"

#include <string.h>

#include <algorithm>

#include "cli.h"
#include "cpl_conv.h"
#include "cpl_error.h"
#include "gdal.h"
#include "ogr_srs_api.h"
#include "remote.h"

namespace rhl {
namespace {

struct Quiet {
  Quiet() {
    CPLPushErrorHandler(CPLQuietErrorHandler);
    CPLErrorReset();
  }
  ~Quiet() { CPLPopErrorHandler(); }
};

Crs Describe(OGRSpatialReferenceH srs) {
  Crs crs;
  if (srs == nullptr) return crs;
  char *wkt = nullptr;
  const char *options[] = {"FORMAT=WKT2_2019", "MULTILINE=NO", nullptr};
  if (OSRExportToWktEx(srs, &wkt, options) == OGRERR_NONE && wkt != nullptr) crs.wkt = wkt;
  CPLFree(wkt);
  const char *name = OSRGetName(srs);
  crs.name = name != nullptr ? name : "";
  const char *authority = OSRGetAuthorityName(srs, nullptr);
  const char *code = OSRGetAuthorityCode(srs, nullptr);
  if (authority != nullptr && code != nullptr) crs.authority = std::string(authority) + ":" + code;
  return crs;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return (char)tolower(c); });
  return text;
}

}  // namespace

SourceFacts ReadSourceFacts(const std::string &name) {
  SourceFacts facts;
  GDALAllRegister();
  // A remote name is read as the library reads it: within its time limits
  // and without asking for files beside it.
  ncsecwex::ApplyHttpDefaults();
  std::string gdalName = ncsecwex::GdalName(name);
  Quiet quiet;
  GDALDatasetH ds;
  {
    ncsecwex::NoSidecars sidecars(gdalName);
    ds = GDALOpenEx(gdalName.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY | GDAL_OF_VERBOSE_ERROR,
                    nullptr, nullptr, nullptr);
  }
  if (ds == nullptr) {
    facts.reason = CPLGetLastErrorMsg();
    if (facts.reason.empty()) facts.reason = "not a raster GDAL reads";
    return facts;
  }
  facts.read = true;
  facts.driver = GDALGetDriverShortName(GDALGetDatasetDriver(ds));
  for (int b = 1; b <= GDALGetRasterCount(ds); ++b) {
    GDALRasterBandH band = GDALGetRasterBand(ds, b);
    BandFacts f;
    f.type = GDALGetDataTypeName(GDALGetRasterDataType(band));
    f.color = Lower(GDALGetColorInterpretationName(GDALGetRasterColorInterpretation(band)));
    int has = 0;
    f.nodata = GDALGetRasterNoDataValue(band, &has);
    f.hasNodata = has != 0;
    const char *description = GDALGetDescription(band);
    f.description = description != nullptr ? description : "";
    GDALGetBlockSize(band, &f.blockWidth, &f.blockHeight);
    for (int o = 0; o < GDALGetOverviewCount(band); ++o) {
      GDALRasterBandH overview = GDALGetOverview(band, o);
      if (overview != nullptr)
        f.overviews.push_back({GDALGetRasterBandXSize(overview), GDALGetRasterBandYSize(overview)});
    }
    facts.bands.push_back(f);
  }
  facts.georeferenced = GDALGetGeoTransform(ds, facts.geotransform.data()) == CE_None;
  facts.gcpCount = GDALGetGCPCount(ds);
  const GDAL_GCP *gcps = GDALGetGCPs(ds);
  for (int i = 0; gcps != nullptr && i < facts.gcpCount; ++i)
    facts.gcps.push_back(Gcp{gcps[i].pszId != nullptr ? gcps[i].pszId : "", gcps[i].dfGCPPixel,
                             gcps[i].dfGCPLine, gcps[i].dfGCPX, gcps[i].dfGCPY, gcps[i].dfGCPZ});
  if (facts.gcpCount > 0) facts.gcpCrs = Describe(GDALGetGCPSpatialRef(ds));
  facts.crs = Describe(GDALGetSpatialRef(ds));
  const char *compression = GDALGetMetadataItem(ds, "COMPRESSION", "IMAGE_STRUCTURE");
  facts.compression = compression != nullptr ? compression : "";
  GDALClose(ds);
  return facts;
}

bool IsPlainPicture(const SourceFacts &facts) {
  if (!facts.read) return true;  // nothing known to say otherwise
  for (const BandFacts &b : facts.bands)
    if (b.type != "Byte" || b.color == "palette") return false;
  return facts.bands.size() == 1 || facts.bands.size() == 3;
}

bool HasNodataOrAlpha(const SourceFacts &facts) {
  for (const BandFacts &b : facts.bands)
    if (b.hasNodata || b.color == "alpha") return true;
  return false;
}

std::optional<std::array<double, 6>> WorldPlacement(const SourceFacts &facts,
                                                    const std::array<double, 6> &moduleGt) {
  if (facts.read) {
    if (facts.georeferenced) return facts.geotransform;
    return std::nullopt;
  }
  if (moduleGt == std::array<double, 6>{0, 1, 0, 0, 0, 1}) return std::nullopt;
  return moduleGt;
}

Crs CrsFromUser(const std::string &text) {
  Quiet quiet;
  OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
  bool ok = OSRSetFromUserInput(srs, text.c_str()) == OGRERR_NONE;
  Crs crs = ok ? Describe(srs) : Crs{};
  OSRDestroySpatialReference(srs);
  if (!ok || crs.wkt.empty())
    throw Usage{"--a_srs takes a CRS GDAL knows (EPSG:4326, WKT, PROJ text), not '" + text +
                "'"};
  return crs;
}

}  // namespace rhl
