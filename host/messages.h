// What rhl says, once each: its own lines, the module's message boxes and
// GDAL's errors.
//
// On this platform the module shows a message box as the line
// "caption: text" on standard error. rhl is the host that shows those boxes:
// while an entry runs, standard error is held aside, and each box then comes
// out once as "<module>: text" (the caption "Error" left off, since the texts
// name themselves).
#ifndef RHL_HOST_MESSAGES_H
#define RHL_HOST_MESSAGES_H

#include <string>

namespace rhl {

// "rhl: <text>" on standard error.
void Say(const std::string &text);
// "rhl: note: <text>", unless quiet.
void Note(const std::string &text);
void SetQuiet(bool quiet);

// GDAL's errors in rhl itself: failures are left for the caller to report
// in its own words (from CPLGetLastErrorMsg), warnings come out once as
// "rhl: GDAL: <text>".
void RouteGdalErrors();

// Holds standard error aside while it lives, then relays what the module
// wrote as its message boxes, prefixed with `module`.
class ModuleBoxes {
 public:
  explicit ModuleBoxes(const std::string &module);
  ModuleBoxes(const ModuleBoxes &) = delete;
  ModuleBoxes &operator=(const ModuleBoxes &) = delete;
  ~ModuleBoxes();
  // What came out so far, relayed; standard error stays held.
  void Relay();
  // Whether any box was shown (relayed or not yet).
  bool Shown() const { return shown_; }

 private:
  std::string module_;
  int saved_ = -1;   // the real standard error
  int holder_ = -1;  // where it is held
  bool shown_ = false;
};

}  // namespace rhl

#endif
