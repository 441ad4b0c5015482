// The fixture of rhl serve's worker tests: two plain images, images the
// seam module (SEAM.RHL: the real module, holding views of images whose
// names say "hold" until a release file appears, and aborting in views of
// those whose names say "crash") acts on, and requests on threads of their
// own.
#ifndef RHL_SERVE_WORKERS_FIXTURE_H
#define RHL_SERVE_WORKERS_FIXTURE_H

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <string>

#include "fixtures.h"
#include "serve_support.h"

namespace serve_workers {

using namespace fixtures;
using namespace serve_support;

// The worker holding a view of `image`, once the seam says which (10 s at most).
inline pid_t Holder(const std::string &image) {
  for (int i = 0; i < 200; ++i) {
    std::string pid = ReadAll(image + ".holding");
    if (!pid.empty()) return atoi(pid.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

inline void Release(const std::string &image) { std::ofstream(image + ".release") << "go\n"; }

// A request on a thread of its own.
inline std::future<httplib::Result> Fetch(int port, const std::string &path) {
  return std::async(std::launch::async, [port, path] {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(180, 0);
    return client.Get(path.c_str());
  });
}

inline bool Pending(std::future<httplib::Result> &request) {
  return request.wait_for(std::chrono::seconds(0)) == std::future_status::timeout;
}

class ServeWorkers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Fixture fixture;
    fixture.width = 700;
    fixture.height = 500;
    fixture.overviews = true;
    a_ = Link("a.url", Make("a.tif", fixture));
    fixture.bands = 1;
    fixture.type = GDT_UInt16;
    b_ = Link("b.url", Make("b.tif", fixture));
  }
  // An image the seam acts on, `word` in its name, and its link.
  static std::string Troubled(const std::string &word, const std::string &tag,
                              std::string *link) {
    Fixture fixture;
    fixture.width = 600;
    fixture.height = 400;
    std::string image = Make(word + "-" + tag + ".tif", fixture);
    *link = Link(word + tag + ".url", image);
    return image;
  }
  // A few tiles of a and b, each answered.
  static void OthersAnswer(const Served &server) {
    for (const char *tile : {"/tiles/a/2/0/0.png", "/tiles/b/1/1/0.png", "/tiles/a/0/0/0.png",
                             "/tiles/b/2/2/1.png", "/tiles/a/2/1/1.png"}) {
      httplib::Result res = server.Get(tile);
      ASSERT_TRUE(res) << tile << ": " << httplib::to_string(res.error());
      EXPECT_EQ(res->status, 200) << tile << ": " << res->body;
    }
  }
  inline static std::string a_, b_;
};

inline const std::string kSeam = SEAM_MODULE_PATH;

}  // namespace serve_workers

#endif
