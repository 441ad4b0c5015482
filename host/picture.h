// The picture rhl writes, as a read-only GDAL dataset: three Byte bands
// (red, green, blue), the output's georeferencing or ground control points,
// its nodata and its description. Its lines come from a LineSource: the
// module's view, placed in the output and framed with the fill value where
// the window asked for reaches outside the image, or a GeoTIFF that holds
// them already.
#ifndef RHL_HOST_PICTURE_H
#define RHL_HOST_PICTURE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "gdal_priv.h"
#include "ogr_spatialref.h"
#include "output.h"
#include "session.h"

namespace rhl {

class LineSource {
 public:
  virtual ~LineSource() = default;
  // Output line `row`, width x 3 bytes, or null with the reason in trouble().
  virtual const uint8_t *Line(int row) = 0;
  // Whether lines may be asked for in any order, and again.
  virtual bool AnyOrder() const = 0;
  const std::string &trouble() const { return trouble_; }

 protected:
  std::string trouble_;
};

// The module's lines, each delivered once, top to bottom: a writer that asks
// for an earlier line is stopped rather than given the wrong one. Where the
// view covers part of the output (output.view), the rest is the fill value.
class ModuleLines : public LineSource {
 public:
  ModuleLines(Session &session, const OutputOptions &output);
  const uint8_t *Line(int row) override;
  bool AnyOrder() const override { return false; }

 private:
  Session &session_;
  Inset view_;
  int width_, height_, current_ = -1;
  uint8_t fill_;
  std::vector<uint8_t> framed_;  // a whole output line where the view is not
  std::string writer_;
};

// Lines read back from a dataset of three Byte bands, in any order.
class StoredLines : public LineSource {
 public:
  explicit StoredLines(GDALDatasetH stored);
  const uint8_t *Line(int row) override;
  bool AnyOrder() const override { return true; }

 private:
  GDALDatasetH stored_;
  std::vector<uint8_t> line_;
};

class Picture : public GDALDataset {
 public:
  Picture(const OutputOptions &output, LineSource *lines);
  ~Picture() override;
  CPLErr GetGeoTransform(double *gt) override;
  const OGRSpatialReference *GetSpatialRef() const override {
    return srs_.IsEmpty() ? nullptr : &srs_;
  }
  int GetGCPCount() override { return (int)gcps_.size(); }
  const GDAL_GCP *GetGCPs() override { return gcps_.empty() ? nullptr : gcps_.data(); }
  const OGRSpatialReference *GetGCPSpatialRef() const override {
    return gcpSrs_.IsEmpty() ? nullptr : &gcpSrs_;
  }
  LineSource &lines() { return *lines_; }

 private:
  LineSource *lines_;
  std::optional<std::array<double, 6>> geo_;
  OGRSpatialReference srs_, gcpSrs_;
  std::vector<GDAL_GCP> gcps_;
};

}  // namespace rhl

#endif
