// Names the library refuses, each with the nearest error code and a reason
// in words: before GDAL sees them (what could only hang or read the host's
// own streams) and after (what the record cannot describe).
#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "cpl_string.h"
#include "ecw/ncsecwex.h"
#include "fixtures.h"
#include "reason.h"

using namespace fixtures;

namespace {

// A GeoPackage holding two raster tables: no bands at its top level.
std::string TwoTableGeoPackage() {
  std::string source = Make("gpkg-source.tif", Fixture());
  std::string path = TempDir() + "/two.gpkg";
  GDALDatasetH in = GDALOpen(source.c_str(), GA_ReadOnly);
  for (const char *table : {"first", "second"}) {
    char **options = CSLSetNameValue(nullptr, "RASTER_TABLE", table);
    if (std::string(table) == "second") options = CSLSetNameValue(options, "APPEND_SUBDATASET", "YES");
    GDALClose(GDALCreateCopy(GDALGetDriverByName("GPKG"), path.c_str(), in, FALSE, options,
                             nullptr, nullptr));
    CSLDestroy(options);
  }
  GDALClose(in);
  return path;
}

std::string Fifo() {
  std::string path = TempDir() + "/image.fifo";
  unlink(path.c_str());
  EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
  return path;
}

std::string Socket() {
  std::string path = TempDir() + "/image.sock";
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  EXPECT_EQ(bind(fd, (sockaddr *)&address, sizeof address), 0);
  close(fd);  // the name stays
  return path;
}

struct Refusal {
  std::string name;
  int error;
  std::string reason;  // words the reason holds; "" when it gives none
};

}  // namespace

TEST(LocalRefusals, EachNameGetsTheNearestErrorCodeAndAReason) {
  Fixture rotated;
  rotated.geo = {0, 1, 0.2, 0, 0.1, -1};
  std::string text = TempDir() + "/passwd.ecw";
  std::ofstream(text) << "root:x:0:0:root:/root:/bin/bash\n";
  std::string folder = TempDir() + "/folder.ecw";
  mkdir(folder.c_str(), 0700);
  const Refusal refusals[] = {
      {TempDir() + "/missing.ecw", ENOENT, ""},
      {text, ENOTSUP, "not recognized as a supported file format"},
      {folder, EISDIR, "is a folder"},
      {Make("rotated.tif", rotated), EDOM, "rotated or sheared"},
      {TwoTableGeoPackage(), ENODATA, "only 2 subdatasets, each opened by its own name, such as 'GPKG:"},
      // Would block the open until a writer came, or never end.
      {Fifo(), ESPIPE, "is a FIFO, not a regular file"},
      {Socket(), ESPIPE, "is a socket"},
      {"/dev/zero", ESPIPE, "is a character device"},
      // Would read the host's own standard input, or its terminal.
      {"/vsistdin/", EPERM, "standard streams"},
      {"/vsigzip//vsistdin/", EPERM, "standard streams"},
      {"/dev/stdin", EPERM, "standard streams"},
      {"/dev/stdout", EPERM, "standard streams"},
      {"/dev/fd/0", EPERM, "standard streams"},
      {"/proc/self/fd/0", EPERM, "standard streams"},
      {"/proc/" + std::to_string(getpid()) + "/fd/2", EPERM, "standard streams"},
  };
  alarm(60);  // a refusal that hangs fails the suite rather than blocking it
  for (const Refusal &r : refusals) {
    SCOPED_TRACE(r.name);
    NCSecwexLastReason();  // nothing left from before
    EcwView *view = nullptr;
    errno = 0;
    EXPECT_NE(NCScbmOpenFileView(r.name.c_str(), &view, nullptr), 0);
    EXPECT_EQ(errno, r.error) << strerror(errno);
    std::string reason = NCSecwexLastReason();
    if (r.reason.empty())
      EXPECT_EQ(reason, "");
    else
      EXPECT_NE(reason.find(r.reason), std::string::npos) << reason;
    EXPECT_EQ(std::string(NCSecwexLastReason()), "") << "a reason is handed out once";
  }
  alarm(0);
}

TEST(LocalRefusals, NamesLikeTheRefusedOnesStillOpen) {
  // A name that merely contains the words, and a folder name with "fd".
  std::string dir = TempDir() + "/proc/fdx";
  ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
  std::string path = dir + "/stdin.tif";
  rename(Make("stdin.tif", Fixture()).c_str(), path.c_str());
  EcwView *view = nullptr;
  ASSERT_EQ(NCScbmOpenFileView(path.c_str(), &view, nullptr), 0) << NCSecwexLastReason();
  NCScbmCloseFileView(view);
}

TEST(LocalRefusals, AFileThisProcessMayNotReadIsRefusedAsSuch) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  std::string path = Make("locked.tif", Fixture());
  chmod(path.c_str(), 0);
  EcwView *view = nullptr;
  errno = 0;
  EXPECT_NE(NCScbmOpenFileView(path.c_str(), &view, nullptr), 0);
  EXPECT_EQ(errno, EACCES);
  EXPECT_NE(std::string(NCSecwexLastReason()).find("may not be read"), std::string::npos);
}

TEST(Reasons, ErrorCodesFollowWhatGdalAndTheServerSaid) {
  struct Case {
    std::string text;
    int status, error;
  } cases[] = {
      {"CURL error: Operation timed out after 1001 milliseconds with 0 bytes received", 0, ETIMEDOUT},
      {"CURL error: Operation too slow. Less than 1 bytes/sec transferred the last 1 seconds", 0,
       ETIMEDOUT},
      {"Failed to connect to 127.0.0.1 port 9 after 0 ms: Couldn't connect to server", 0,
       ECONNREFUSED},
      {"Could not resolve host: nowhere.invalid", 0, EHOSTUNREACH},
      {"server certificate verification failed. CAfile: x CRLfile: none", 0, EPROTO},
      {"Range downloading not supported by this server!\nFailed writing header", 200, ESPIPE},
      {"transfer closed with 4096 bytes remaining to read", 206, ECONNRESET},
      {"Maximum (10) redirects followed", 302, ELOOP},
      {"", 404, ENOENT},
      {"", 410, ENOENT},
      {"", 401, EACCES},
      {"", 403, EACCES},
      {"", 416, ESTALE},
      {"", 503, EAGAIN},
      {"", 500, EIO},
      {"", 418, EIO},
      {"not recognized as a supported file format", 0, ENOTSUP},
  };
  for (const Case &c : cases)
    EXPECT_EQ(ncsecwex::NearestError(c.text, c.status, ENOTSUP), c.error) << c.text << " " << c.status;
  EXPECT_EQ(ncsecwex::StatusText(404), "the server answered 404 (Not Found)");
  EXPECT_EQ(ncsecwex::StatusText(599), "the server answered 599");
}
