// Which files beside an image GDAL reads as part of it, and putting an
// output's files in place together: each one replaces the file at its name,
// stale companions go, and when any step fails every name holds again what it
// held before.
#ifndef RHL_HOST_PLACE_H
#define RHL_HOST_PLACE_H

#include <string>
#include <vector>

namespace rhl {

// The names GDAL reads beside an image at `path` as part of it, as it looks
// for them: "P.aux.xml", "P.msk" and "P.ovr" for the path P itself, and the
// world files of its stem S: for an extension of two letters or more its
// first and last letters and "w", then the extension and "w" (S.pgw and
// S.pngw for P = S.png), each in lower and upper case; then S.wld and S.WLD.
// A name without an extension has S.wld alone, never S + "w".
std::vector<std::string> CompanionNames(const std::string &path);

struct Move {
  std::string from, to;
};

// Renames each move's `from` to its `to` (replacing what is there) and
// removes the `stale` files, all or none: before anything changes, a folder
// at a `to` refuses the whole; the earlier files at the names are kept under
// hidden names `keepPrefix`-N.rhl-kept (hard links where the file system
// makes them) until every step has succeeded, and put back when one fails.
// A kept name whose file has no other name is never removed by rhl.
// Folders among `stale` are left alone. False with the reason in *error.
bool PlaceTogether(const std::vector<Move> &moves, const std::vector<std::string> &stale,
                   const std::string &keepPrefix, std::string *error);

// The file operations PlaceTogether uses, for tests that fail one of them.
struct PlaceOps {
  int (*rename)(const char *from, const char *to);
  int (*link)(const char *from, const char *to);
  int (*unlink)(const char *path);
};
extern PlaceOps gPlaceOps;

}  // namespace rhl

#endif
