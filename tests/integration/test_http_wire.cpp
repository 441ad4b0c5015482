// The text of HTTP as rhl serve's transport reads and writes it: targets
// decoded into requests, the Host names taken for this machine's loopback,
// and answers' heads that no handler can split.
#include <gtest/gtest.h>

#include "http_wire.h"

using namespace rhl::web;

TEST(HttpWire, PercentDecodingTakesOnlyWholeEscapes) {
  struct Case {
    const char *text;
    bool plus;
    std::string decoded;
  } cases[] = {
      {"a%20b", false, "a b"},
      {"a+b", true, "a b"},
      {"a+b", false, "a+b"},
      {"%zz%4", false, "%zz%4"},
      {"%", false, "%"},
      {"100%", true, "100%"},
      {"%00x", false, std::string("\0x", 2)},
      {"%e2%82%AC", false, "\xe2\x82\xac"},
      {"%2e%2e%2f", false, "../"},
      {"%%41", false, "%A"},
  };
  for (const Case &c : cases) EXPECT_EQ(PercentDecoded(c.text, c.plus), c.decoded) << c.text;
}

TEST(HttpWire, TargetsInOriginAndAbsoluteFormSplitIntoPathQueryAndParameters) {
  struct Case {
    const char *target;
    bool ok;
    std::string authority, path, query;
    HttpFields params;
  } cases[] = {
      {"/a/b?x=1&y=%20+&&z",
       true,
       "",
       "/a/b",
       "x=1&y=%20+&&z",
       {{"x", "1"}, {"y", "  "}, {"z", ""}}},
      {"/tiles/%2e%2e/0.png", true, "", "/tiles/../0.png", "", {}},
      {"/a+b?k%3D=v%26w", true, "", "/a+b", "k%3D=v%26w", {{"k=", "v&w"}}},
      {"/?LAYERS=a,b&layers=c",
       true,
       "",
       "/",
       "LAYERS=a,b&layers=c",
       {{"LAYERS", "a,b"}, {"layers", "c"}}},
      {"http://localhost:80/p?q=1", true, "localhost:80", "/p", "q=1", {{"q", "1"}}},
      {"HTTP://Example.org", true, "Example.org", "/", "", {}},
      {"http://h?x=1", true, "h", "/", "x=1", {{"x", "1"}}},
      {"http:///p", false, "", "", "", {}},
      {"https://h/p", false, "", "", "", {}},
      {"*", false, "", "", "", {}},
      {"p/q", false, "", "", "", {}},
      {"", false, "", "", "", {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.target);
    HttpRequest request;
    request.target = c.target;
    std::string authority;
    ASSERT_EQ(SplitTarget(&request, &authority), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(authority, c.authority);
    EXPECT_EQ(request.path, c.path);
    EXPECT_EQ(request.query, c.query);
    EXPECT_EQ(request.params, c.params);
  }
}

TEST(HttpWire, OnlyLoopbackNamesAreTakenForThisMachine) {
  struct Case {
    const char *host;
    bool loopback;
  } cases[] = {
      {"localhost", true},
      {"LocalHost:8080", true},
      {"localhost.", true},
      {"127.0.0.1", true},
      {"127.1.2.3:99", true},
      {"127.255.255.255:", true},
      {"[::1]", true},
      {"[::1]:8080", true},
      {"[0:0:0:0:0:0:0:1]", true},
      {"[::ffff:127.0.0.1]:80", true},
      {"", false},
      {"evil.example", false},
      {"localhost.evil.example", false},
      {"evil-localhost", false},
      {"127.0.0.1.evil.example", false},
      {"128.0.0.1", false},
      {"0x7f.0.0.1", false},
      {"127.1", false},
      {"2130706433", false},
      {"0177.0.0.1", false},
      {"10.0.0.1:8080", false},
      {"0.0.0.0", false},
      {"[::2]", false},
      {"[::1]x", false},
      {"[::1", false},
      {"::1", false},
      {"localhost:http", false},
      {"localhost:80:80", false},
      {"[::ffff:10.0.0.1]", false},
      {"localhost\r\nx", false},
  };
  for (const Case &c : cases) EXPECT_EQ(IsLoopbackHost(c.host), c.loopback) << c.host;
}

TEST(HttpWire, AnAnswersHeadCarriesTheHandlersFieldsButNoneTheyCouldForge) {
  HttpResponse response;
  response.status = 404;
  response.type = "text/plain\r\nX-Injected: 1";
  response.headers = {{"Server-Timing", "view;dur=1"},
                      {"X-Split", "a\r\nSet-Cookie: stolen=1"},
                      {"Content-Length", "999"},
                      {"Connection", "keep-alive"},
                      {"Bad:Name", "x"},
                      {"Rhl-Reason", "forged"}};
  response.reason = std::string("no image '\0\n'", 13);
  std::string head = ResponseHead(response, 12, true, false);
  EXPECT_EQ(head,
            "HTTP/1.1 404 Not Found\r\n"
            "Content-Type: text/plain  X-Injected: 1\r\n"
            "Content-Length: 12\r\n"
            "Server-Timing: view;dur=1\r\n"
            "X-Split: a  Set-Cookie: stolen=1\r\n"
            "Rhl-Reason: no image '\\x00\\n'\r\n"
            "Connection: close\r\n\r\n");

  struct Case {
    int status;
    bool close, keepAlive;
    std::string line, connection;
  } cases[] = {
      {200, false, false, "HTTP/1.1 200 OK\r\n", ""},
      {200, false, true, "HTTP/1.1 200 OK\r\n", "Connection: keep-alive\r\n"},
      {503, true, false, "HTTP/1.1 503 Service Unavailable\r\n", "Connection: close\r\n"},
      {431, true, false, "HTTP/1.1 431 Request Header Fields Too Large\r\n",
       "Connection: close\r\n"},
      {0, false, false, "HTTP/1.1 500 Internal Server Error\r\n", ""},
      {299, false, false, "HTTP/1.1 299 Success\r\n", ""},
  };
  for (const Case &c : cases) {
    HttpResponse plain;
    plain.status = c.status;
    EXPECT_EQ(ResponseHead(plain, 0, c.close, c.keepAlive),
              c.line + "Content-Length: 0\r\n" + c.connection + "\r\n")
        << c.status;
  }
}
