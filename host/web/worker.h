// A view worker: a process of rhl's own that rhl serve starts, which loads
// the module, opens the images as the host does and makes one view at a
// time for the server, over the socket it was started with. Its messages,
// which both ends build and read, live here too.
#ifndef RHL_HOST_WEB_WORKER_H
#define RHL_HOST_WEB_WORKER_H

#include <functional>
#include <string>
#include <vector>

#include "frames.h"
#include "session.h"
#include "views.h"

namespace rhl {
namespace web {

// rhl's first argument that makes it a view worker (never typed by hand:
// the server passes it, with its own process id, to the program it runs).
constexpr char kWorkerArgument[] = "--serve-view-worker";
// The worker's end of its socket.
constexpr int kWorkerFd = 3;

// Loads the module into `session` and opens `file` as the host does; false
// after saying why on standard error.
using ImageOpener =
    std::function<bool(Session &session, const std::string &modulePath, const std::string &file)>;

// The worker's life: `argv` is rhl, kWorkerArgument, the server's process
// id. Ends (0) when the server closes the socket or ends; it is also ended
// by the kernel the moment its server ends.
int RunViewWorker(int argc, char **argv, const ImageOpener &open);

// malloc as every process of rhl serve wants it (the server and its view
// workers): an arena a core, and a map's buffers of a few MiB kept for the
// next map rather than given back to the kernel and faulted in again.
void SetUpAllocator();

namespace frames {

// kHello: the module, then the images by index ("" for one not served).
void PutHello(Body *body, const std::string &modulePath, const std::vector<std::string> &files);
bool GetHello(Body *body, std::string *modulePath, std::vector<std::string> *files);
// kReady has no body: the worker has loaded the module and tried each
// image (one it could not open it tries again at each view of it).
// kView: the image's index and the request.
void PutView(Body *body, uint32_t image, const ViewRequest &request);
bool GetView(Body *body, uint32_t *image, ViewRequest *request);
// kPixels: the outcome; the pixels follow as the frame's tail. GetPixels
// takes only what `request` can give: a made view of exactly its window.
void PutPixels(Body *body, const ViewPixels &view);
bool GetPixels(Body *body, const ViewRequest &request, ViewPixels *view);
// The largest kPixels body a view of `request` may send.
size_t PixelsLimit(const ViewRequest &request);

}  // namespace frames
}  // namespace web
}  // namespace rhl

#endif
