#include "picture.h"

#include <string.h>

#include <algorithm>

#include "cpl_conv.h"
#include "cpl_error.h"

namespace rhl {
namespace {

void LoadCrs(const std::string &wkt, OGRSpatialReference *srs) {
  srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  if (!wkt.empty()) srs->importFromWkt(wkt.c_str());
}

// Band k (0, 1, 2) of the picture: block row y is line y's channel k. The
// three bands read the same line in turn, which the source answers without
// a second read.
class PictureBand : public GDALRasterBand {
 public:
  PictureBand(Picture *picture, int channel, std::optional<int> nodata)
      : channel_(channel), nodata_(nodata) {
    poDS = picture;
    nBand = channel + 1;
    eDataType = GDT_Byte;
    nBlockXSize = picture->GetRasterXSize();
    nBlockYSize = 1;
  }
  GDALColorInterp GetColorInterpretation() override {
    return channel_ == 0 ? GCI_RedBand : channel_ == 1 ? GCI_GreenBand : GCI_BlueBand;
  }
  double GetNoDataValue(int *success) override {
    if (success != nullptr) *success = nodata_.has_value();
    return nodata_.value_or(0);
  }

 protected:
  CPLErr IReadBlock(int, int row, void *image) override {
    const uint8_t *line = static_cast<Picture *>(poDS)->lines().Line(row);
    if (line == nullptr) {
      CPLError(CE_Failure, CPLE_AppDefined, "line %d not delivered", row);
      return CE_Failure;
    }
    uint8_t *out = static_cast<uint8_t *>(image);
    for (size_t x = 0; x < (size_t)nBlockXSize; ++x) out[x] = line[3 * x + (size_t)channel_];
    return CE_None;
  }

 private:
  int channel_;
  std::optional<int> nodata_;
};

}  // namespace

ModuleLines::ModuleLines(Session &session, const OutputOptions &output)
    : session_(session),
      view_(output.view),
      width_(output.width),
      height_(output.height),
      fill_((uint8_t)output.nodata.value_or(0)),
      writer_(output.format.name) {
  if (view_.width != width_) framed_.assign((size_t)width_ * 3, fill_);
}

const uint8_t *ModuleLines::Line(int row) {
  if (row != current_ && row != current_ + 1) {
    trouble_ = "the " + writer_ + " writer asked for line " + std::to_string(row) +
               " after line " + std::to_string(current_) +
               ", and the module delivers each line once, in order";
    return nullptr;
  }
  const int index = row - view_.top;
  const bool inside = index >= 0 && index < view_.height;
  if (!framed_.empty() && row == current_) return framed_.data();
  if (!inside) {
    if (framed_.empty()) framed_.assign((size_t)width_ * 3, fill_);
    std::fill(framed_.begin(), framed_.end(), fill_);
    current_ = row;
    return framed_.data();
  }
  // The module answers a second ask for its current line from its buffer.
  const uint8_t *line = session_.ReadLine(index);
  if (line == nullptr) {
    trouble_ = "the module did not deliver line " + std::to_string(index) + " of " +
               std::to_string(view_.height);
    return nullptr;
  }
  current_ = row;
  if (framed_.empty()) return line;
  std::fill(framed_.begin(), framed_.end(), fill_);
  memcpy(&framed_[(size_t)view_.left * 3], line, (size_t)view_.width * 3);
  return framed_.data();
}

StoredLines::StoredLines(GDALDatasetH stored)
    : stored_(stored), line_((size_t)GDALGetRasterXSize(stored) * 3) {}

const uint8_t *StoredLines::Line(int row) {
  const int width = GDALGetRasterXSize(stored_);
  if (GDALDatasetRasterIO(stored_, GF_Read, 0, row, width, 1, line_.data(), width, 1, GDT_Byte, 3,
                          nullptr, 3, (GSpacing)width * 3, 1) != CE_None) {
    trouble_ = std::string("cannot read back line ") + std::to_string(row) + ": " +
               CPLGetLastErrorMsg();
    return nullptr;
  }
  return line_.data();
}

Picture::Picture(const OutputOptions &output, LineSource *lines)
    : lines_(lines), geo_(output.geo) {
  SetDescription(output.format.name.c_str());
  // Whole-image reads then go line by line over all bands, not band after
  // band (which would ask the module for every line three times).
  SetMetadataItem("INTERLEAVE", "PIXEL", "IMAGE_STRUCTURE");
  if (!output.description.empty())
    SetMetadataItem("TIFFTAG_IMAGEDESCRIPTION", output.description.c_str());
  LoadCrs(output.crsWkt, &srs_);
  LoadCrs(output.gcpCrsWkt, &gcpSrs_);
  for (const Gcp &g : output.gcps) {
    GDAL_GCP p;
    p.pszId = CPLStrdup(g.id.c_str());
    p.pszInfo = CPLStrdup("");
    p.dfGCPPixel = g.pixel;
    p.dfGCPLine = g.line;
    p.dfGCPX = g.x;
    p.dfGCPY = g.y;
    p.dfGCPZ = g.z;
    gcps_.push_back(p);
  }
  nRasterXSize = output.width;
  nRasterYSize = output.height;
  for (int k = 0; k < 3; ++k) SetBand(k + 1, new PictureBand(this, k, output.nodata));
}

Picture::~Picture() {
  if (!gcps_.empty()) GDALDeinitGCPs((int)gcps_.size(), gcps_.data());
}

CPLErr Picture::GetGeoTransform(double *gt) {
  if (!geo_) return CE_Failure;
  std::copy(geo_->begin(), geo_->end(), gt);
  return CE_None;
}

}  // namespace rhl
