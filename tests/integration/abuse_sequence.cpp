// One host session that calls the entries in every order a careless host
// might. Run under valgrind by ctest: no error, no definite leak.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "fixtures.h"
#include "module_host.h"

using namespace fixtures;

static int gFailures = 0;
static void Expect(bool ok, const char *what) {
  if (!ok) {
    fprintf(stdout, "FAILED: %s\n", what);
    ++gFailures;
  }
}

// Records the host keeps for the whole session, and the blocks it was given.
static Raster gRaster, gFailed, gCopy;
static RegistrationBlock *gFirstBlock;
// A plain array outlives static destructors; kept visible so its stores stay.
RegistrationBlock *gKeptBlocks[3];

int main() {
  Fixture fixture;
  fixture.width = 120;
  fixture.height = 80;
  std::string image = Make("abuse.tif", fixture);
  std::string link = TempDir() + "/abuse.url";
  FILE *f = fopen(link.c_str(), "w");
  fprintf(f, "%s\r\n", image.c_str());
  fclose(f);

  const rhl::HandlerModule &m = Module();
  RhlRect whole{0, 0, 120, 80}, part{10, 10, 60, 50};
  int32_t width = 0;
  uint8_t *line = nullptr;
  uint16_t flag = 0;
  CaptureStart();  // the boxes this session provokes are expected

  Expect(m.Open()(&gRaster, link.c_str(), 0) == 1, "open");
  Expect(m.ReadLine()(&gRaster, 0, &line, &flag) == 0, "read before begin");
  Expect(m.EndView()(&gRaster) == 1, "end before begin");
  Expect(m.BeginView()(&gRaster, &whole, &whole, 1.0, &width) == 1, "begin");
  Expect(m.ReadLine()(&gRaster, 0, &line, &flag) == 1 && line != nullptr, "read");
  Expect(m.BeginView()(&gRaster, &part, &part, 0.5, &width) == 1, "begin again without end");
  for (int y = 0; y < 40; ++y) Expect(m.ReadLine()(&gRaster, y, &line, &flag) == 1, "read part");
  Expect(m.ReadLine()(&gRaster, 40, &line, &flag) == 0, "read past the window");
  Expect(m.EndView()(&gRaster) == 1, "end");
  Expect(m.EndView()(&gRaster) == 1, "end twice");
  Expect(m.ReadLine()(&gRaster, 1, &line, &flag) == 0, "read after end");
  RhlRect outside{100, 0, 200, 10};
  Expect(m.BeginView()(&gRaster, &outside, &outside, 1.0, &width) == 0, "begin outside");
  Expect(m.ReadLine()(&gRaster, 0, &line, &flag) == 0, "read after failed begin");
  Expect(m.EndView()(&gRaster) == 1, "end after failed begin");

  Expect(m.Open()(&gFailed, "nowhere.ecw", 0) == 0, "failed open");
  Expect(m.BeginView()(&gFailed, &whole, &whole, 1.0, &width) == 0, "begin on failed open");
  Expect(m.ReadLine()(&gFailed, 0, &line, &flag) == 0, "read on failed open");
  Expect(m.EndView()(&gFailed) == 1, "end on failed open");

  // Reopening a record with a view still open: the host keeps the first block.
  Expect(m.BeginView()(&gRaster, &whole, &whole, 1.0, &width) == 1, "begin before reopen");
  gFirstBlock = gRaster.registration;
  Expect(m.Open()(&gRaster, image.c_str(), 0) == 0, "reopen by a name of another extension");
  Expect(m.Open()(&gRaster, link.c_str(), 0) == 1, "reopen");
  Expect(m.Close()(&gRaster) == 1, "close");
  Expect(gFirstBlock->magic == kRegistrationMagic, "the host still reads the first block");

  // A record copied into another: the copy is no open record until it is
  // opened itself, and the original keeps its state through all of it.
  gKeptBlocks[0] = gRaster.registration;
  memcpy(&gCopy, &gRaster, sizeof gCopy);
  Expect(m.BeginView()(&gCopy, &whole, &whole, 1.0, &width) == 0, "begin on a copy");
  Expect(m.EndView()(&gCopy) == 1, "end on a copy");
  Expect(m.Open()(&gRaster, link.c_str(), 0) == 1, "reopen the original of a copy");
  gKeptBlocks[1] = gRaster.registration;
  Expect(m.BeginView()(&gCopy, &whole, &whole, 1.0, &width) == 0, "begin on a stale copy");
  Expect(m.Open()(&gCopy, "nowhere.ecw", 0) == 0, "failed open of the copy");
  Expect(m.Open()(&gCopy, link.c_str(), 0) == 1, "open of the copy");
  gKeptBlocks[2] = gCopy.registration;
  Expect(m.BeginView()(&gRaster, &whole, &whole, 1.0, &width) == 1, "begin on the original");
  Expect(m.BeginView()(&gCopy, &part, &part, 1.0, &width) == 1, "begin on the copy");
  for (int y = 0; y < 40; ++y) {
    Expect(m.ReadLine()(&gRaster, y, &line, &flag) == 1, "read the original");
    Expect(m.ReadLine()(&gCopy, y, &line, &flag) == 1, "read the copy");
  }
  Expect(m.EndView()(&gCopy) == 1 && m.EndView()(&gRaster) == 1, "end both");

  // Link files that cannot be links are refused at once, never read.
  std::string dir = TempDir() + "/";
  Expect(mkfifo((dir + "fifo.url").c_str(), 0600) == 0, "make a FIFO");
  Expect(symlink("/dev/zero", (dir + "zero.url").c_str()) == 0, "link to /dev/zero");
  Expect(symlink("/dev/urandom", (dir + "random.url").c_str()) == 0, "link to /dev/urandom");
  Expect(mkdir((dir + "folder.url").c_str(), 0700) == 0, "make a folder");
  int fd = open((dir + "sparse.url").c_str(), O_CREAT | O_WRONLY, 0600);
  Expect(fd >= 0 && ftruncate(fd, (off_t)1 << 30) == 0, "make a sparse 1 GiB file");
  if (fd >= 0) close(fd);
  for (const char *name : {"fifo.url", "zero.url", "random.url", "folder.url", "sparse.url"}) {
    std::string path = dir + name;
    Expect(m.Probe()(path.c_str()) == 0, "probe of a file that is no link");
    Expect(m.Open()(&gFailed, path.c_str(), 0) == 0, "open of a file that is no link");
  }
  CaptureEnd();

  printf("%s: %d failed\n", gFailures ? "abuse sequence FAILED" : "abuse sequence passed", gFailures);
  return gFailures ? 1 : 0;
}
