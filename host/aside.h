// An output written aside, under a hidden name in the output's own folder,
// and put in place only when it is complete: nothing ever stands at the
// output's name half written. The files GDAL writes beside it (.aux.xml,
// .msk, ...) and the world file move with it; such files left at the
// output's name by an earlier output, which would describe the new image
// wrongly, are removed.
#ifndef RHL_HOST_ASIDE_H
#define RHL_HOST_ASIDE_H

#include <string>

namespace rhl {

class AsideOutput {
 public:
  // Reserves the hidden name beside `path`; check ok().
  explicit AsideOutput(const std::string &path);
  AsideOutput(const AsideOutput &) = delete;
  AsideOutput &operator=(const AsideOutput &) = delete;
  // Removes whatever was written aside unless Commit() succeeded.
  ~AsideOutput();

  bool ok() const { return !aside_.empty(); }
  const std::string &error() const { return error_; }
  // Where to write the image.
  const std::string &path() const { return aside_; }
  // Where to write a companion that is to be `finalName` (the output's stem
  // and a suffix, as "out.pgw" for "out.png").
  std::string Companion(const std::string &finalName) const;
  // Moves the image and its companions to the output's names, the image
  // last; false with the reason in *error.
  bool Commit(std::string *error);

 private:
  void RemoveAside();
  std::string final_, aside_, error_;
  std::string asideStem_;  // the aside name without the output's extension
  bool committed_ = false;
};

}  // namespace rhl

#endif
