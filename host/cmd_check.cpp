// rhl check MODULE: the module against the host interface, item by item.
#include <stdio.h>

#include "check.h"
#include "cli.h"
#include "commands.h"

namespace rhl {

CLI::App *AddCheckCommand(CLI::App &app, std::string *modulePath) {
  CLI::App *check = app.add_subcommand("check", "Check MODULE against the host interface.");
  check->add_option("MODULE", *modulePath, "Handler module to check")->required();
  return check;
}

int RunCheck(const std::string &modulePath) {
  std::string what;
  ModuleFile kind = ClassifyModuleFile(modulePath, &what);
  if (kind == ModuleFile::Missing || kind == ModuleFile::Windows) {
    // Nothing here can be checked: say what the path is instead.
    printf("FAIL loads: %s\n", what.c_str());
    printf("%s\n", kind == ModuleFile::Missing ? "nothing checked: no module there"
                                               : "nothing checked: not a module for this system");
    return kExitFailed;
  }
  bool all = true;
  for (const CheckItem &item : CheckModule(modulePath)) {
    printf("%-4s %s%s%s\n", item.ok ? "ok" : "FAIL", item.what.c_str(),
           item.ok || item.detail.empty() ? "" : ": ", item.ok ? "" : item.detail.c_str());
    all = all && item.ok;
  }
  printf("%s\n", all ? "the module meets the host interface"
                     : "the module does NOT meet the host interface");
  return all ? kExitOk : kExitFailed;
}

}  // namespace rhl
