// The link-file reader against arbitrary file contents, sizes around the
// 64 KiB bound, files that are no regular files, and a scripted failure of
// any platform call. Each answer is checked against what the text says it
// must be, and nothing may be leaked or written where it does not belong.
//
// Input: kind, failing call, how many calls pass first, padding, content.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "diagnostics/diagnostics.h"
#include "fuzz_support.h"
#include "linkfile/linkfile.h"
#include "platform/platform.h"

using fuzz::Check;

namespace {

enum Kind { kRegular, kFifo, kZero, kFolder, kKinds };
std::string gPaths[kKinds];
fuzz::Rewritable *gLink;
int gFreeDescriptor;  // the one the reader's open gets

const PlatOp kFaults[] = {PLAT_OP_NONE,  PLAT_OP_ALLOC, PLAT_OP_EXISTS,  PLAT_OP_OPEN,
                          PLAT_OP_READ,  PLAT_OP_CLOSE, PLAT_OP_EXAMINE, PLAT_OP_ANY};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The name a regular file of `content` yields: each 5119-byte read counts up
// to its first zero byte; trailing white space goes, but never the first
// character.
std::string ExpectedName(const std::string &content) {
  std::string text;
  for (size_t at = 0; at < content.size(); at += kChunkSize - 1) {
    std::string chunk = content.substr(at, kChunkSize - 1);
    text += chunk.substr(0, chunk.find('\0'));
  }
  size_t end = text.size();
  while (end > 1 && IsSpace(text[end - 1])) --end;
  return text.substr(0, end);
}

std::string Quoted(const std::string &path) { return "'" + path + "'"; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const std::string &dir = fuzz::ScratchDir();
  gPaths[kRegular] = dir + "link.url";
  gPaths[kFifo] = dir + "fifo.url";
  gPaths[kZero] = dir + "zero.url";
  gPaths[kFolder] = dir + "folder.url";
  Check(mkfifo(gPaths[kFifo].c_str(), 0600) == 0, "a FIFO");
  Check(symlink("/dev/zero", gPaths[kZero].c_str()) == 0, "a link to /dev/zero");
  Check(mkdir(gPaths[kFolder].c_str(), 0700) == 0, "a folder");
  gLink = new fuzz::Rewritable(gPaths[kRegular]);
  gFreeDescriptor = fuzz::NextDescriptor();
  fuzz::CaptureBoxes();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  uint8_t pick = in.U8();
  Kind kind = pick < 224 ? kRegular : (Kind)(1 + pick % 3);
  PlatOp fault = kFaults[in.U8() % 8];
  int skip = in.U8() % 8;
  uint8_t pad = in.U8();
  // Padding of white space (or of text) to reach the size bound.
  size_t padLength = (size_t)(pad & 0x7F) * 520;
  char padChar = (pad & 0x80) ? 'p' : '\n';
  std::string content = in.Rest() + std::string(padLength, padChar);
  const std::string &path = gPaths[kind];
  if (kind == kRegular) gLink->Write(content);

  char out[kNameSize];
  memset(out, 0xA5, sizeof out);
  long blocks = PlatLiveBlocks();
  PlatFailNext(fault, skip, EIO);
  int32_t result = ReadUrlFromFile(path.c_str(), out);
  bool fired = fault != PLAT_OP_NONE && !PlatFailurePending();
  PlatFailNext(PLAT_OP_NONE, 0, 0);

  Check(PlatLiveBlocks() == blocks, "a block was leaked");
  Check(!fuzz::IsOpen(gFreeDescriptor), "a descriptor was left open");
  Check(fuzz::Boxes().empty(), "the reader showed a box");
  Check(result == 0 || result == 1, "an answer of 0 or 1");
  std::string message = GetLastMessage();
  if (result == 1) {
    for (char c : out) Check(c == (char)0xA5, "a refusal wrote the name buffer");
    Check(message.rfind("ReadUrlFromFile: ", 0) == 0, "the reason names the reader");
    Check(message.find(Quoted(path)) != std::string::npos, "the reason quotes the file");
  } else {
    Check(memchr(out, '\0', sizeof out) != nullptr, "the name is terminated");
  }
  if (fired) {
    Check(result == 1, "a failed platform call is reported");
    return 0;
  }

  std::string expected;
  if (kind != kRegular) {
    expected = "ReadUrlFromFile: url file " + Quoted(path) + " is not a regular file";
  } else if (content.size() > kMaxLinkFileSize) {
    expected = "ReadUrlFromFile: url file " + Quoted(path) +
               " is too large to be a link file (more than 65536 bytes)";
  } else {
    std::string name = ExpectedName(content);
    if (name.empty()) {
      expected = "ReadUrlFromFile: url file " + Quoted(path) + " is empty";
    } else if (name.size() > kNameSize - 1) {
      expected = "ReadUrlFromFile: url file " + Quoted(path) + " holds a name of " +
                 std::to_string(name.size()) + " characters; at most 1023 fit";
    } else {
      Check(result == 0, "a link that fits is read");
      Check(name == out, "the name is the file's text less trailing white space");
      return 0;
    }
  }
  Check(result == 1, "a file that is no link is refused");
  Check(message == expected.substr(0, kMessageSize - 1), "the reason is the one due");
  return 0;
}
