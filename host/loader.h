// Loads a handler module and finds its eight entries through the entry table.
#ifndef RHL_HOST_LOADER_H
#define RHL_HOST_LOADER_H

#include <string>
#include <vector>

#include "handler/hostif.h"

namespace rhl {

class HandlerModule {
 public:
  HandlerModule() = default;
  HandlerModule(const HandlerModule &) = delete;
  HandlerModule &operator=(const HandlerModule &) = delete;
  ~HandlerModule();

  // Loads the module; false with the reason in *error. Entries the module
  // lacks stay null and are listed by missing().
  bool Load(const std::string &path, std::string *error);
  const std::vector<std::string> &missing() const { return missing_; }
  // The entry with this ordinal (101 to 108), or null.
  void *Entry(int ordinal) const;

  HandlerGetInfoFn GetInfo() const { return (HandlerGetInfoFn)Entry(101); }
  HandlerProbeFn Probe() const { return (HandlerProbeFn)Entry(102); }
  HandlerOpenFn Open() const { return (HandlerOpenFn)Entry(103); }
  HandlerBeginViewFn BeginView() const { return (HandlerBeginViewFn)Entry(104); }
  HandlerReadLineFn ReadLine() const { return (HandlerReadLineFn)Entry(105); }
  HandlerEndViewFn EndView() const { return (HandlerEndViewFn)Entry(106); }
  HandlerCloseFn Close() const { return (HandlerCloseFn)Entry(107); }
  HandlerGetLastErrorFn GetLastError() const { return (HandlerGetLastErrorFn)Entry(108); }

  // The reason the module's ECW library gives for its last failure, and
  // forgets: "" when there is none, or when the library offers no reasons
  // (the GDAL-backed library exports NCSecwexLastReason; others need not).
  std::string TakeLibraryReason() const;

 private:
  void *handle_ = nullptr;
  void *entries_[kEntryCount] = {};
  const char *(*libraryReason_)(void) = nullptr;
  std::vector<std::string> missing_;
};

}  // namespace rhl

#endif
