// Link files made on Windows: the module hands their text on unchanged, and
// rhl says after its box what it sees there; every name rhl prints shows its
// control characters escaped.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "fixtures.h"
#include "rhl_run.h"

using namespace fixtures;
using namespace rhltest;

namespace {

class RhlLinks : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Fixture f;
    f.width = 30;
    f.height = 20;
    image_ = Make("linked.tif", f);
    mkdir(Scratch("win").c_str(), 0755);
  }
  static std::string image_;
};
std::string RhlLinks::image_;

std::string Written(const std::string &name, const std::string &bytes) {
  std::string path = Scratch(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

}  // namespace

TEST_F(RhlLinks, WhatALinkMadeOnWindowsHoldsIsSaidAfterTheModulesBox) {
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    std::string name, bytes;
    std::string box;                 // the name in the module's box, escaped as shown
    std::vector<std::string> hints;  // rhl's lines after "could not open"
  } cases[] = {
      {"win/bom.url", bom + image_ + "\r\n", bom + image_,
       {"the link file 'win/bom.url' begins with a UTF-8 byte-order mark (EF BB BF), which the "
        "module hands on as part of the name: save the link without one (as ANSI, or UTF-8 "
        "without a byte-order mark)"}},
      {"win/quoted.url", "\"" + image_ + "\"\r\n", "\"" + image_ + "\"",
       {"the name in the link file 'win/quoted.url' is in double quotes, which the module keeps "
        "as part of it: write it without them"}},
      {"win/shortcut.url",
       "[InternetShortcut]\r\nURL=file://" + image_ + "\r\nIDList=\r\nIconIndex=0\r\n",
       "[InternetShortcut]\\r\\nURL=file://" + image_ + "\\r\\nIDList=\\r\\nIconIndex=0",
       {"the link file 'win/shortcut.url' is a Windows Internet shortcut ([InternetShortcut]), "
        "and the module takes its whole text as the name; its URL line names 'file://" +
            image_ + "': a link file holds the name alone",
        "the name 'file://" + image_ +
            "' is a file:// address, which the library opens as a file name: write the path, '" +
            image_ + "'"}},
      {"win/empty-shortcut.url", "[InternetShortcut]\r\nIconIndex=0\r\n",
       "[InternetShortcut]\\r\\nIconIndex=0",
       {"the link file 'win/empty-shortcut.url' is a Windows Internet shortcut "
        "([InternetShortcut]) without a URL line; the module takes a link's whole text as the "
        "name: write the image's name alone in it"}},
      {"win/address.url", "file:///" + image_.substr(1) + "\n", "file:///" + image_.substr(1),
       {"the name 'file:///" + image_.substr(1) +
        "' is a file:// address, which the library opens as a file name: write the path, '" +
        image_ + "'"}},
      {"win/spaces.url", "file://localhost" + image_.substr(0, image_.rfind('/')) + "/My%20Maps/x.tif",
       "file://localhost" + image_.substr(0, image_.rfind('/')) + "/My%20Maps/x.tif",
       {"the name 'file://localhost" + image_.substr(0, image_.rfind('/')) +
        "/My%20Maps/x.tif' is a file:// address, which the library opens as a file name: write "
        "the path, '" + image_.substr(0, image_.rfind('/')) + "/My Maps/x.tif'"}},
      {"win/drive.url", "C:\\Maps\\linked.tif\r\n", "C:\\Maps\\linked.tif",
       {"the name 'C:\\Maps\\linked.tif' is a Windows path, which names no file here: write this "
        "system's path to the image"}},
      // Meant against the link's folder; the library takes it against rhl's.
      {"win/relative.url", "../linked.tif\r\n", "../linked.tif",
       {"the name '../linked.tif' is relative: the library took it against the folder rhl runs "
        "in, '" + TempDir() + "', not the link file's, '" + TempDir() + "/win'; '" + TempDir() +
        "/win/../linked.tif' exists: write that whole path in the link"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Written(c.name, c.bytes);
    Outcome r = Rhl("info " + c.name);
    EXPECT_EQ(r.status, 1);
    std::string want = "ECW.RHL: Error opening view into ECW file: '" + c.box +
                       "' (No such file or directory)\nrhl: could not open '" + c.name + "'\n";
    for (const std::string &hint : c.hints) want += "rhl: " + hint + "\n";
    EXPECT_EQ(r.err, want);
  }
  // A link that works says nothing; a plain missing name nothing more.
  Written("win/good.url", image_ + "\r\n");
  EXPECT_EQ(Rhl("info win/good.url").err, "");
  Written("win/gone.url", Scratch("gone.tif"));
  EXPECT_EQ(Rhl("info win/gone.url").err, "ECW.RHL: Error opening view into ECW file: '" +
                                              Scratch("gone.tif") +
                                              "' (No such file or directory)\nrhl: could not open "
                                              "'win/gone.url'\n");
  // The same for render.
  Outcome render = Rhl("render win/quoted.url -o never.png");
  EXPECT_EQ(render.status, 1);
  EXPECT_NE(render.err.find("rhl: the name in the link file 'win/quoted.url' is in double quotes"),
            std::string::npos)
      << render.err;
  EXPECT_FALSE(Exists(Scratch("never.png")));
}

TEST_F(RhlLinks, ControlCharactersInNamesAreShownEscaped) {
  // A name with an escape sequence and a tab, which a terminal would obey.
  const std::string odd = "odd\x1b[31m\tname";
  struct Case {
    std::string args;
    std::string err;
  } cases[] = {
      {"info '" + odd + ".url'",
       "ECW.RHL: ReadUrlFromFile: url file 'odd\\x1b[31m\\tname.url' does not exist (No such "
       "file or directory)\nrhl: could not open 'odd\\x1b[31m\\tname.url'\n"},
      {"info '" + odd + ".tif'", "rhl: the module does not serve 'odd\\x1b[31m\\tname.tif', and "
                                 "GDAL cannot read it: odd\\x1b[31m\\tname.tif: No such file or "
                                 "directory\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Outcome r = Rhl(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
  }
  // A file that opens: its name escaped in the text, as it is in the JSON.
  std::string copy = Scratch(odd + ".url");
  std::ofstream(copy) << image_ << "\n";
  Outcome ok = Rhl("info '" + odd + ".url'");
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_NE(ok.out.find("file:          odd\\x1b[31m\\tname.url\n"), std::string::npos) << ok.out;
  EXPECT_EQ(ok.out.find('\x1b'), std::string::npos);
}
