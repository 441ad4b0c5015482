// An output written aside, under a hidden name in the output's own folder,
// and put in place only when it is complete: nothing ever stands at the
// output's name half written. The files GDAL writes beside it (.aux.xml,
// ...) and the world file go in place with it, all or none; files at the
// names GDAL would read as the new image's companions, left by an earlier
// output, are removed with the same step. No other file is touched.
//
// Hidden names carry the host and the process: ".NAME.rhl-HOST-PID-XXXXXX".
// A process killed outright leaves them behind; the next render into the
// folder removes those of processes of this host that no longer run, and
// only those.
#ifndef RHL_HOST_ASIDE_H
#define RHL_HOST_ASIDE_H

#include <string>

namespace rhl {

// A hidden name reserved beside `path` (its extension kept at the end), and
// every file whose name starts with it removed when it goes, unless Keep()
// was called.
class HiddenFile {
 public:
  HiddenFile(const std::string &path, const std::string &extension);
  HiddenFile(const HiddenFile &) = delete;
  HiddenFile &operator=(const HiddenFile &) = delete;
  ~HiddenFile();

  bool ok() const { return !path_.empty(); }
  const std::string &error() const { return error_; }
  const std::string &path() const { return path_; }
  // The name without the extension: what its companions' names start with.
  const std::string &stem() const { return stem_; }
  void Keep() { kept_ = true; }
  // Removes every file starting with stem().
  void Remove() const;

 private:
  std::string path_, stem_, error_;
  bool kept_ = false;
  int slot_ = -1;  // in the list a signal removes
};

class AsideOutput {
 public:
  // Removes the leftovers of dead processes in the folder of `path`, then
  // reserves the hidden name beside it; check ok().
  explicit AsideOutput(const std::string &path);
  AsideOutput(const AsideOutput &) = delete;
  AsideOutput &operator=(const AsideOutput &) = delete;

  bool ok() const { return image_.ok(); }
  const std::string &error() const { return image_.error(); }
  // Where to write the image.
  const std::string &path() const { return image_.path(); }
  // Where to write a companion that is to be `finalName` (the output's stem
  // and a suffix, as "out.pgw" for "out.png").
  std::string Companion(const std::string &finalName) const;
  // Puts the image and its companions in place together and removes stale
  // companions; false with the reason in *error, every name then as it was.
  bool Commit(std::string *error);

 private:
  std::string final_;
  HiddenFile image_;
};

// Removes, in `folder`, the hidden files of rhl processes of this host that
// no longer run (any that name this process's own id are from a dead one that
// had it before).
void RemoveLeftovers(const std::string &folder);

}  // namespace rhl

#endif
