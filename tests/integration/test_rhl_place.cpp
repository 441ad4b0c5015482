// What a render may touch: only its own output and the companions GDAL
// would read with it, put in place all together or not at all, and the
// hidden leftovers of rhl processes that died; nothing else.
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "fixtures.h"
#include "place.h"
#include "rhl_run.h"

using namespace fixtures;
using namespace rhltest;

namespace {

class RhlPlace : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Fixture f;
    f.width = 60;
    f.height = 40;
    image_ = Make("place.tif", f);
  }
  static std::string image_;
};
std::string RhlPlace::image_;

// A folder of its own in the scratch folder, made afresh.
std::string Folder(const std::string &name) {
  std::string path = Scratch(name);
  EXPECT_EQ(system(("rm -rf '" + path + "' && mkdir -p '" + path + "'").c_str()), 0);
  return path;
}

void Write(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The files of `folder` (hidden ones too) with their contents; folders as "/".
std::map<std::string, std::string> Listing(const std::string &folder) {
  std::map<std::string, std::string> files;
  DIR *dir = opendir(folder.c_str());
  while (dirent *e = dir != nullptr ? readdir(dir) : nullptr) {
    std::string name = e->d_name, path = folder + "/" + name;
    struct stat st;
    if (name != "." && name != ".." && lstat(path.c_str(), &st) == 0)
      files[name] = S_ISDIR(st.st_mode) ? "/" : Slurp(path);
  }
  if (dir != nullptr) closedir(dir);
  return files;
}

// The listing without the names that start with `prefix`.
std::map<std::string, std::string> Without(std::map<std::string, std::string> files,
                                           const std::string &prefix) {
  for (auto i = files.begin(); i != files.end();)
    i = i->first.rfind(prefix, 0) == 0 ? files.erase(i) : std::next(i);
  return files;
}

// The id of a process that has ended.
pid_t DeadPid() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  int status;
  waitpid(child, &status, 0);
  return child;
}

}  // namespace

TEST(CompanionNames, AreTheNamesGdalReadsBesideTheImageAndNoOthers) {
  struct Case {
    std::string path;
    std::vector<std::string> names;
  } cases[] = {
      // No extension: no world file made of "w" alone ("w/scene" never
      // names "w/scenew", nor "ne" "new").
      {"w/scene", {"w/scene.aux.xml", "w/scene.msk", "w/scene.ovr", "w/scene.wld", "w/scene.WLD"}},
      {"ne", {"ne.aux.xml", "ne.msk", "ne.ovr", "ne.wld", "ne.WLD"}},
      {"a.x/scene", {"a.x/scene.aux.xml", "a.x/scene.msk", "a.x/scene.ovr", "a.x/scene.wld",
                     "a.x/scene.WLD"}},
      // One letter: too short for a world file of its own.
      {"f.p", {"f.p.aux.xml", "f.p.msk", "f.p.ovr", "f.wld", "f.WLD"}},
      {"d/f.png", {"d/f.png.aux.xml", "d/f.png.msk", "d/f.png.ovr", "d/f.pgw", "d/f.PGW",
                   "d/f.pngw", "d/f.PNGW", "d/f.wld", "d/f.WLD"}},
      {"E.JPG", {"E.JPG.aux.xml", "E.JPG.msk", "E.JPG.ovr", "E.jgw", "E.JGW", "E.jpgw", "E.JPGW",
                 "E.wld", "E.WLD"}},
      {".hidden", {".hidden.aux.xml", ".hidden.msk", ".hidden.ovr", ".hidden.wld", ".hidden.WLD"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(rhl::CompanionNames(c.path), c.names);
  }
}

TEST_F(RhlPlace, ARenderTouchesNoFileItDoesNotWrite) {
  struct Case {
    std::string out;
    std::vector<std::string> bystanders;  // kept as they are
    std::vector<std::string> stale;       // companions of an earlier output: removed
  } cases[] = {
      {"scene", {"scenew", "scenew.tif", "scene.png", "scene.pgw", "scene.tfw", "sceneX", "new"},
       {"scene.aux.xml", "scene.wld", "scene.msk", "scene.ovr"}},
      {"ne", {"new", "ne.txt", "neW", "ne.tfw"}, {"ne.wld", "ne.WLD"}},
      {"scene.png",
       {"scene", "scenew", "scene.tif", "scene.tfw", "scene.png.bak", "scene.pgw.txt", "scene.pg"},
       {"scene.PGW", "scene.pngw", "scene.wld", "scene.png.msk", "scene.png.ovr"}},
      {"scene.tif", {"scene", "scenew", "scene.tif.bak", "scene.pgw"},
       {"scene.tfw", "scene.TFW", "scene.tifw", "scene.wld", "scene.tif.aux.xml"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.out);
    std::string folder = Folder("bystanders");
    for (const std::string &name : c.bystanders) Write(folder + "/" + name, "mine: " + name);
    for (const std::string &name : c.stale) Write(folder + "/" + name, "stale");
    Outcome r = Rhl("render " + image_ + " -o bystanders/" + c.out);
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> after = Listing(folder);
    for (const std::string &name : c.bystanders) EXPECT_EQ(after[name], "mine: " + name) << name;
    for (const std::string &name : c.stale) EXPECT_EQ(after.count(name), 0u) << name;
    EXPECT_NE(after[c.out], "");
    for (const auto &[name, text] : after) EXPECT_NE(name[0], '.') << name << " left aside";
  }
}

TEST_F(RhlPlace, AFailedRenderLeavesTheOutputAndItsCompanionsAsTheyWere) {
  // The output's name is a folder: the render fails before any companion
  // is replaced.
  std::string folder = Folder("failed");
  ASSERT_EQ(mkdir((folder + "/dir.png").c_str(), 0755), 0);
  Write(folder + "/dir.png/inside", "mine");
  Write(folder + "/dir.pgw", "old world");
  Write(folder + "/dir.png.aux.xml", "old aux");
  Write(folder + "/dir.wld", "old wld");
  std::map<std::string, std::string> before = Listing(folder);
  Outcome r = Rhl("render " + image_ + " -o failed/dir.png");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "rhl: cannot put failed/dir.png in place (Is a directory)\n");
  EXPECT_EQ(Listing(folder), before);
  EXPECT_EQ(Slurp(folder + "/dir.png/inside"), "mine");
}

namespace {

// The file operations of the placement, failing the n-th call (from 1).
int gCalls = 0, gFailAt = 0, gFailErrno = EIO;
bool gNoHardLinks = false;
bool Fails() {
  if (++gCalls != gFailAt) return false;
  errno = gFailErrno;
  return true;
}
int FailingRename(const char *a, const char *b) { return Fails() ? -1 : rename(a, b); }
int FailingLink(const char *a, const char *b) {
  if (gNoHardLinks) {
    errno = EPERM;
    return -1;
  }
  return Fails() ? -1 : link(a, b);
}
int FailingUnlink(const char *a) { return Fails() ? -1 : unlink(a); }

}  // namespace

TEST(PlaceTogether, EveryStepUndoneWhenALaterOneFails) {
  for (bool noHardLinks : {false, true}) {
    for (int failAt = 1;; ++failAt) {
      SCOPED_TRACE((noHardLinks ? "without hard links, failing call " : "failing call ") +
                   std::to_string(failAt));
      std::string folder = Folder("together");
      // New files aside; earlier ones at two of the three names, and a stale
      // companion.
      Write(folder + "/.new.aux", "new aux");
      Write(folder + "/.new.pgw", "new world");
      Write(folder + "/.new.png", "new image");
      Write(folder + "/out.pgw", "old world");
      Write(folder + "/out.png", "old image");
      Write(folder + "/out.wld", "stale");
      Write(folder + "/other", "mine");
      std::map<std::string, std::string> before = Listing(folder);
      gCalls = 0;
      gFailAt = failAt;
      gNoHardLinks = noHardLinks;
      rhl::gPlaceOps = {FailingRename, FailingLink, FailingUnlink};
      std::string error;
      bool ok = rhl::PlaceTogether({{folder + "/.new.aux", folder + "/out.png.aux.xml"},
                                    {folder + "/.new.pgw", folder + "/out.pgw"},
                                    {folder + "/.new.png", folder + "/out.png"}},
                                   {folder + "/out.wld", folder + "/out.PGW"},
                                   folder + "/.new.keep", &error);
      rhl::gPlaceOps = {::rename, ::link, ::unlink};
      std::map<std::string, std::string> after = Listing(folder);
      if (ok) {
        // Once every name holds its new file, only the removal of the kept
        // earlier files is left; it may fail without undoing the rest.
        EXPECT_EQ(Without(after, "."),
                  (std::map<std::string, std::string>{{"out.png.aux.xml", "new aux"},
                                                      {"out.pgw", "new world"},
                                                      {"out.png", "new image"},
                                                      {"other", "mine"}}));
        if (failAt > gCalls) {
          EXPECT_EQ(Without(after, "."), after) << "nothing kept aside when every call succeeds";
          break;
        }
        continue;
      }
      EXPECT_FALSE(error.empty());
      // Every name as it was; what is left aside is the caller's to remove,
      // and no earlier file is kept there.
      EXPECT_EQ(Without(after, ".new."), Without(before, ".new.")) << error;
      for (const auto &[name, text] : after) EXPECT_EQ(name.find("rhl-kept"), std::string::npos);
    }
  }
}

TEST_F(RhlPlace, LeftoversOfDeadProcessesGoAndOnlyThose) {
  std::string folder = Folder("leftovers");
  std::string big = Link("leftover-big.url", EmptyVrt("leftover-big.vrt", 30000, 20000));
  // A render killed outright, once it has begun writing, leaves its hidden
  // files (however loaded the machine, the kill waits for the first one).
  std::string cmd = "cd '" + folder + "' && (" + RHL_EXE + " render " + big +
                    " -o big.tif -q & p=$!; for i in $(seq 600); do ls -A | grep -q '^[.]big[.]rhl-' "
                    "&& break; sleep 0.05; done; kill -KILL $p; wait $p; true)";
  ASSERT_EQ(system(cmd.c_str()), 0);
  std::map<std::string, std::string> killed = Listing(folder);
  ASSERT_EQ(killed.size(), 1u);
  const std::string leftover = killed.begin()->first;  // .big.rhl-HOST-PID-XXXXXX.tif
  ASSERT_EQ(leftover.rfind(".big.rhl-", 0), 0u) << leftover;
  const std::string hostAndPid = leftover.substr(9, leftover.size() - 9 - 11);
  const std::string host = hostAndPid.substr(0, hostAndPid.rfind('-'));

  // Another dead process's, a live process's, another machine's, and names
  // that only look like them.
  const std::string deadPid = std::to_string(DeadPid());
  pid_t live = fork();
  if (live == 0) {
    alarm(60);  // gone by itself should the test stop early
    pause();
    _exit(0);
  }
  const std::string liveTag = ".rhl-" + host + "-" + std::to_string(live) + "-";
  const std::string deadTag = ".rhl-" + host + "-" + deadPid + "-";
  struct File {
    std::string name;
    bool goes;
  } files[] = {
      {".old" + deadTag + "a1B2c3.png", true},
      {".old" + deadTag + "a1B2c3.png.aux.xml", true},
      {".old" + deadTag + "a1B2c3.pgw", true},
      {".a.b" + deadTag + "ZZZZZZ", true},
      {".live" + liveTag + "a1B2c3.tif", false},
      {".far.rhl-" + host + "x-" + deadPid + "-a1B2c3.tif", false},
      {".notes" + deadTag + "abc.txt", false},
      {"visible" + deadTag + "a1B2c3.tif", false},
      {".old" + deadTag + "a1B2c3.keep-0.rhl-kept", false},  // a user's file, its only name
      {".old" + deadTag + "a1B2c3.keep-1.rhl-kept", true},   // a second name of one
      {".old.rhl-a1B2c3.png", false},  // no process named: whose it is cannot be told
  };
  for (const File &f : files)
    if (f.name.find("keep-1") == std::string::npos) Write(folder + "/" + f.name, "x");
  Write(folder + "/kept-elsewhere", "x");
  ASSERT_EQ(link((folder + "/kept-elsewhere").c_str(),
                 (folder + "/.old" + deadTag + "a1B2c3.keep-1.rhl-kept").c_str()),
            0);
  ASSERT_EQ(mkdir((folder + "/.dir" + deadTag + "a1B2c3").c_str(), 0755), 0);

  Outcome r = Rhl("render " + image_ + " -o leftovers/new.png");
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::string> after = Listing(folder);
  EXPECT_EQ(after.count(leftover), 0u) << "the killed render's";
  for (const File &f : files) EXPECT_EQ(after.count(f.name), f.goes ? 0u : 1u) << f.name;
  EXPECT_EQ(after[".dir" + deadTag + "a1B2c3"], "/");
  EXPECT_EQ(after["kept-elsewhere"], "x");
  EXPECT_EQ(after.count("new.png"), 1u);
  kill(live, SIGKILL);
  int status;
  waitpid(live, &status, 0);
}

TEST_F(RhlPlace, ARenderNeverTakesTheFilesOfOneStillRunning) {
  std::string folder = Folder("running");
  std::string big = Link("running-big.url", EmptyVrt("running-big.vrt", 30000, 20000));
  std::string cmd = "cd '" + folder + "' && (" + RHL_EXE + " render " + big +
                    " -o big.tif -q & echo $! >../running.pid)";
  ASSERT_EQ(system(cmd.c_str()), 0);
  for (int i = 0; i < 100 && Listing(folder).empty(); ++i) usleep(20000);
  std::map<std::string, std::string> during = Listing(folder);
  ASSERT_EQ(during.size(), 1u);
  const std::string aside = during.begin()->first;
  Outcome r = Rhl("render " + image_ + " -o running/small.png");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Listing(folder).count(aside), 1u) << "a live render's file stays";
  ASSERT_EQ(system(("kill -TERM $(cat " + Scratch("running.pid") + ")").c_str()), 0);
  for (int i = 0; i < 100 && Listing(folder).count(aside); ++i) usleep(20000);
  std::map<std::string, std::string> after = Listing(folder);
  EXPECT_EQ(after.count("small.png"), 1u);
  EXPECT_EQ(Without(after, "."), after) << "the stopped render removed its own";
}
