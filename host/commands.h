// rhl's commands: each adds itself to the command line and runs from what
// was parsed into its options.
#ifndef RHL_HOST_COMMANDS_H
#define RHL_HOST_COMMANDS_H

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace rhl {

struct InfoOptions {
  std::vector<std::string> files;
  bool json = false;
  bool verbose = false;
};
CLI::App *AddInfoCommand(CLI::App &app, InfoOptions *options, std::string *modulePath);
int RunInfo(const InfoOptions &options, const std::string &modulePath);

struct RenderOptions {
  std::string file;  // empty: the bundled sample
  std::string output, format;
  std::vector<std::string> creationOptions;
  std::string src, size, scale, srs, nodata;
  std::vector<std::string> srcwin, projwin, outsize;
  bool verbose = false, quiet = false;
};
CLI::App *AddRenderCommand(CLI::App &app, RenderOptions *options, std::string *modulePath);
int RunRender(const RenderOptions &options, const std::string &modulePath);

CLI::App *AddCheckCommand(CLI::App &app, std::string *modulePath);
int RunCheck(const std::string &modulePath);

}  // namespace rhl

#endif
