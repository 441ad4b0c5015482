// Error boxes, the last message, system error texts and the assertion reporter.
#ifndef RHL_DIAGNOSTICS_H
#define RHL_DIAGNOSTICS_H

#include <stdint.h>

#if defined(__GNUC__)
#define RHL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define RHL_PRINTF(fmt, args)
#endif

enum {
  kMessageSize = 1024,        // error boxes, assertions, the last message
  kComposeSize = 10240,       // where SetLastMessage composes before the cut
  kSystemTextSize = 1024
};

#ifdef __cplusplus
extern "C" {
#endif

// Composes a text (at most 1023 characters) and shows it under "Error".
void ReportError(const char *format, ...) RHL_PRINTF(1, 2);
// Shows a ready text verbatim under "Error".
void ShowErrorBox(const char *text);
// Stores a composed text, cut to 1023 characters, as the last message and
// hands back `result`.
int32_t SetLastMessage(int32_t result, const char *format, ...) RHL_PRINTF(2, 3);
const char *GetLastMessage(void);
// The platform's text for its last error code, as the platform words it.
const char *SystemErrorText(void);
// Shows "RXAssert: expression, file, line" under "RXAssert failed"; returns.
void AssertFailed(const char *expression, const char *file, int32_t line);

#ifdef __cplusplus
}
#endif

// Reports a false expression and carries on. Each source file that uses it
// defines RX_SOURCE_NAME as its short name.
#define RX_ASSERT(expr) ((expr) ? (void)0 : AssertFailed(#expr, RX_SOURCE_NAME, __LINE__))

#endif
