// A view worker that speaks the workers' protocol as a test tells it to, in
// FAKE_VIEW_WORKER: "exit" (status 3 at once), "silent" (ready, never
// answers a view), "silent0" (never answers a view of image 0), "good"
// (views of grey 7, made in no time), "hangup" (closes its socket at a view
// and lives on), "misfit" (a made view one pixel too wide), "short" (too
// few pixels), "unknown" (a status no view has), "huge" (a frame larger
// than any view's), "kind" (a ready frame where the pixels belong).
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "worker.h"

using namespace rhl;
using namespace rhl::web;
using namespace rhl::web::frames;

int main() {
  const char *given = getenv("FAKE_VIEW_WORKER");
  std::string mode = given != nullptr ? given : "good";
  if (mode == "exit") return 3;
  uint32_t kind = 0;
  Body hello;
  if (Receive(kWorkerFd, &kind, &hello, (size_t)64 << 20, kNoDeadline) != Io::kDone) return 1;
  if (Send(kWorkerFd, kReady, Body(), kNoDeadline) != Io::kDone) return 1;
  for (;;) {
    Body ask;
    if (Receive(kWorkerFd, &kind, &ask, 1024, kNoDeadline) != Io::kDone) return 0;
    uint32_t image = 0;
    ViewRequest request;
    if (!GetView(&ask, &image, &request)) return 1;
    if (mode == "hangup") {
      close(kWorkerFd);
      pause();
    }
    if (mode == "silent" || (mode == "silent0" && image == 0)) {
      char byte;
      while (read(kWorkerFd, &byte, 1) > 0) {
      }
      return 0;
    }
    ViewPixels view;
    view.status = ViewPixels::kMade;
    WindowSize(request, &view.width, &view.height);
    view.rgb.assign((size_t)view.width * view.height * 3, 7);
    if (mode == "misfit") ++view.width;
    if (mode == "short") view.rgb.pop_back();
    Body reply;
    if (mode == "unknown") {  // the fields PutPixels writes, with a status of 9
      reply.PutU32(9);
      reply.PutI32(view.width);
      reply.PutI32(view.height);
      reply.PutF64(0);
      reply.PutText("");
    } else {
      PutPixels(&reply, view);
    }
    if (mode == "huge") {
      uint32_t header[2] = {kPixels, 0x7fffffff};
      if (write(kWorkerFd, header, sizeof header) != (ssize_t)sizeof header) return 1;
      pause();
    }
    if (Send(kWorkerFd, mode == "kind" ? kReady : kPixels, reply, view.rgb.data(),
             view.rgb.size(), kNoDeadline) != Io::kDone)
      return 1;
  }
}
