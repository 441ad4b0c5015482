#include "diagnostics.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "../platform/platform.h"

static char gLastMessage[kMessageSize];
static char gSystemText[kSystemTextSize];

void ShowErrorBox(const char *text) { PlatMessageBox("Error", text); }

void ReportError(const char *format, ...) {
  char text[kMessageSize];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);  // cuts at 1023 characters
  va_end(args);
  ShowErrorBox(text);
}

int32_t SetLastMessage(int32_t result, const char *format, ...) {
  static char composed[kComposeSize];
  va_list args;
  va_start(args, format);
  vsnprintf(composed, sizeof composed, format, args);
  va_end(args);
  strncpy(gLastMessage, composed, kMessageSize - 1);
  gLastMessage[kMessageSize - 1] = '\0';
  return result;
}

const char *GetLastMessage(void) { return gLastMessage; }

const char *SystemErrorText(void) {
  uint32_t code = PlatLastError();
  if (!PlatErrorText(code, gSystemText, sizeof gSystemText))
    snprintf(gSystemText, sizeof gSystemText, "system error %u", (unsigned)code);
  return gSystemText;
}

void AssertFailed(const char *expression, const char *file, int32_t line) {
  char text[kMessageSize];
  snprintf(text, sizeof text, "RXAssert: %s, %s, %d", expression, file, (int)line);
  PlatMessageBox("RXAssert failed", text);
}
