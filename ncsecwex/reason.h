// Why an operation of the library failed: the nearest platform error code
// (left in errno, whose text the handler shows) and the reason in words, as
// GDAL or the library put it (NCSecwexLastReason hands it to a host that
// asks for it).
#ifndef NCSECWEX_REASON_H
#define NCSECWEX_REASON_H

#include <stdint.h>

#include <string>
#include <vector>

#include "cpl_error.h"
#include "ecw/ncsecwex.h"

extern "C" {
// The reason for the last failed operation on the calling thread, in words,
// which the library then forgets: "" when none was given, or when it was
// asked for already. The text stays valid until the thread's next call.
NCS_API const char *NCS_CALL NCSecwexLastReason(void);
}

namespace ncsecwex {

// Sets errno and the calling thread's reason (left empty when memory for
// it is short).
void SetFailure(int error, const char *reason) noexcept;
inline void SetFailure(int error, const std::string &reason) noexcept {
  SetFailure(error, reason.c_str());
}

// A file the library refused GDAL on this thread (see guard.h): the latest
// refusal is what a failing operation reports, whatever GDAL then said.
void NoteRefusal(int error, const std::string &reason) noexcept;

// The nearest error code for what GDAL said of a failure: `text` (its
// messages and the HTTP layer's transport error), `httpStatus` (the server's
// answer, 0 when none); `fallback` when neither says more.
int NearestError(const std::string &text, int httpStatus, int fallback);
// A server's answer in words: "the server answered 404 (Not Found)".
std::string StatusText(int httpStatus);

// GDAL's messages on this thread while it lives, kept instead of printed:
// its failures and, for a remote name, what its HTTP layer reports (the
// server's status, the transport's error); and any file the library
// refused GDAL meanwhile, which is then the failure's error and reason.
class GdalMessages {
 public:
  explicit GdalMessages(bool remote);
  ~GdalMessages();
  GdalMessages(const GdalMessages &) = delete;
  GdalMessages &operator=(const GdalMessages &) = delete;

  // The nearest error code for what was said, or `fallback`.
  int Error(int fallback) const;
  // What went wrong in words: the transport's error, the server's answer,
  // or GDAL's last failure; "" when nothing was said.
  std::string Reason() const;
  // Whether the library refused GDAL a file meanwhile.
  bool Refused() const;

 private:
  static void CPL_STDCALL Catch(CPLErr level, CPLErrorNum number, const char *text);
  void Note(CPLErr level, const char *text) noexcept;
  void Keep(CPLErr level, const char *text);
  std::string Said() const;

  bool debugSet_ = false;
  uint64_t refusals_;  // the thread's count of refusals when this began
  std::vector<std::string> failures_;
  std::string transport_;  // the HTTP layer's error for the last failed request
  int status_ = 0;         // the last unsuccessful status a server answered
};

}  // namespace ncsecwex

#endif
