// Every file GDAL opens on the library's behalf passes the library's check,
// whatever route leads to it: a VRT's sources, GDAL paths in a link, the
// sidecars beside an image, a VRT's raw bands. Each route is refused at once
// with the reason naming the file; nothing waits on a FIFO.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "cpl_conv.h"
#include "ecw/ncsecwex.h"
#include "fixtures.h"
#include "library_views.h"
#include "local.h"
#include "reason.h"

using namespace fixtures;

namespace {

std::string MakeFifo(const std::string &name) {
  std::string path = TempDir() + "/" + name;
  unlink(path.c_str());
  EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
  return path;
}

// A one-band 64 x 48 VRT whose one source is `source`.
std::string SourceVrt(const std::string &name, const std::string &source, bool relative) {
  std::string path = TempDir() + "/" + name;
  std::ofstream(path) << "<VRTDataset rasterXSize=\"64\" rasterYSize=\"48\">\n"
                         "  <VRTRasterBand dataType=\"Byte\" band=\"1\">\n"
                         "    <SimpleSource><SourceFilename relativeToVRT=\""
                      << (relative ? 1 : 0) << "\">" << source
                      << "</SourceFilename><SourceBand>1</SourceBand></SimpleSource>\n"
                         "  </VRTRasterBand>\n</VRTDataset>\n";
  return path;
}

// A VRT whose one band is raw: the bytes of `file`, 16 to a line.
std::string RawVrt(const std::string &name, const std::string &file, int lines) {
  std::string path = TempDir() + "/" + name;
  std::ofstream(path) << "<VRTDataset rasterXSize=\"16\" rasterYSize=\"" << lines << "\">\n"
                      << "  <VRTRasterBand dataType=\"Byte\" band=\"1\" subClass=\"VRTRawRasterBand\">\n"
                      << "    <SourceFilename relativeToVRT=\"0\">" << file << "</SourceFilename>\n"
                      << "    <ImageOffset>0</ImageOffset><PixelOffset>1</PixelOffset>"
                      << "<LineOffset>16</LineOffset>\n  </VRTRasterBand>\n</VRTDataset>\n";
  return path;
}

struct Outcome {
  bool opened = false;  // the open succeeded (the refusal came with the first line)
  int error = 0;
  std::string reason;
  double seconds = 0;
};

// Opens `name` and reads the first line of a 1:1 view of it.
Outcome Read(const std::string &name) {
  Outcome o;
  auto start = std::chrono::steady_clock::now();
  NCSecwexLastReason();
  EcwView *view = nullptr;
  errno = 0;
  if (NCScbmOpenFileView(name.c_str(), &view, nullptr) == 0) {
    o.opened = true;
    EcwFileInfo *info = nullptr;
    NCScbmGetViewFileInfo(view, &info);
    uint32_t bands[] = {0};
    std::vector<uint8_t> line((size_t)info->width * 3);
    if (NCScbmSetFileView(view, 1, bands, 0, 0, (int32_t)info->width - 1,
                          (int32_t)info->height - 1, (int32_t)info->width,
                          (int32_t)info->height) == 0)
      NCScbmReadViewLineRGB(view, line.data());
    o.error = errno;
    o.reason = NCSecwexLastReason();
    NCScbmCloseFileView(view);
  } else {
    o.error = errno;
    o.reason = NCSecwexLastReason();
  }
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return o;
}

struct Route {
  std::string what, name;
  int error;
  std::string reason;  // words the reason holds, the file's name among them
};

void ExpectRefused(const Route &r) {
  SCOPED_TRACE(r.what + ": " + r.name);
  Outcome o = Read(r.name);
  EXPECT_EQ(o.error, r.error) << strerror(o.error);
  EXPECT_NE(o.reason.find(r.reason), std::string::npos) << o.reason;
  EXPECT_LT(o.seconds, 1.0) << "refused at once";
}

}  // namespace

TEST(Routes, AFifoOrAStandardStreamIsRefusedWhateverRouteLeadsToIt) {
  std::string fifo = MakeFifo("route.fifo");
  std::string link = TempDir() + "/fifo-link.tif";
  unlink(link.c_str());
  ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
  // From the scratch folder, the root is two folders up.
  const std::string up = "../../";
  const Route routes[] = {
      {"VRT source, relative", SourceVrt("rel-fifo.vrt", "route.fifo", true), ESPIPE,
       "route.fifo' is a FIFO, not a regular file"},
      {"VRT source, absolute", SourceVrt("abs-fifo.vrt", fifo, false), ESPIPE,
       "'" + fifo + "' is a FIFO, not a regular file"},
      {"VRT source /dev/stdin, relative", SourceVrt("rel-stdin.vrt", up + "dev/stdin", true), EPERM,
       "dev/stdin' names the host's standard streams"},
      {"VRT source /dev/stdin, absolute", SourceVrt("abs-stdin.vrt", "/dev/stdin", false), EPERM,
       "'/dev/stdin' names the host's standard streams"},
      {"VRT source /dev/fd/0, relative", SourceVrt("rel-fd.vrt", up + "dev/fd/0", true), EPERM,
       "dev/fd/0' names the host's standard streams"},
      {"VRT source /dev/fd/0, absolute", SourceVrt("abs-fd.vrt", "/dev/fd/0", false), EPERM,
       "'/dev/fd/0' names the host's standard streams"},
      {"VRT source /vsistdin/", SourceVrt("stdin-reader.vrt", "/vsistdin/", false), EPERM,
       "'/vsistdin/' names the host's standard streams"},
      {"VRT source through HTTP", SourceVrt("curl.vrt", "/vsicurl/file://" + fifo, false), EPERM,
       "the local file 'file://" + fifo + "'"},
      {"a part of a file", "/vsisubfile/0_100," + fifo, ESPIPE,
       "'" + fifo + "' is a FIFO, not a regular file"},
      {"a gzip stream", "/vsigzip/" + fifo, ESPIPE, "'" + fifo + "' is a FIFO, not a regular file"},
      {"a GeoTIFF directory, through a symbolic link", "GTIFF_DIR:1:" + link, ESPIPE,
       "'" + link + "' is a FIFO, not a regular file"},
      {"HTTP for a local file", "/vsicurl?url=file://" + fifo, EPERM,
       "the local file 'file://" + fifo + "'"},
      {"HTTP for a local file, encoded", "/vsicurl?url=FILE%3A%2F%2F" + fifo + "&use_head=no", EPERM,
       "the local file 'FILE://" + fifo + "'"},
  };
  alarm(60);  // a route that hangs fails the suite rather than blocking it
  for (const Route &r : routes) ExpectRefused(r);
  alarm(0);
}

TEST(Routes, AFifoBesideAnImageIsPassedOverAndTheImageServes) {
  std::string image = Make("beside.tif", Fixture());
  for (const char *sidecar : {".aux.xml", ".ovr", ".msk"}) MakeFifo("beside.tif" + std::string(sidecar));
  MakeFifo("beside.tfw");
  alarm(60);
  Outcome o = Read(image);
  alarm(0);
  EXPECT_TRUE(o.opened);
  EXPECT_EQ(o.reason, "");
  EXPECT_LT(o.seconds, 1.0);
  std::vector<uint8_t> all = ReadView(image, {0, 1, 2}, {0, 0, 63, 47, 64, 48});
  EXPECT_EQ(MaxDifference(all, Oracle(image, {0, 1, 2}, 0, 0, 63, 47, 64, 48)), 0);
}

TEST(Routes, RawBandsAreOffUnlessTheUserTurnsThemOn) {
  std::string bytes = TempDir() + "/sixty-four-bytes.bin";
  {
    std::ofstream out(bytes, std::ios::binary);
    for (int i = 0; i < 64; ++i) out.put((char)(i * 3));
  }
  std::string plain = RawVrt("raw.vrt", bytes, 4);
  std::string environment = RawVrt("environ.vrt", "/proc/self/environ", 4);
  std::string passwd = RawVrt("passwd.vrt", "/etc/passwd", 1);
  const Route off[] = {
      {"a regular file", plain, EPERM, "'" + plain + "' holds a raw band"},
      {"a process's environment", environment, EPERM, "'" + environment + "' holds a raw band"},
      {"the system's users", passwd, EPERM, "GDAL_VRT_ENABLE_RAWRASTERBAND=YES"},
      // A raw band in a VRT that another VRT names is refused as well.
      {"a VRT of the VRT", SourceVrt("outer.vrt", plain, false), EPERM,
       "'" + plain + "' holds a raw band"},
  };
  for (const Route &r : off) ExpectRefused(r);
  for (const char *setting : {"NO", "FALSE"}) {
    CPLSetConfigOption("GDAL_VRT_ENABLE_RAWRASTERBAND", setting);
    ExpectRefused(off[0]);
  }

  // The user's setting wins; the kernel's information is still no image.
  CPLSetConfigOption("GDAL_VRT_ENABLE_RAWRASTERBAND", "YES");
  ExpectRefused({"a process's environment, raw bands on", environment, EPERM,
                 "'/proc/self/environ' is the kernel's information"});
  std::vector<uint8_t> got = ReadView(plain, {0}, {0, 0, 15, 3, 16, 4});
  CPLSetConfigOption("GDAL_VRT_ENABLE_RAWRASTERBAND", nullptr);
  ASSERT_EQ(got.size(), 64u * 3);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(got[(size_t)i * 3], (uint8_t)(i * 3)) << i;
}

TEST(Routes, NamesThatOnlyResembleRefusedOnesOpen) {
  // A source whose name holds "file" and "fd", over HTTP, is no local file.
  std::string image = Make("profile:fd.tif", Fixture());
  std::string vrt = SourceVrt("resembles.vrt", "profile:fd.tif", true);
  EXPECT_EQ(Read(vrt).reason, "");
  std::string reason;
  EXPECT_EQ(ncsecwex::RefusedByName("/vsicurl/http://host/profile:1/file:2.tif", &reason), 0);
  EXPECT_EQ(ncsecwex::RefusedByName("/vsicurl?use_head=no&url=https://host/file.tif", &reason), 0);
  EXPECT_EQ(ncsecwex::RefusedByName("/vsicurl_streaming/file:///x.tif", &reason), EPERM);
  EXPECT_EQ(ncsecwex::RefusedByName("/vsisubfile/0_10,/vsicurl/file:/x.tif", &reason), EPERM);
}
