#include "image.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <sys/stat.h>

#include "check.h"
#include "gdal.h"
#include "linkhints.h"
#include "messages.h"
#include "source.h"

namespace rhl {
namespace {

// A link file in the temporary folder, removed when it goes.
class TempLink {
 public:
  TempLink() = default;
  TempLink(const TempLink &) = delete;
  TempLink &operator=(const TempLink &) = delete;
  ~TempLink() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  bool Make(const std::string &target, std::string *error) {
    const char *dir = getenv("TMPDIR");
    std::string templ = std::string(dir != nullptr && *dir ? dir : "/tmp") + "/rhl-XXXXXX.url";
    int fd = mkstemps(&templ[0], 4);
    if (fd < 0) {
      *error = "cannot make a link file in " + templ.substr(0, templ.rfind('/')) + " (" +
               strerror(errno) + ")";
      return false;
    }
    path_ = templ;
    std::string text = target + "\n";
    bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size();
    ok = close(fd) == 0 && ok;
    if (!ok) *error = "cannot write the link file " + path_;
    return ok;
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

bool IsLocalFile(const std::string &name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0;
}

// A local file's absolute name; any other name (http://..., /vsizip/...,
// GPKG:...) as it stands.
std::string AbsoluteName(const std::string &name) {
  if (name.empty() || name[0] == '/' || !IsLocalFile(name)) return name;
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) return name;
  return std::string(cwd) + "/" + name;
}

bool EndsWithNoCase(const std::string &name, const std::string &suffix) {
  return name.size() >= suffix.size() &&
         strcasecmp(name.c_str() + name.size() - suffix.size(), suffix.c_str()) == 0;
}

}  // namespace

std::string ModuleName(const Session &session, const std::string &modulePath) {
  const HandlerDescriptor &d = session.descriptor();
  size_t length = strnlen(d.name, sizeof d.name);
  if (length > 0) return std::string(d.name, length);
  return modulePath.substr(modulePath.rfind('/') + 1);
}

void SayLibraryReason(const Session &session) {
  std::string reason = session.LibraryReason();
  if (!reason.empty()) Say("the library says: " + reason);
}

bool LoadModule(Session &session, const std::string &modulePath) {
  std::string problem = ModuleFileProblem(modulePath);
  if (!problem.empty()) {
    Say(problem);
    return false;
  }
  std::string error;
  if (session.Load(modulePath, &error)) return true;
  Say("cannot load the module: " + error);
  return false;
}

bool OpenImage(Session &session, const std::string &moduleName, const std::string &file,
               const OpenOptions &options) {
  std::string name = file;
  TempLink link;
  if (!session.Serves(file)) {
    std::string target = AbsoluteName(file);
    SourceFacts facts = ReadSourceFacts(target);
    std::string why = facts.read ? "" : facts.reason;
    if (!session.ServesExtension("url") || !why.empty()) {
      Say("the module does not serve '" + file + "'" +
          (why.empty() ? "" : ", and GDAL cannot read it: " + why));
      return false;
    }
    std::string error;
    if (!link.Make(target, &error)) {
      Say(error);
      return false;
    }
    if (options.verbose)
      Say("'" + file + "' is not a name the module serves: it opens the link file " +
          link.path() + ", which names '" + target + "'");
    name = link.path();
  }
  bool probed, opened = false;
  {
    ModuleBoxes boxes(moduleName);
    probed = session.Probe(name);
    opened = probed && session.Open(name);
  }
  if (opened) return true;
  std::string line = "could not open '" + file + "'";
  if (probed)
    line += " (error code " +
            std::to_string(session.module().GetLastError()(const_cast<Raster *>(&session.raster()))) +
            ")";
  if (EndsWithNoCase(file, ".ecw") && IsLocalFile(file) && GDALGetDriverByName("ECW") == nullptr)
    line += "; genuine ECW files need the closed ECW library, and the GDAL here has no ECW driver";
  Say(line);
  SayLibraryReason(session);
  if (name == file && EndsWithNoCase(file, ".url")) {
    char cwd[4096];
    for (const std::string &hint : LinkHints(file, getcwd(cwd, sizeof cwd) ? cwd : "."))
      Say(hint);
  }
  return false;
}

}  // namespace rhl
