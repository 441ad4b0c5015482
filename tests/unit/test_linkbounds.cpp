// Link files that cannot be links: refused at once, before they are read,
// and never waited on.
#define _FILE_OFFSET_BITS 64
#include <errno.h>
#include <string.h>

#include <string>

#include "diagnostics/diagnostics.h"
#include "linkfile/linkfile.h"
#include "platform/platform.h"
#include "support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using LinkBounds = ModuleTest;

#if !defined(_WIN32)
// The lowest free descriptor: it rises when one is left open.
static int NextDescriptor() {
  int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}
#endif

static std::string TooLarge(const std::string &link) {
  return "ReadUrlFromFile: url file '" + link + "' is too large to be a link file (more than "
         "65536 bytes)";
}

TEST_F(LinkBounds, SizeLimitIs64KiBOfNameAndWhiteSpace) {
  std::string name = "padded.ecw";
  std::string fits = WriteFile("fits.url", name + std::string(65536 - name.size(), '\n'));
  std::string over = WriteFile("over.url", name + std::string(65537 - name.size(), '\n'));
  char out[kNameSize];
  EXPECT_EQ(ReadUrlFromFile(fits.c_str(), out), 0) << GetLastMessage();
  EXPECT_STREQ(out, "padded.ecw");

  memset(out, 'q', sizeof out);
  PlatFailNext(PLAT_OP_READ, 0, EIO);  // a read would say so instead
  EXPECT_EQ(ReadUrlFromFile(over.c_str(), out), 1);
  EXPECT_EQ(GetLastMessage(), TooLarge(over));
  EXPECT_TRUE(PlatFailurePending()) << "the file was read";
  EXPECT_EQ(out[0], 'q');
}

TEST_F(LinkBounds, AFileThatCannotBeExaminedIsRefusedWithTheSystemText) {
  std::string link = WriteFile("a.url", "a.ecw");
  PlatFailNext(PLAT_OP_EXAMINE, 0, EIO);
  char out[kNameSize];
  EXPECT_EQ(ReadUrlFromFile(link.c_str(), out), 1);
  EXPECT_EQ(GetLastMessage(), "ReadUrlFromFile: error examining url file '" + link + "' (" +
                                  ErrorText(EIO) + ")");
}

TEST_F(LinkBounds, ARefusedFileIsClosedAndTheOpenShowsWhy) {
  std::string link = WriteFile("big.url", std::string(70000, 'x'));
#if !defined(_WIN32)
  int before = NextDescriptor();
#endif
  raster_.viewState = reinterpret_cast<ViewState *>(&raster_);
  EXPECT_EQ(HandlerProbe(link.c_str()), 0);
  EXPECT_EQ(HandlerOpen(&raster_, link.c_str(), 0), 0);
#if !defined(_WIN32)
  EXPECT_EQ(NextDescriptor(), before) << "a descriptor was left open";
#endif
  EXPECT_EQ(HandlerGetLastError(&raster_), 5u);
  EXPECT_EQ(raster_.viewState, nullptr);
  EXPECT_EQ(boxes(), (Boxes{ErrorBox(TooLarge(link)), ErrorBox(TooLarge(link))}));
  EXPECT_TRUE(fake::Calls().empty());
}

#if !defined(_WIN32)

static std::string NotRegular(const std::string &link) {
  return "ReadUrlFromFile: url file '" + link + "' is not a regular file";
}

namespace {

// What ReadUrlFromFile answered in a child process that is killed if it has
// not answered within a few seconds.
struct Outcome {
  bool answered = false;
  int32_t result = -1;
  std::string message;
};

Outcome ReadBounded(const std::string &link, PlatOp fault) {
  int fds[2];
  if (pipe(fds) != 0) return Outcome{};
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    alarm(5);
    PlatFailNext(fault, 0, EIO);
    char out[kNameSize];
    int32_t result = ReadUrlFromFile(link.c_str(), out);
    const char *message = GetLastMessage();
    ssize_t ignored = write(fds[1], message, strlen(message));
    (void)ignored;
    _exit(result);
  }
  close(fds[1]);
  Outcome outcome;
  char buffer[1024];
  ssize_t got;
  while ((got = read(fds[0], buffer, sizeof buffer)) > 0) outcome.message.append(buffer, got);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.answered = WIFEXITED(status);
  if (outcome.answered) outcome.result = WEXITSTATUS(status);
  return outcome;
}


enum class Made { Fifo, Symlink, Folder, Sparse };
struct Special {
  const char *name;
  Made how;
  const char *target;  // Symlink
  off_t size;          // Sparse
};

bool Make(const Special &s, const std::string &path) {
  switch (s.how) {
    case Made::Fifo:
      return mkfifo(path.c_str(), 0600) == 0;
    case Made::Symlink:
      return symlink(s.target, path.c_str()) == 0;
    case Made::Folder:
      return mkdir(path.c_str(), 0700) == 0;
    case Made::Sparse: {
      int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
      bool ok = fd >= 0 && ftruncate(fd, s.size) == 0;
      if (fd >= 0) close(fd);
      return ok;
    }
  }
  return false;
}

}  // namespace

TEST_F(LinkBounds, WhatIsNoRegularFileOrTooLargeIsRefusedBeforeItIsRead) {
  const Special cases[] = {
      {"fifo.url", Made::Fifo, nullptr, 0},
      {"zero.url", Made::Symlink, "/dev/zero", 0},
      {"random.url", Made::Symlink, "/dev/urandom", 0},
      {"folder.url", Made::Folder, nullptr, 0},
      {"sparse20g.url", Made::Sparse, nullptr, (off_t)20 << 30},
      {"sparse200m.url", Made::Sparse, nullptr, (off_t)200 << 20},
  };
  for (const Special &c : cases) {
    SCOPED_TRACE(c.name);
    std::string link = ScratchPath(c.name);
    ASSERT_TRUE(Make(c, link)) << strerror(errno);
    // A read of the file would fail with its own message.
    Outcome outcome = ReadBounded(link, PLAT_OP_READ);
    ASSERT_TRUE(outcome.answered) << "the reader blocked or never ended";
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.message, c.how == Made::Sparse ? TooLarge(link) : NotRegular(link));
  }
}

TEST_F(LinkBounds, APseudoFileWithNoSizeIsReadNoFurtherThanALinkReaches) {
  // A file under /proc reports a size of 0 and yields far more.
  if (access("/proc/kallsyms", R_OK) != 0) GTEST_SKIP() << "no /proc/kallsyms here";
  std::string link = ScratchPath("symbols.url");
  ASSERT_EQ(symlink("/proc/kallsyms", link.c_str()), 0);
  Outcome outcome = ReadBounded(link, PLAT_OP_NONE);
  ASSERT_TRUE(outcome.answered);
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(outcome.message, TooLarge(link));
}

#endif
