// gdal_translate's and gdalinfo's options that rhl does not take: each
// refused by its own name, with the reason and the way to what it asks for,
// never read as another option (-oo as -o o) or as stray arguments.
#include <gtest/gtest.h>

#include "fixtures.h"
#include "rhl_run.h"

using namespace fixtures;
using namespace rhltest;

namespace {

class RhlRefused : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Fixture f;
    f.width = 30;
    f.height = 20;
    image_ = Make("refused.tif", f);
  }
  static std::string image_;
};
std::string RhlRefused::image_;

}  // namespace

TEST_F(RhlRefused, EachForeignOptionByItsOwnNameWithTheWayThere) {
  struct Case {
    std::string args, refusal;  // the refusal after "rhl: "
  } cases[] = {
      {"-ot UInt16", "render does not take -ot: the module delivers 8-bit RGB, so the output is "
                     "always Byte; gdal_translate -ot keeps the source's values in another type"},
      {"-oo NUM_THREADS=2",
       "render does not take -oo: the module's library opens the image without open options, "
       "and a link file names the image alone; a VRT made with gdal_translate -of VRT -oo "
       "NAME=VALUE keeps them; render the VRT"},
      {"-b 4 -b 3 -b 2",
       "render does not take -b: the module delivers its picture of the first three bands, "
       "taken by their red, green and blue labels; a VRT made with gdalbuildvrt -b 4 -b 3 -b 2 "
       "chooses the bands; render the VRT"},
      {"-r nearest", "render does not take -r: the module's library chooses the resampling (an "
                     "average for a reduction); gdal_translate -r chooses another"},
      {"-scale 0 3000",
       "render does not take -scale: the module stretches data wider than 8 bits itself, between "
       "each band's 2nd and 98th percentiles; gdal_translate -scale -ot Byte into a VRT gives a "
       "stretch of your own; render the VRT"},
      {"--projwin 0 0 1 1 -projwin_srs EPSG:4326",
       "render does not take -projwin_srs: --projwin is in the image's own CRS; gdaltransform "
       "-s_srs SRS -t_srs followed by the image's CRS converts the corners"},
      {"--config GDAL_CACHEMAX 64",
       "render does not take --config: rhl takes GDAL's configuration from the environment; "
       "NAME=VALUE before rhl on the command line sets one"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Outcome r = Rhl("render " + image_ + " -o refused.png " + c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "rhl: " + c.refusal + "\nRun with --help for more information.\n");
    EXPECT_FALSE(Exists(Scratch("refused.png")));
  }
}

TEST_F(RhlRefused, EveryOptionOfGdalTranslateRhlDoesNotTake) {
  // Each with a value where it takes one; some in the positions a user puts
  // them, before the output or the image.
  const char *const options[] = {
      "-ot Byte",  "-strict",       "-if GTiff",       "-b 1",         "-mask 1",
      "-expand rgb", "-tr 10 10",   "-r cubic",        "-scale",       "-scale_2 0 1",
      "-exponent 2", "-exponent_1 2", "-unscale",      "-epo",         "-eco",
      "-projwin_srs EPSG:4326",     "-a_ullr 0 1 1 0", "-a_scale 2",   "-a_offset 1",
      "-a_coord_epoch 2021",        "-nogcp",          "-gcp 0 0 1 1", "-colorinterp red,green,blue",
      "-colorinterp_1 red",         "-mo A=B",         "-sds",         "-stats",
      "-norat",    "-noxmp",        "-oo A=B",         "-ovr 1",       "--ot Byte",
      "--debug on", "--optfile args.txt", "--formats",
  };
  for (const char *option : options) {
    std::string name = std::string(option).substr(0, std::string(option).find(' '));
    for (const std::string &args : {"render " + image_ + " -o not-written.tif " + option,
                                    "render " + std::string(option) + " " + image_ + " -o not-written.tif"}) {
      SCOPED_TRACE(args);
      Outcome r = Rhl(args);
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.err.rfind("rhl: render does not take " + name + ": ", 0), 0u) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
      EXPECT_FALSE(Exists(Scratch("not-written.tif")));
    }
  }
}

TEST_F(RhlRefused, RhlsOwnOptionsAndTheirValuesAreNotForeign) {
  // -q, -v and -o are rhl's; a value that looks like a foreign option is a
  // value; the GDAL spellings rhl takes stay taken.
  struct Case {
    std::string args;
    int status;
  } cases[] = {
      {"-o own.tif -q -v", 0},
      {"-of GTiff -co COMPRESS=NONE -o own.tif -srcwin 0 0 10 10 -outsize 5 5", 0},
      {"-o own.tif --a_srs EPSG:4326 -a_nodata 0", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Outcome r = Rhl("render " + image_ + " " + c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
  }
  // A value of rhl's own option that reads like one of GDAL's stays a value.
  Outcome module = Rhl("render " + image_ + " -o own.tif --module -r");
  EXPECT_EQ(module.status, 1);
  EXPECT_EQ(module.err.find("does not take"), std::string::npos) << module.err;
}

TEST_F(RhlRefused, InfoRefusesGdalinfosOptionsAndStrayArgumentsAreNamedInOrder) {
  struct Case {
    std::string args, err;
  } cases[] = {
      {"info -stats " + image_, "rhl: info does not take -stats: rhl info reads no pixels; gdalinfo "
                                "with that option on the resolved name\n"},
      {"info " + image_ + " -oo A=B",
       "rhl: info does not take -oo: the module's library opens the image without open options; "
       "a VRT made with gdal_translate -of VRT -oo NAME=VALUE keeps them\n"},
      {"info --config A B " + image_, "rhl: info does not take --config: rhl takes GDAL's "
                                      "configuration from the environment; NAME=VALUE before rhl "
                                      "on the command line sets one\n"},
      {"render " + image_ + " -o x.tif first second third",
       "rhl: these arguments were not expected: 'first' 'second' 'third'\n"},
      {"render " + image_ + " -o x.tif only", "rhl: this argument was not expected: 'only'\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Outcome r = Rhl(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, c.err + "Run with --help for more information.\n");
    EXPECT_EQ(r.out, "");
  }
  // gdalinfo's -json is rhl's --json.
  Outcome json = Rhl("info -json " + image_);
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out.rfind("{", 0), 0u) << json.out;
}
