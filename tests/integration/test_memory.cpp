// A process limited in the memory it may map (ulimit -v): a view whose
// memory the library can foresee not to fit is refused at once with ENOMEM,
// and one that fits is read whole, GDAL's block cache made to fit beside it.
#include <errno.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "ecw/ncsecwex.h"
#include "fixtures.h"
#include "memory.h"
#include "reason.h"

using namespace fixtures;

// The sanitizers map far more than they use: they cannot run under ulimit -v.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RHL_SANITIZED 1
#endif

#ifndef RHL_SANITIZED
namespace {

// What a view of the whole of `path` at 1:1 came to in a child process
// that may map `room` bytes more than it maps when it starts: 0 when every
// line was read, else the error code; the reason goes to `reasonFile`.
int ViewWithRoom(const std::string &path, size_t room, const std::string &reasonFile) {
  pid_t child = fork();
  if (child == 0) {
    std::ofstream out(reasonFile);
    size_t mapped = 0;
    {
      std::ifstream statm("/proc/self/statm");
      statm >> mapped;
    }
    rlimit limit;
    limit.rlim_cur = limit.rlim_max = mapped * (size_t)sysconf(_SC_PAGESIZE) + room;
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(100);
    EcwView *view = nullptr;
    if (NCScbmOpenFileView(path.c_str(), &view, nullptr) != 0) _exit(101);
    EcwFileInfo *info = nullptr;
    NCScbmGetViewFileInfo(view, &info);
    uint32_t bands[] = {0, 1, 2};
    int32_t w = (int32_t)info->width, h = (int32_t)info->height;
    int code = 0;
    if (NCScbmSetFileView(view, 3, bands, 0, 0, w - 1, h - 1, w, h) != 0) {
      code = errno;
    } else {
      std::vector<uint8_t> line((size_t)w * 3);
      for (int y = 0; y < h && code == 0; ++y)
        if (NCScbmReadViewLineRGB(view, line.data()) != 0) code = errno;
      out << "cache " << GDALGetCacheMax64() << "\n";
    }
    out << NCSecwexLastReason() << "\n";
    out.close();
    _exit(code);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace
#endif

TEST(Memory, UnderUlimitAViewThatCannotFitIsRefusedAtOnceAndOneThatFitsIsRead) {
#ifdef RHL_SANITIZED
  GTEST_SKIP() << "the sanitizers cannot run under ulimit -v";
#else
  Fixture wide;
  wide.width = 20000;
  wide.height = 600;  // strips of 256 lines of 60 000 bytes: 15 MiB each
  std::string path = Make("limited.tif", wide);
  std::string reasonFile = TempDir() + "/memory-reason.txt";
  auto said = [&] {
    std::ifstream in(reasonFile);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  // Room for a few MiB: not even one strip fits.
  EXPECT_EQ(ViewWithRoom(path, size_t{8} << 20, reasonFile), ENOMEM);
  EXPECT_NE(said().find("the view needs 15 MiB for its lines and 36 MiB for GDAL's blocks"),
            std::string::npos)
      << said();
  EXPECT_NE(said().find("(ulimit -v)"), std::string::npos) << said();
  // Room for a strip, GDAL's reserve and a part of the block cache, not for
  // a thread reading ahead: the view is read whole, one strip at a time,
  // with a block cache smaller than its stated size.
  int code = ViewWithRoom(path, size_t{96} << 20, reasonFile);
  EXPECT_EQ(code, 0) << said();
  int64_t cache = 0;
  EXPECT_EQ(sscanf(said().c_str(), "cache %ld", &cache), 1) << said();
  EXPECT_LT(cache, ncsecwex::kBlockCacheBytes);
  EXPECT_GE(cache, ncsecwex::kMinBlockCacheBytes);
  // Room enough: the block cache at its stated size again.
  EXPECT_EQ(ViewWithRoom(path, size_t{512} << 20, reasonFile), 0) << said();
  EXPECT_EQ(sscanf(said().c_str(), "cache %ld", &cache), 1) << said();
  EXPECT_EQ(cache, ncsecwex::kBlockCacheBytes);
#endif
}
