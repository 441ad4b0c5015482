// Streams a view's window out of GDAL in strips of lines, as RGB.
#ifndef NCSECWEX_STRIP_H
#define NCSECWEX_STRIP_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <atomic>
#include <string>
#include <vector>

#include "blackout.h"
#include "cache.h"
#include "gdal.h"
#include "pipeline.h"
#include "stats.h"

namespace ncsecwex {

// A region of the image (pixels, top-left and size) delivered at a window size.
struct Region {
  int32_t left, top, width, height;
  int32_t windowWidth, windowHeight;
};

// A strip holds at most this many lines and bytes (but always one line); a
// view holds two strips, the one being delivered and the next. A remote
// image's strips are bounded by bytes alone: GDAL asks the server for a
// read's blocks in exact ranges only when one read spans several of them,
// so one read of a whole window costs fewer bytes than strip-sized reads.
constexpr int kMaxStripLines = 256;
constexpr size_t kMaxStripBytes = size_t{16} << 20;
// A window whose one line of samples would need more is refused.
constexpr size_t kMaxLineBytes = size_t{256} << 20;
// A reduction averages the pixels of the level it reads (an overview or the
// image) while one output pixel covers at most this many of them (a
// reduction of 8 each way); beyond, it samples them (nearest, as GDAL's
// RasterIO does by default), so that a view costs about its output's pixels
// whatever the image, overviews or none.
constexpr double kMaxAveragedPixels = 64.0;

class StripReader {
 public:
  StripReader() = default;
  StripReader(const StripReader &) = delete;
  StripReader &operator=(const StripReader &) = delete;
  ~StripReader() { Stop(); }

  // Starts a view of `image`; `bands` are the image's band indexes from 0 (a
  // paletted image's three are its palette's red, green and blue; in an
  // image whose bands are labelled red, green and blue, 0, 1 and 2 are
  // those bands, wherever they lie in the file). 0, or an
  // errno value: EINVAL when the image cannot be read so, ENOMEM when the
  // window's lines do not fit in memory.
  int Set(Image *image, const std::vector<uint32_t> &bands, const Region &region);
  // The window's next line, 3 bytes a pixel; false after the last line, or
  // when reading failed (then Failure says why).
  bool NextLine(uint8_t *rgb);
  // The error code and reason of a failed read; 0 while none has failed.
  int FailureError() const { return failError_; }
  const std::string &FailureReason() const { return failReason_; }
  // Stops reading ahead; the image is then free for other use.
  void Stop();
  int StripLines() const { return stripLines_; }
  // How many of the read level's pixels one output pixel covers when the
  // view samples rather than averages them; 0 when it does not.
  double Sampled() const { return sampled_; }
  // The stretch applied to the view's R, G and B (for tests).
  const std::array<Stretch, 3> &Stretches() const { return stretchOf_; }

 private:
  bool ChooseSource(GDALRIOResampleAlg resampling);
  bool ChooseForm();
  // The layout ReadStrip gives the samples.
  StripLayout Layout() const;
  bool ReadStrip(int first, int count, uint8_t *strip, const std::atomic<bool> &stop) const;
  bool ReadSamples(int first, int count, uint8_t *strip, const std::atomic<bool> &stop) const;
  // Line `line` of the strip (its bands one after another) as R, G, B,
  // nodata and transparent pixels black.
  void ConvertLine(const uint8_t *strip, size_t line, uint8_t *rgb) const;
  void ConvertSamples(const uint8_t *strip, size_t line, uint8_t *rgb) const;

  Image *image_ = nullptr;
  Region region_{};
  std::vector<int> gdalBands_;      // GDAL band numbers read into the strip
  // Where a reduction reads: the bands of the one overview GDAL itself would
  // read for the whole window, or of the image opened without its overviews;
  // and how many image pixels one of their pixels covers.
  std::vector<GDALRasterBandH> sourceBands_;
  double sourceRatioX_ = 1.0, sourceRatioY_ = 1.0;
  double sampled_ = 0;
  bool flat_ = false;  // sourceBands_ are the image's, read without its overviews
  bool sampledWhole_ = false;  // samples of the image read from its dataset
  // How strip samples become R, G, B: copied (8-bit data), looked up in the
  // palette, looked up in a band's table (16-bit data) or stretched (wider).
  enum class Form { kBytes, kPalette, kTable, kStretch };
  Form form_ = Form::kBytes;
  std::array<int, 3> channelOf_{};  // output R, G, B -> strip channel or palette entry
  std::array<Stretch, 3> stretchOf_{};
  std::vector<Stretcher> stretchers_;      // by strip channel, kStretch
  std::vector<const uint8_t *> tables_;    // by strip channel, kTable
  GDALDataType type_ = GDT_Byte;           // of the strip's samples
  GDALRIOResampleAlg resampling_ = GRIORA_NearestNeighbour;
  size_t sampleSize_ = 1;
  Blackout blackout_;
  size_t maskOffset_ = 0;  // where a strip's mask plane begins, when one is read
  int stripLines_ = 0;
  int nextLine_ = 0;
  bool set_ = false;
  // Written by whichever thread reads, before the failed strip is handed on.
  mutable int failError_ = 0;
  mutable std::string failReason_;
  StripPipeline pipeline_;
};

}  // namespace ncsecwex

#endif
