// Entry-call sequences over the scripted library, as a careless or hostile
// host might make them: records copied into one another and their pointers
// overwritten, reopens and failed opens, any rectangle, scale and line
// index, and scripted failures of every library and platform call. After
// every call: no view misused, the library's open views exactly those the
// host's records hold, no byte of any record changed but those the entry
// writes, and each answer as the entry promises. After every sequence:
// nothing leaked.
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "fake_ncsecwex.h"
#include "fuzz_support.h"
#include "handler/handler.h"
#include "platform/platform.h"

using fuzz::Check;

namespace {

// FUZZ_TRACE=1 prints each step of a sequence, to follow a finding.
const bool gTrace = getenv("FUZZ_TRACE") != nullptr;

constexpr int kSlots = 4;
constexpr int kWindowLimit = 4096;  // wider windows are refused by the library

// A host record with host bytes on either side of it.
struct Slot {
  uint8_t before[24];
  Raster r;
  uint8_t after[24];
};
Slot gSlots[kSlots];
// The state made for each record, as the host last saw it hung on; its view.
ViewState *gMadeFor[kSlots];
bool gViewOpen[kSlots];
// Pointers the host saved to write back later.
ViewState *gSaved[4];
std::set<RegistrationBlock *> gBlocks;
std::vector<std::string> gNames;

void MakeNames() {
  const std::string &dir = fuzz::ScratchDir();
  auto link = [&](const char *file, const std::string &content) {
    fuzz::WriteFile(dir + file, content);
    return dir + file;
  };
  gNames = {
      "img.ecw",
      "IMG.ECW",
      "pic.tif",
      "",
      link("map.url", "img.ecw\r\n"),
      link("spaced.url", "  other.url \n"),
      link("wide.url", std::string(600, 'w') + ".ecw"),  // fits the buffer, not the record
      link("empty.url", ""),
      dir + "missing.url",
      dir + "fifo.url",
      dir + "folder.url",
      std::string(1020, 'n') + ".ecw",  // 1024 characters
      std::string(508, 'm') + ".ecw",   // 512
      std::string(507, 'k') + ".ecw",   // 511: just fits the record
  };
  Check(mkfifo((dir + "fifo.url").c_str(), 0600) == 0, "a FIFO");
  Check(mkdir((dir + "folder.url").c_str(), 0700) == 0, "a folder");
}

const char *Name(fuzz::Input &in) {
  uint8_t pick = in.U8();
  if (pick == 255) return nullptr;
  return gNames[pick % gNames.size()].c_str();
}

double Scale(fuzz::Input &in) {
  const double kScales[] = {1.0,       0.5,       2.0,      0.25,     0.0,   -0.0, -1.0,
                            NAN,       -NAN,      INFINITY, -INFINITY, 1e-310, 1e308, 0.999,
                            1.0000001};
  uint8_t pick = in.U8() % 16;
  return pick < 15 ? kScales[pick] : in.F64();
}

RhlRect Rect(fuzz::Input &in) {
  RhlRect r;
  r.left = in.Coordinate();
  r.top = in.Coordinate();
  r.right = in.Coordinate();
  r.bottom = in.Coordinate();
  return r;
}

// The record's pointer names the state made for it: the view entries take it.
bool Accepted(int s) {
  return gMadeFor[s] != nullptr && gSlots[s].r.viewState == gMadeFor[s];
}

int OpenViewCount() {
  int n = 0;
  for (bool open : gViewOpen) n += open;
  return n;
}

// The bytes of every record and its surroundings as they were before a call.
struct Snapshot {
  Slot slots[kSlots];
  size_t boxes;
  Snapshot() : boxes(fuzz::Boxes().size()) { memcpy(slots, gSlots, sizeof slots); }
  size_t NewBoxes() const { return fuzz::Boxes().size() - boxes; }
};

// Which fields of the record an entry may write.
enum Writes : unsigned {
  kWritesNothing = 0,
  kWritesCode = 1,
  kWritesOpenFields = 2,  // cleared word and view-state pointer
  kWritesImage = 4,       // name (up to its terminator), size, value 3, block
};

// Everything but the fields `writes` allows is as it was, in every slot.
void CheckUntouched(const Snapshot &before, int slot, unsigned writes) {
  for (int s = 0; s < kSlots; ++s) {
    Slot was = before.slots[s], now = gSlots[s];
    if (s == slot) {
      Slot *both[] = {&was, &now};
      size_t nameBytes = (writes & kWritesImage) ? strlen(now.r.name) + 1 : 0;
      for (Slot *p : both) {
        if (writes & kWritesCode) p->r.errorCode = 0;
        if (writes & kWritesOpenFields) {
          p->r.clearedWord = 0;
          p->r.viewState = nullptr;
        }
        if (writes & kWritesImage) {
          memset(p->r.name, 0, nameBytes);
          p->r.width = p->r.height = 0;
          p->r.valueThree = 0;
          p->r.registration = nullptr;
        }
      }
    }
    Check(memcmp(&was, &now, sizeof was) == 0, "an entry wrote a byte that is not its own");
  }
}

// What must hold after every call.
void CheckInvariants() {
  Check(fake::Misuses() == 0, "a view was used after close, closed twice or never opened");
  Check(fake::OpenViews() == OpenViewCount(), "the library's open views are not the records'");
  for (int s = 0; s < kSlots; ++s) {
    Check(ViewStateMadeFor(&gSlots[s].r) == gMadeFor[s], "a record's state is not its own");
    Check(LiveViewState(&gSlots[s].r) == (Accepted(s) ? gMadeFor[s] : nullptr),
          "a pointer was taken for a state it does not name");
  }
}

void DoOpen(int s, const char *name) {
  Snapshot before;
  int32_t result = HandlerOpen(&gSlots[s].r, name, 0);
  Raster &r = gSlots[s].r;
  gViewOpen[s] = false;  // the old state went, with its view
  Check(r.clearedWord == 0, "open clears the word at 4");
  if (result == 1) {
    Check(r.errorCode == 0, "a good open leaves 0");
    Check(r.viewState != nullptr && r.registration != nullptr, "a good open hangs both blocks");
    Check(r.valueThree == 3, "a good open writes 3");
    Check(before.NewBoxes() == 0, "a good open shows no box");
    for (int t = 0; t < kSlots; ++t)
      Check(t == s || gMadeFor[t] != r.viewState, "two records share a state");
    gMadeFor[s] = r.viewState;
    gBlocks.insert(r.registration);
    CheckUntouched(before, s, kWritesCode | kWritesOpenFields | kWritesImage);
  } else {
    Check(result == 0, "open answers 0 or 1");
    Check(r.errorCode == 4 || r.errorCode == 5, "a failed open leaves 4 or 5");
    Check(before.NewBoxes() <= (r.errorCode == 5 ? 1u : 0u), "a failed open shows one box at most");
    if (r.errorCode == 4)
      Check(r.viewState == before.slots[s].r.viewState, "code 4 keeps the pointer");
    else
      Check(r.viewState == nullptr, "code 5 leaves no pointer");
    gMadeFor[s] = nullptr;
    CheckUntouched(before, s, kWritesCode | kWritesOpenFields);
  }
}

void DoBegin(int s, fuzz::Input &in) {
  RhlRect destination = Rect(in), source = Rect(in);
  double scale = Scale(in);
  bool accepted = Accepted(s);
  size_t calls = fake::Calls().size();
  Snapshot before;
  int32_t width = -7;
  int32_t result = HandlerBeginView(&gSlots[s].r, &destination, &source, scale, &width);
  if (!accepted) {
    Check(result == 0, "begin on a record without its state fails");
    Check(fake::Calls().size() == calls, "begin on a record without its state called the library");
  } else {
    gViewOpen[s] = result == 1;
  }
  if (result == 1) {
    Check(width >= 1 && width <= kWindowLimit, "the line width is the window's");
    Check(before.NewBoxes() == 0, "a good begin shows no box");
    Check(gSlots[s].r.errorCode == 0, "a good begin leaves 0");
    CheckUntouched(before, s, kWritesCode);
  } else {
    Check(width == -7, "a failed begin wrote the width");
    Check(before.NewBoxes() == 1, "a failed begin shows one box");
    CheckUntouched(before, s, kWritesNothing);
  }
}

void DoRead(int s, fuzz::Input &in) {
  int32_t index = (in.U8() & 1) ? in.I32() : (int32_t)(in.U8() % 64) - 1;
  bool viewable = Accepted(s) && gViewOpen[s];
  Snapshot before;
  uint8_t *line = nullptr;
  uint16_t flag = 0x7777;
  int32_t result = HandlerReadLine(&gSlots[s].r, index, &line, &flag);
  if (result == 1) {
    Check(viewable, "a read without a view succeeded");
    Check(line != nullptr && flag == 0, "a good read gives the buffer and flag 0");
    Check(before.NewBoxes() == 0, "a good read shows no box");
    CheckUntouched(before, s, kWritesCode);
  } else {
    Check(before.NewBoxes() == 1, "a failed read shows one box");
    Check(flag == 0x7777, "a failed read wrote the flag");
    CheckUntouched(before, s, kWritesNothing);
  }
}

void DoEnd(int s) {
  if (Accepted(s)) gViewOpen[s] = false;
  Snapshot before;
  Check(HandlerEndView(&gSlots[s].r) == 1, "end answers 1");
  Check(gSlots[s].r.errorCode == 0, "end leaves 0");
  Check(before.NewBoxes() == 0, "end shows no box");
  CheckUntouched(before, s, kWritesCode);
}

void DoNullRecord(fuzz::Input &in) {
  Snapshot before;
  RhlRect rect{0, 0, 10, 10};
  int32_t width = 0;
  uint8_t *line = nullptr;
  uint16_t flag = 0;
  switch (in.U8() % 5) {
    case 0: Check(HandlerOpen(nullptr, "img.ecw", 0) == 0, "open of no record"); break;
    case 1: Check(HandlerBeginView(nullptr, &rect, &rect, 1.0, &width) == 0, "begin of none"); break;
    case 2: Check(HandlerReadLine(nullptr, 0, &line, &flag) == 0, "read of no record"); break;
    case 3: Check(HandlerEndView(nullptr) == 1, "end of no record"); break;
    case 4: Check(HandlerGetLastError(nullptr) != 0, "last error of no record"); break;
  }
  Check(before.NewBoxes() == 1 && fuzz::Boxes().back().caption == "RXAssert failed",
        "no record is reported by an assertion box");
  CheckUntouched(before, -1, kWritesNothing);
}

// The host writes its own bytes: copies a record, or changes its pointer.
void HostWrites(int s, fuzz::Input &in) {
  Raster &r = gSlots[s].r;
  uint8_t what = in.U8();
  if (gTrace) fprintf(stderr, "  host writes %d\n", what % 8);
  switch (what % 8) {
    case 0: memcpy(&r, &gSlots[in.U8() % kSlots].r, sizeof r); break;
    case 1: r.viewState = gSlots[in.U8() % kSlots].r.viewState; break;
    case 2: r.viewState = gSaved[in.U8() % 4]; break;
    case 3: gSaved[in.U8() % 4] = r.viewState; break;
    case 4: r.viewState = reinterpret_cast<ViewState *>((uintptr_t)in.U32() << 4); break;
    case 5: r.viewState = reinterpret_cast<ViewState *>(&r); break;
    case 6: r.viewState = gMadeFor[s]; break;
    case 7:
      gSlots[s].before[in.U8() % 24] = in.U8();
      r.hostReserved552 = in.U32();
      r.name[in.U8() % sizeof r.name] = (char)in.U8();
      break;
  }
}

void ScriptFailure(fuzz::Input &in) {
  if (in.U8() & 1) {
    const fake::Op ops[] = {fake::Op::Open, fake::Op::GetInfo, fake::Op::SetView,
                            fake::Op::ReadLine, fake::Op::Close};
    fake::Op op = ops[in.U8() % 5];
    fake::Fail(op, ENOENT, in.U8() % 4, 1 + in.U8() % 3);
  } else {
    const PlatOp ops[] = {PLAT_OP_ALLOC, PLAT_OP_EXISTS, PLAT_OP_OPEN,   PLAT_OP_READ,
                          PLAT_OP_CLOSE, PLAT_OP_EXAMINE, PLAT_OP_ANY};
    PlatFailNext(ops[in.U8() % 7], in.U8() % 8, EIO);
  }
}

void SetImage(fuzz::Input &in) {
  uint32_t width = (in.U8() & 1) ? in.U32() : in.U8();
  uint32_t height = (in.U8() & 1) ? in.U32() : in.U8();
  uint16_t bands = (in.U8() & 1) ? (uint16_t)in.U32() : in.U8() % 6;
  fake::SetInfo(width, height, bands, in.F64(), in.F64(), in.F64(), in.F64());
  fake::LimitWindowWidth(kWindowLimit);
}

void StartSequence() {
  fake::Reset();
  fake::LimitWindowWidth(kWindowLimit);
  PlatFailNext(PLAT_OP_NONE, 0, 0);
  fuzz::Boxes().clear();
  memset(gSlots, 0x5A, sizeof gSlots);
  for (int s = 0; s < kSlots; ++s) {
    gSlots[s].r.viewState = nullptr;
    gMadeFor[s] = nullptr;
    gViewOpen[s] = false;
  }
  memset(gSaved, 0, sizeof gSaved);
}

// The host gives back what it owns; nothing may be left over.
void EndSequence(long blocks) {
  PlatFailNext(PLAT_OP_NONE, 0, 0);
  for (int s = 0; s < kSlots; ++s)
    if (ViewState *state = ViewStateMadeFor(&gSlots[s].r)) ReleaseViewState(state);
  for (RegistrationBlock *block : gBlocks) PlatFree(block);
  gBlocks.clear();
  Check(fake::OpenViews() == 0, "a view outlived its state");
  Check(fake::Misuses() == 0, "a view was misused while states were released");
  Check(PlatLiveBlocks() == blocks, "blocks were leaked");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  MakeNames();
  fuzz::CaptureBoxes();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  long blocks = PlatLiveBlocks();
  StartSequence();
  for (int steps = 0; !in.empty() && steps < 256; ++steps) {
    uint8_t op = in.U8();
    int s = (op >> 4) % kSlots;
    if (gTrace) fprintf(stderr, "step %d: op %d slot %d\n", steps, op % 12, s);
    switch (op % 12) {
      case 0: {
        Snapshot before;
        int32_t result = HandlerProbe(Name(in));
        Check(result == 0 || result == 1, "probe answers 0 or 1");
        Check(before.NewBoxes() <= (result ? 0u : 1u), "a probe shows one box at most");
        CheckUntouched(before, -1, kWritesNothing);
        break;
      }
      case 1: case 2: DoOpen(s, Name(in)); break;
      case 3: DoBegin(s, in); break;
      case 4: case 5: DoRead(s, in); break;
      case 6: DoEnd(s); break;
      case 7: {
        Snapshot before;
        Check(HandlerClose(&gSlots[s].r) == 1, "close answers 1");
        Check(HandlerGetLastError(&gSlots[s].r) == gSlots[s].r.errorCode, "the code as it is");
        CheckUntouched(before, -1, kWritesNothing);
        break;
      }
      case 8: HostWrites(s, in); break;
      case 9: ScriptFailure(in); break;
      case 10: SetImage(in); break;
      case 11: DoNullRecord(in); break;
    }
    if (gTrace)
      fprintf(stderr, "  library views %d, records' %d, accepted %d, open %d\n", fake::OpenViews(),
              OpenViewCount(), Accepted(s), gViewOpen[s]);
    CheckInvariants();
  }
  EndSequence(blocks);
  return 0;
}
