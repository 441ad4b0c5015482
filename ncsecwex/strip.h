// Streams a view's window out of GDAL in strips of lines, as RGB.
#ifndef NCSECWEX_STRIP_H
#define NCSECWEX_STRIP_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "gdal.h"

namespace ncsecwex {

// A region of the image (pixels, top-left and size) delivered at a window size.
struct Region {
  int32_t left, top, width, height;
  int32_t windowWidth, windowHeight;
};

// A strip holds at most this many lines and bytes (but always one line).
constexpr int kMaxStripLines = 256;
constexpr size_t kMaxStripBytes = size_t{16} << 20;

// The largest strip buffer held since the last reset (for tests).
size_t PeakStripBytes();
void ResetPeakStripBytes();

class StripReader {
 public:
  StripReader() = default;
  StripReader(const StripReader &) = delete;
  StripReader &operator=(const StripReader &) = delete;
  ~StripReader();

  // Starts a view; `bands` are the image's band indexes from 0 (a paletted
  // image's three are its palette's red, green and blue).
  // `name` opens a second handle when a reduction must not reach overviews.
  bool Set(GDALDatasetH dataset, const char *name, GDALColorTableH palette,
           const std::vector<uint32_t> &bands, const Region &region);
  // The window's next line, 3 bytes a pixel; false after the last line.
  bool NextLine(uint8_t *rgb);
  int StripLines() const { return stripLines_; }

 private:
  bool ChooseSource(const char *name, GDALRIOResampleAlg resampling);
  bool ReadStrip(int first);
  uint8_t Channel(const uint8_t *pixel, int channel) const;

  GDALDatasetH dataset_ = nullptr;
  GDALColorTableH palette_ = nullptr;
  Region region_{};
  std::vector<int> gdalBands_;      // GDAL band numbers read into the strip
  // Where a reduction reads: the bands of the one overview GDAL itself would
  // read for the whole window, or of the image opened without its overviews;
  // and how many image pixels one of their pixels covers.
  GDALDatasetH flat_ = nullptr;
  std::vector<GDALRasterBandH> sourceBands_;
  double sourceRatioX_ = 1.0, sourceRatioY_ = 1.0;
  std::vector<int> channelOf_;      // output R, G, B -> strip channel or palette entry
  std::vector<double> min_, max_;   // scaling of data wider than 8 bits
  GDALDataType type_ = GDT_Byte;
  GDALRIOResampleAlg resampling_ = GRIORA_NearestNeighbour;
  int sampleSize_ = 1;
  int stripLines_ = 0;
  int stripFirst_ = 0, stripCount_ = 0;
  int nextLine_ = 0;
  bool set_ = false;
  std::vector<uint8_t> strip_;
};

}  // namespace ncsecwex

#endif
