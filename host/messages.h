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
#include <vector>

namespace rhl {

// `text` with its control characters, and bytes that are not printable UTF-8,
// escaped (\r, \n, \t, \xHH), so that a name shows every byte it holds and
// cannot move the terminal's cursor; with `backslashes`, a backslash doubled
// too, so that no escape can be forged. At most `limit` bytes of `text`
// ("..." after them).
std::string Escaped(const std::string &text, size_t limit = std::string::npos,
                    bool backslashes = false);

// "rhl: <text>" on standard error, its control characters escaped.
void Say(const std::string &text);
// "rhl: note: <text>", unless quiet.
void Note(const std::string &text);
void SetQuiet(bool quiet);

// GDAL's errors in rhl itself: failures are left for the caller to report
// in its own words (from CPLGetLastErrorMsg), warnings come out once as
// "rhl: GDAL: <text>".
void RouteGdalErrors();

// While it lives, every line said (rhl's own, without "rhl: ", and the
// module's boxes as relayed) is also kept, in order.
class Recording {
 public:
  Recording();
  Recording(const Recording &) = delete;
  Recording &operator=(const Recording &) = delete;
  ~Recording();
  const std::vector<std::string> &lines() const { return lines_; }

 private:
  friend void RecordLine(const std::string &line);
  std::vector<std::string> lines_;
  Recording *outer_;
};

// Holds standard error aside while it lives, then relays what the module
// wrote as its message boxes, prefixed with `module`: one line a box, a
// line break inside a box's text escaped with its other control characters.
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
