#include "check.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "loader.h"

namespace rhl {
namespace {

// Whether `field` holds a NUL-terminated text followed only by zero bytes.
bool TextThenZeros(const char *field, size_t size, bool mayBeEmpty) {
  size_t n = strnlen(field, size);
  if (n == size || (n == 0 && !mayBeEmpty)) return false;
  for (size_t i = n; i < size; ++i)
    if (field[i] != '\0') return false;
  return true;
}

std::string DescriptorProblem(const unsigned char *bytes, size_t guard) {
  for (size_t i = sizeof(HandlerDescriptor); i < sizeof(HandlerDescriptor) + guard; ++i)
    if (bytes[i] != 0xA5) return "wrote beyond the 1068-byte descriptor";
  HandlerDescriptor d;
  memcpy(&d, bytes, sizeof d);
  if (d.leadingWord != 1) return "leading word is " + std::to_string(d.leadingWord) + ", not 1";
  if (!TextThenZeros(d.name, sizeof d.name, false)) return "module name is not a terminated text";
  if (!TextThenZeros(d.description, sizeof d.description, true))
    return "description is not a terminated text";
  if (d.extensionCount < 1 || d.extensionCount > 4)
    return "extension count " + std::to_string(d.extensionCount) + " is not 1 to 4";
  for (int i = 0; i < 4; ++i) {
    bool used = i < d.extensionCount;
    const char *slot = d.extensions[i];
    if (!TextThenZeros(slot, sizeof d.extensions[i], !used) || (used && slot[0] == '\0'))
      return "extension slot " + std::to_string(i + 1) + " is malformed";
    for (const char *p = slot; *p; ++p)
      if (*p == '.' || (*p >= 'A' && *p <= 'Z'))
        return "extension slot " + std::to_string(i + 1) + " is not lower case without a dot";
  }
  return "";
}

uint32_t Little(const unsigned char *p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// A Windows executable image: "MZ", and at the offset in its header "PE"
// with the machine it is built for.
std::string WindowsImage(FILE *f, const unsigned char *head) {
  uint32_t pe = Little(head + 0x3c, 4);
  unsigned char sig[6];
  if (fseek(f, (long)pe, SEEK_SET) != 0 || fread(sig, 1, 6, f) != 6 || memcmp(sig, "PE\0\0", 4) != 0)
    return "";
  uint32_t machine = Little(sig + 4, 2);
  return machine == 0x14c ? "32-bit (PE32, i386)" : machine == 0x8664 ? "64-bit (PE32+, x86-64)"
                                                                      : "PE";
}

}  // namespace

ModuleFile ClassifyModuleFile(const std::string &path, std::string *what) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *what = "there is no module at '" + path + "' (" + strerror(errno) + ")";
    return ModuleFile::Missing;
  }
  if (!S_ISREG(st.st_mode)) {
    *what = "'" + path + "' is not a file";
    return ModuleFile::NotAFile;
  }
  FILE *f = fopen(path.c_str(), "rb");
  unsigned char head[64] = {0};
  size_t got = f != nullptr ? fread(head, 1, sizeof head, f) : 0;
  ModuleFile kind = ModuleFile::Plausible;
  if (got == sizeof head && head[0] == 'M' && head[1] == 'Z') {
    std::string machine = WindowsImage(f, head);
    if (!machine.empty()) {
      *what = "'" + path + "' is a " + machine +
              " Windows module; rhl here loads only this system's shared objects "
              "(a Windows module is loaded by the host application, or under Wine)";
      kind = ModuleFile::Windows;
    }
  } else if (f != nullptr && !(got >= 4 && memcmp(head, "\x7f" "ELF", 4) == 0)) {
    *what = "'" + path + "' is not a module: not a shared object of this system";
    kind = ModuleFile::Foreign;
  }
  if (f != nullptr) fclose(f);
  return kind;
}

std::string ModuleFileProblem(const std::string &path) {
  std::string what;
  return ClassifyModuleFile(path, &what) == ModuleFile::Plausible ? "" : what;
}

std::vector<CheckItem> CheckModule(const std::string &path) {
  std::vector<CheckItem> items;
  HandlerModule module;
  std::string error = ModuleFileProblem(path);
  bool loaded = error.empty() && module.Load(path, &error);
  items.push_back({"loads", loaded, error});
  if (!loaded) return items;

  for (const HandlerEntry &e : kHandlerEntries) {
    bool present = module.Entry(e.ordinal) != nullptr;
    items.push_back({"entry " + std::to_string(e.ordinal) + " " + e.name, present,
                     present ? "" : "not exported"});
  }

  if (module.GetInfo() != nullptr) {
    const size_t guard = 64;
    unsigned char bytes[sizeof(HandlerDescriptor) + guard];
    memset(bytes, 0xA5, sizeof bytes);
    int32_t result = module.GetInfo()(reinterpret_cast<HandlerDescriptor *>(bytes));
    std::string problem = result != 1 ? "HandlerGetInfo returned " + std::to_string(result)
                                      : DescriptorProblem(bytes, guard);
    items.push_back({"descriptor layout (1068 bytes)", problem.empty(), problem});
  }
  if (module.Probe() != nullptr) {
    int32_t result = module.Probe()("rhl-check-probe.not-a-served-extension");
    items.push_back({"probe of another extension answers 0", result == 0,
                     "answered " + std::to_string(result)});
  }
  Raster *record = static_cast<Raster *>(calloc(1, 1024));
  if (module.GetLastError() != nullptr) {
    uint32_t code = module.GetLastError()(record);
    items.push_back({"last error of a fresh record is 0", code == 0,
                     "answered " + std::to_string(code)});
  }
  if (module.Close() != nullptr) {
    int32_t result = module.Close()(record);
    items.push_back({"close answers 1", result == 1, "answered " + std::to_string(result)});
  }
  free(record);
  return items;
}

}  // namespace rhl
