// rhl run as a process, as a person or a script runs it, and images made
// for it with GDAL.
#ifndef RHL_TESTS_RHL_RUN_H
#define RHL_TESTS_RHL_RUN_H

#include <array>
#include <string>
#include <vector>

namespace rhltest {

struct Outcome {
  int status;
  std::string out, err;
};

// Runs `rhl ARGS` through the shell in `dir` (default: the scratch folder),
// with `env` (NAME=VALUE ...) in its environment.
Outcome Rhl(const std::string &args, const std::string &dir = "", const std::string &env = "");

std::string Slurp(const std::string &path);
// A name in the scratch folder.
std::string Scratch(const std::string &name);
bool Exists(const std::string &path);
// The scratch folder's files whose names start with `prefix`.
std::vector<std::string> FilesStartingWith(const std::string &prefix);

// Sets what a fixture lacks, in place: a CRS ("" leaves none), a nodata
// value on every band, and the bands' colour labels (GDAL's names).
void Decorate(const std::string &path, const std::string &srs, const double *nodata = nullptr,
              const std::vector<std::string> &colors = {});

// Places `path` by ground control points alone (pixel, line, x, y, z each)
// in the CRS EPSG:`epsg`.
void SetGcps(const std::string &path, const std::vector<std::array<double, 5>> &points, int epsg);

// gdal_translate SOURCE OUT ARGS..., in this process (the oracle for
// windows, sizes and band orders).
void Translate(const std::string &source, const std::string &out,
               const std::vector<std::string> &args);

// The bytes of every band of `path`, pixel-interleaved, and its size.
std::vector<unsigned char> Pixels(const std::string &path, int *width, int *height, int *bands);

}  // namespace rhltest

#endif
