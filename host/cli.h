// What every rhl command shares: exit codes, refused arguments, strict
// number parsing, GDAL's spellings of options, and where rhl finds the module
// and the bundled sample.
#ifndef RHL_HOST_CLI_H
#define RHL_HOST_CLI_H

#include <stdint.h>

#include <string>
#include <vector>

namespace rhl {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// A refused argument: main prints "rhl: <message>" and exits with 2.
struct Usage {
  std::string message;
};

// A finite number, the whole of `text`; refused with a message naming
// `option` otherwise.
double ParseNumber(const std::string &option, const std::string &text);
// A finite number greater than 0.
double ParsePositive(const std::string &option, const std::string &text);
// A whole number within [lowest, highest].
int64_t ParseWhole(const std::string &option, const std::string &text, int64_t lowest,
                   int64_t highest);
// A pixel count: a whole number from 0 up, or (when `percentOk`) a positive
// percentage such as "50%", which sets *percent.
double ParseCount(const std::string &option, const std::string &text, bool percentOk,
                  bool *percent);
// "NAME=VALUE", as GDAL's -co takes it.
void ParseNameValue(const std::string &option, const std::string &text);

// The arguments with GDAL's single-dash long options (-of, -co, -projwin,
// -srcwin, -outsize, -a_srs, -a_nodata, -json) spelt with two dashes, as rhl's
// option parser reads them.
std::vector<std::string> WithGdalSpellings(int argc, char **argv);

// The shortest text that reads back as exactly `value`.
std::string ShortNumber(double value);

// The folder rhl was started from.
std::string ExeDir();
// The module beside rhl in a build, or under ../lib/ecw-rhl when installed.
std::string DefaultModulePath();
// The bundled sample image: samples/world.tif beside rhl in a build, or
// ../share/ecw-rhl/samples/world.tif when installed.
std::string BundledSample();

}  // namespace rhl

#endif
