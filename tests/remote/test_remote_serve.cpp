// rhl serve with a remote image whose server falls silent: a view then waits
// on the network, and a stop must not wait for it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "fixtures.h"
#include "raw_client.h"
#include "remote_support.h"
#include "serve_support.h"

using remote::FaultServer;

// Views in the server's process (the stop leaves the view behind) and in
// worker processes (the stop ends the worker under it).
class RemoteServe : public ::testing::TestWithParam<const char *> {};

TEST_P(RemoteServe, AStopIsNotHeldUpByAViewWaitingOnASilentServer) {
  FaultServer server(remote::TiledTiff());
  std::string link = fixtures::Link("falls-silent.url", server.Url());
  // A long read limit for the server process, so that its view outlasts the
  // stop (the tests' own is a second).
  setenv("GDAL_HTTP_LOW_SPEED_TIME", "60", 1);
  serve_support::Served served({link, "--workers", GetParam()});
  setenv("GDAL_HTTP_LOW_SPEED_TIME", "1", 1);
  ASSERT_GT(served.port(), 0) << served.err();

  server.SetMode(FaultServer::Mode::kSilent);
  int requests = server.Requests();
  int fd = raw_client::Connect(served.port());
  ASSERT_TRUE(raw_client::SendAll(fd, raw_client::Get("/tiles/falls-silent/4/3/2.png")));
  for (int i = 0; i < 100 && server.Requests() == requests; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_GT(server.Requests(), requests) << "the view is waiting on the server";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(served.Stop(SIGTERM), 0) << served.err();
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
  if (std::string(GetParam()) == "0") {
    EXPECT_NE(served.out().find("rhl serve: stopped (1 request left unanswered)"),
              std::string::npos)
        << served.out();
  }
  EXPECT_EQ(raw_client::ReadToClose(fd, 1000), "");
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(Views, RemoteServe, ::testing::Values("0", "2"));
