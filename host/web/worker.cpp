#include "worker.h"

#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <thread>

namespace rhl {
namespace web {
namespace frames {
namespace {

// What one view's reply may carry beyond its pixels: the fields and an error.
constexpr size_t kErrorLimit = 16384;
constexpr size_t kPixelsOverhead = 64 + kErrorLimit;

void PutRect(Body *body, const RhlRect &r) {
  body->PutI32(r.left);
  body->PutI32(r.top);
  body->PutI32(r.right);
  body->PutI32(r.bottom);
}

bool GetRect(Body *body, RhlRect *r) {
  return body->GetI32(&r->left) && body->GetI32(&r->top) && body->GetI32(&r->right) &&
         body->GetI32(&r->bottom);
}

}  // namespace

void PutHello(Body *body, const std::string &modulePath, const std::vector<std::string> &files) {
  body->PutText(modulePath);
  body->PutU32((uint32_t)files.size());
  for (const std::string &file : files) body->PutText(file);
}

bool GetHello(Body *body, std::string *modulePath, std::vector<std::string> *files) {
  uint32_t count = 0;
  if (!body->GetText(modulePath) || !body->GetU32(&count) || count > body->Left() / 4)
    return false;
  files->resize(count);
  for (std::string &file : *files)
    if (!body->GetText(&file)) return false;
  return body->Left() == 0;
}

void PutView(Body *body, uint32_t image, const ViewRequest &request) {
  body->PutU32(image);
  PutRect(body, request.source);
  PutRect(body, request.destination);
  body->PutF64(request.scale);
}

bool GetView(Body *body, uint32_t *image, ViewRequest *request) {
  return body->GetU32(image) && GetRect(body, &request->source) &&
         GetRect(body, &request->destination) && body->GetF64(&request->scale) &&
         body->Left() == 0;
}

void PutPixels(Body *body, const ViewPixels &view) {
  body->PutU32(view.status);
  body->PutI32(view.width);
  body->PutI32(view.height);
  body->PutF64(view.viewMs);
  body->PutText(view.error.substr(0, kErrorLimit));
}

bool GetPixels(Body *body, const ViewRequest &request, ViewPixels *view) {
  uint32_t status = 0;
  if (!body->GetU32(&status) || !body->GetI32(&view->width) || !body->GetI32(&view->height) ||
      !body->GetF64(&view->viewMs) || !body->GetText(&view->error))
    return false;
  if (status == ViewPixels::kFailed) {
    view->status = ViewPixels::kFailed;
    return body->Left() == 0;
  }
  int32_t width = 0, height = 0;
  WindowSize(request, &width, &height);
  if (status != ViewPixels::kMade || view->width != width || view->height != height ||
      body->Left() != (size_t)width * (size_t)height * 3)
    return false;
  view->status = ViewPixels::kMade;
  view->rgb.assign(body->Rest(), body->Rest() + body->Left());
  return true;
}

size_t PixelsLimit(const ViewRequest &request) {
  int32_t width = 0, height = 0;
  WindowSize(request, &width, &height);
  size_t pixels = width > 0 && height > 0 ? (size_t)width * (size_t)height * 3 : 0;
  return pixels + kPixelsOverhead;
}

}  // namespace frames

namespace {

// Views of more bytes than one frame carries are refused by the worker (no
// service asks for anything near it).
constexpr size_t kLargestView = (size_t)1 << 31;
constexpr size_t kHelloLimit = (size_t)64 << 20;
constexpr size_t kViewLimit = 256;

bool IsSocket(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

void SetUpAllocator() {
  // Not glibc's eight arenas: each keeps its own free memory, and the
  // handler threads would each have one.
  unsigned cores = std::thread::hardware_concurrency();
  mallopt(M_ARENA_MAX, cores > 0 ? (int)cores : 1);
  // A 256 x 256 map's canvas, view and answer are a few hundred KiB each:
  // glibc would map each afresh and unmap it at its free, and every page
  // is faulted in again at the next request (a sixth of a tile's time).
  // Blocks under 8 MiB come from the arenas instead, and an arena keeps up
  // to 16 MiB free at its top.
  mallopt(M_MMAP_THRESHOLD, 8 << 20);
  mallopt(M_TRIM_THRESHOLD, 16 << 20);
}

int RunViewWorker(int argc, char **argv, const ImageOpener &open) {
  using namespace frames;
  if (argc != 3 || !IsSocket(kWorkerFd)) {
    fprintf(stderr, "rhl: %s is rhl serve's own: it starts its view workers with it\n",
            kWorkerArgument);
    return 2;
  }
  // Ended by the kernel when the server ends, however it ends; a server
  // gone before this line took effect is seen as a new parent.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != (pid_t)atol(argv[2])) return 1;
  prctl(PR_SET_NAME, "rhl-view-worker");
  SetUpAllocator();
  signal(SIGPIPE, SIG_IGN);
  // Nothing of the server's but the socket (the server's spawn closes the
  // rest already where the C library can).
#ifdef SYS_close_range
  syscall(SYS_close_range, kWorkerFd + 1, ~0U, 0);
#endif

  uint32_t kind = 0;
  Body hello;
  std::string modulePath;
  std::vector<std::string> files;
  if (Receive(kWorkerFd, &kind, &hello, kHelloLimit, kNoDeadline) != Io::kDone ||
      kind != kHello || !GetHello(&hello, &modulePath, &files))
    return 1;
  // A module that does not load makes a worker of no use: it says so and
  // ends, and the server tries again later.
  std::string error;
  if (!Session().Load(modulePath, &error)) {
    fprintf(stderr, "rhl serve: a view worker cannot load the module: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::unique_ptr<Session>> sessions(files.size());
  auto opened = [&](uint32_t image) -> Session * {
    if (image >= files.size() || files[image].empty()) return nullptr;
    if (sessions[image] == nullptr) {
      auto session = std::make_unique<Session>();
      if (open(*session, modulePath, files[image])) sessions[image] = std::move(session);
    }
    return sessions[image].get();
  };
  for (uint32_t i = 0; i < files.size(); ++i) opened(i);
  if (Send(kWorkerFd, kReady, Body(), kNoDeadline) != Io::kDone) return 1;

  for (;;) {
    Body ask;
    Io io = Receive(kWorkerFd, &kind, &ask, kViewLimit, kNoDeadline);
    if (io == Io::kEnded) return 0;  // the server is done with this worker
    uint32_t image = 0;
    ViewRequest request;
    if (io != Io::kDone || kind != kView || !GetView(&ask, &image, &request)) return 1;
    ViewPixels view;
    Session *session = nullptr;
    if (image >= files.size() || files[image].empty())
      view.error = "no image " + std::to_string(image);
    else if ((session = opened(image)) == nullptr)
      view.error = "the view worker could not open '" + files[image] + "' (the log says why)";
    else if (PixelsLimit(request) > kLargestView)
      view.error = "the view is larger than a worker sends (2 GiB)";
    else
      view = ReadView(*session, request);
    Body reply;
    PutPixels(&reply, view);
    if (Send(kWorkerFd, kPixels, reply, view.rgb.data(), view.rgb.size(), kNoDeadline) !=
        Io::kDone)
      return 1;
  }
}

}  // namespace web
}  // namespace rhl
