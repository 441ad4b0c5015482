#include "loader.h"

#include <dlfcn.h>

namespace rhl {

HandlerModule::~HandlerModule() {
  if (handle_ != nullptr) dlclose(handle_);
}

bool HandlerModule::Load(const std::string &path, std::string *error) {
  // A bare file name would send dlopen searching the library path.
  std::string where = path.find('/') == std::string::npos ? "./" + path : path;
  // The module stays mapped after dlclose, so that its code can still be named
  // (in leak reports, by the module's own atexit handlers).
  handle_ = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle_ == nullptr) {
    const char *why = dlerror();
    *error = why ? why : ("cannot load " + path);
    return false;
  }
  for (int i = 0; i < kEntryCount; ++i) {
    entries_[i] = dlsym(handle_, kHandlerEntries[i].name);
    if (entries_[i] == nullptr) missing_.push_back(kHandlerEntries[i].name);
  }
  // Searched in the module and the libraries it brought in; optional.
  libraryReason_ = reinterpret_cast<const char *(*)(void)>(dlsym(handle_, "NCSecwexLastReason"));
  return true;
}

std::string HandlerModule::TakeLibraryReason() const {
  const char *reason = libraryReason_ != nullptr ? libraryReason_() : nullptr;
  return reason != nullptr ? reason : "";
}

void *HandlerModule::Entry(int ordinal) const {
  int i = ordinal - kFirstOrdinal;
  return i >= 0 && i < kEntryCount ? entries_[i] : nullptr;
}

}  // namespace rhl
