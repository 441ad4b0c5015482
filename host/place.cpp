#include "place.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace rhl {

PlaceOps gPlaceOps = {::rename, ::link, ::unlink};

namespace {

std::string Cased(std::string text, bool upper) {
  for (char &c : text) c = (char)(upper ? toupper((unsigned char)c) : tolower((unsigned char)c));
  return text;
}

// "dir/name.ext" -> "ext"; "" for "dir/name", "dir/.name" or "dir.x/name".
std::string Extension(const std::string &path) {
  size_t slash = path.rfind('/');
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= start) return "";
  return path.substr(dot + 1);
}

bool Exists(const std::string &path, bool *folder) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  *folder = S_ISDIR(st.st_mode);
  return true;
}

std::string Reason(const std::string &what, const std::string &path) {
  return what + " " + path + " (" + strerror(errno) + ")";
}

// One name's earlier file, kept aside while the names change.
struct Kept {
  std::string name, keep;
  bool linked = false;  // the name still holds it (a hard link), else it was moved
  bool gone = false;    // the name no longer holds the earlier file
};

// The file systems that make no hard links (FAT, some network shares).
bool NoHardLinks(int error) {
  return error == EPERM || error == EXDEV || error == ENOSYS || error == EMLINK ||
         error == ENOTSUP || error == EOPNOTSUPP;
}

bool Keep(Kept *k, int n, const std::string &keepPrefix, std::string *error) {
  k->keep = keepPrefix + "-" + std::to_string(n) + ".rhl-kept";
  if (gPlaceOps.link(k->name.c_str(), k->keep.c_str()) == 0) {
    k->linked = true;
    return true;
  }
  if (!NoHardLinks(errno)) {
    *error = Reason("cannot keep the earlier", k->name);
    return false;
  }
  // Moved instead: then the kept name is the file's only one.
  if (gPlaceOps.rename(k->name.c_str(), k->keep.c_str()) != 0) {
    *error = Reason("cannot keep the earlier", k->name);
    return false;
  }
  k->gone = true;
  return true;
}

// Puts the earlier file back at its name (over whatever was put there).
void PutBack(Kept *k) {
  if (!k->gone) return;
  if (gPlaceOps.rename(k->keep.c_str(), k->name.c_str()) == 0) k->gone = false;
}

}  // namespace

std::vector<std::string> CompanionNames(const std::string &path) {
  const std::string extension = Extension(path);
  const std::string stem = extension.empty() ? path : path.substr(0, path.size() - extension.size() - 1);
  std::vector<std::string> names = {path + ".aux.xml", path + ".msk", path + ".ovr"};
  std::vector<std::string> worlds;
  if (extension.size() >= 2) {
    worlds.push_back(std::string{extension.front(), extension.back(), 'w'});
    worlds.push_back(extension + "w");
  }
  worlds.push_back("wld");
  for (const std::string &w : worlds)
    for (bool upper : {false, true}) {
      std::string name = stem + "." + Cased(w, upper);
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
  return names;
}

bool PlaceTogether(const std::vector<Move> &moves, const std::vector<std::string> &stale,
                   const std::string &keepPrefix, std::string *error) {
  // Nothing changes unless every name can take its file.
  std::vector<Kept> kept;
  for (const Move &m : moves) {
    bool folder = false;
    if (Exists(m.to, &folder) && folder) {
      errno = EISDIR;
      *error = Reason("cannot put", m.to + " in place");
      return false;
    }
    if (Exists(m.to, &folder)) kept.push_back(Kept{m.to, "", false, false});
  }
  std::vector<std::string> removals;
  for (const std::string &s : stale) {
    bool folder = false;
    if (Exists(s, &folder) && !folder) {
      removals.push_back(s);
      kept.push_back(Kept{s, "", false, false});
    }
  }
  bool ok = true;
  for (size_t i = 0; ok && i < kept.size(); ++i) ok = Keep(&kept[i], (int)i, keepPrefix, error);

  size_t placed = 0;
  for (; ok && placed < moves.size(); ++placed) {
    const Move &m = moves[placed];
    if (gPlaceOps.rename(m.from.c_str(), m.to.c_str()) != 0) {
      *error = Reason("cannot put", m.to + " in place");
      ok = false;
      break;
    }
    for (Kept &k : kept)
      if (k.name == m.to) k.gone = true;
  }
  for (size_t i = 0; ok && i < removals.size(); ++i) {
    Kept *k = nullptr;
    for (Kept &c : kept)
      if (c.name == removals[i]) k = &c;
    if (k->gone) continue;  // moved aside already
    if (gPlaceOps.unlink(k->name.c_str()) != 0) {
      *error = Reason("cannot remove the stale", k->name);
      ok = false;
    } else {
      k->gone = true;
    }
  }
  if (!ok) {
    // Back as it was: the files put in place go back aside (the caller
    // removes them), the earlier files return to their names.
    for (size_t i = placed; i-- > 0;) {
      const Move &m = moves[i];
      bool had = false;
      for (const Kept &k : kept) had = had || k.name == m.to;
      if (!had && gPlaceOps.rename(m.to.c_str(), m.from.c_str()) != 0)
        gPlaceOps.unlink(m.to.c_str());
    }
    for (Kept &k : kept) PutBack(&k);
  }
  // Done: the earlier files go. Undone: a keeping link goes, and a file that
  // could not be put back stays under its kept name.
  for (const Kept &k : kept)
    if (!k.keep.empty() && (ok || !k.gone)) gPlaceOps.unlink(k.keep.c_str());
  return ok;
}

}  // namespace rhl
