#include <errno.h>
#include <string.h>

#include "diagnostics/diagnostics.h"
#include "platform/platform.h"
#include "support.h"

using fake::Op;

class Open : public ModuleTest {
 protected:
  // Opens and expects failure with `code`, no view state and the fake's
  // views balanced.
  void ExpectOpenFails(const std::string &name, uint32_t code) {
    raster_.clearedWord = 77;
    EXPECT_EQ(HandlerOpen(&raster_, name.c_str(), 0), 0);
    EXPECT_EQ(raster_.clearedWord, 0u);
    EXPECT_EQ(HandlerGetLastError(&raster_), code);
    EXPECT_EQ(raster_.viewState, nullptr);
    EXPECT_EQ(raster_.registration, nullptr);
    EXPECT_EQ(fake::OpenViews(), 0);
  }
};

TEST_F(Open, OpensAnEcwNameAndFillsTheRecord) {
  memset(raster_.name, 'k', sizeof raster_.name);
  raster_.clearedWord = 0xFFFFFFFF;
  raster_.hostReserved528 = 0x1234;
  EXPECT_EQ(HandlerOpen(&raster_, "D:\\maps\\tile.ECW", 99), 1);
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ(raster_.clearedWord, 0u);
  EXPECT_STREQ(raster_.name, "D:\\maps\\tile.ECW");
  EXPECT_EQ(raster_.name[17], 'k') << "bytes after the terminator keep what they held";
  EXPECT_EQ(raster_.width, 100);
  EXPECT_EQ(raster_.height, 50);
  EXPECT_EQ(raster_.valueThree, 3u);
  EXPECT_EQ(raster_.hostReserved528, 0x1234u);
  EXPECT_EQ(HandlerGetLastError(&raster_), 0u);
  ASSERT_NE(raster_.viewState, nullptr);
  EXPECT_EQ(raster_.viewState->marker, 0x0CCCCCCCu);
  EXPECT_EQ(raster_.viewState->view, nullptr);
  EXPECT_EQ(raster_.viewState->currentLine, 0);

  const RegistrationBlock *block = raster_.registration;
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->magic, 0xDCBAu);
  EXPECT_EQ(+block->points[1].worldX, 210.0);
  EXPECT_EQ(+block->points[1].worldY, 750.0);
  EXPECT_EQ(+block->points[2].worldX, 210.0);
  EXPECT_EQ(+block->points[2].worldY, 900.0);

  // One library open and close, by the name given, with a null third argument.
  ASSERT_EQ(fake::Calls().size(), 3u);
  EXPECT_EQ(fake::Calls()[0].op, Op::Open);
  EXPECT_EQ(fake::Calls()[0].name, "D:\\maps\\tile.ECW");
  EXPECT_EQ(fake::Calls()[1].op, Op::GetInfo);
  EXPECT_EQ(fake::Calls()[2].op, Op::Close);
}

TEST_F(Open, LinkFileResolvesToTheNameInside) {
  std::string link = WriteFile("Map.URL", "  other.url\r\n");
  EXPECT_EQ(HandlerProbe(link.c_str()), 1);
  EXPECT_EQ(HandlerOpen(&raster_, link.c_str(), 0), 1);
  EXPECT_STREQ(raster_.name, "  other.url") << "the text goes to the library unchanged";
  auto opens = fake::CallsOf(Op::Open);
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_EQ(opens[0].name, "  other.url");
  EXPECT_EQ(opens[1].name, "  other.url");
  EXPECT_EQ(fake::CallsOf(Op::Close).size(), 2u);
  EXPECT_TRUE(boxes().empty());
}

TEST_F(Open, ProbeAnswersWithoutTouchingAnyRecord) {
  EXPECT_EQ(HandlerProbe("a.ecw"), 1);
  EXPECT_EQ(HandlerProbe("a.tif"), 0);
  EXPECT_EQ(HandlerProbe(nullptr), 0);
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ(fake::CallsOf(Op::Open).size(), 1u);
}

TEST_F(Open, OtherExtensionIsRefusedSilentlyWithCode5) {
  ExpectOpenFails("picture.tif", 5);
  EXPECT_TRUE(boxes().empty());
  EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(Open, LinkFileFailuresShowTheStoredMessage) {
  std::string missing = ScratchPath("gone.url");
  ExpectOpenFails(missing, 5);
  EXPECT_EQ(boxes(), (Boxes{ErrorBox("ReadUrlFromFile: url file '" + missing +
                                     "' does not exist (" + ErrorText(ENOENT) + ")")}));
  EXPECT_EQ(HandlerProbe(missing.c_str()), 0);
  EXPECT_EQ(boxes().size(), 2u) << "the probe shows the same box";
  EXPECT_EQ(boxes()[1], boxes()[0]);

  std::string link = WriteFile("a%s.url", "x.ecw");
  PlatFailNext(PLAT_OP_CLOSE, 0, EBADF);
  ExpectOpenFails(link, 5);
  EXPECT_EQ(boxes().back(), ErrorBox("ReadUrlFromFile: error closing url file '" + link + "' (" +
                                     ErrorText(EBADF) + ")"));
  EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(Open, LibraryOpenFailureShowsOneBoxWithTheSystemText) {
  fake::Fail(Op::Open, ENOENT);
  ExpectOpenFails("missing%d.ecw", 5);
  EXPECT_EQ(boxes(), (Boxes{ErrorBox("Error opening view into ECW file: 'missing%d.ecw' (" +
                                     ErrorText(ENOENT) + ")")}));
  EXPECT_TRUE(fake::CallsOf(Op::Close).empty()) << "a view that never opened is not closed";
}

TEST_F(Open, FileInformationFailureShowsItsBoxAndClosesTheView) {
  fake::Fail(Op::GetInfo);
  ExpectOpenFails("a.ecw", 5);
  EXPECT_EQ(boxes(), (Boxes{ErrorBox("Error getting view into ECW file: 'a.ecw'")}));
  EXPECT_EQ(fake::CallsOf(Op::Close).size(), 1u);

  fake::Fail(Op::GetInfo);
  EXPECT_EQ(HandlerProbe("a.ecw"), 0);
  EXPECT_EQ(boxes().size(), 2u);
}

TEST_F(Open, ViewStateThatCannotBeAllocatedLeavesCode4AndTheOldPointer) {
  ASSERT_EQ(HandlerOpen(&raster_, "a.ecw", 0), 1);
  ViewState *before = raster_.viewState;
  PlatFailNext(PLAT_OP_ALLOC, 0, ENOMEM);
  EXPECT_EQ(HandlerOpen(&raster_, "b.ecw", 0), 0);
  EXPECT_EQ(HandlerGetLastError(&raster_), 4u);
  EXPECT_EQ(raster_.viewState, before);
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ(fake::CallsOf(Op::Open).size(), 1u);
}

TEST_F(Open, NamesThatDoNotFitAreRefusedNeverCut) {
  std::string tooLong = std::string(1024 - 4, 'n') + ".ecw";  // 1024 characters
  EXPECT_EQ(HandlerProbe(tooLong.c_str()), 0);
  ExpectOpenFails(tooLong, 5);
  ASSERT_EQ(boxes().size(), 2u);
  EXPECT_EQ(boxes()[0].text.rfind("Error - ECW file name is too long (1024 characters, at most "
                                  "1023): 'nnn",
                                  0),
            0u);

  // 512 characters fit the resolved-name buffer but not the record's field.
  std::string wide = std::string(512 - 4, 'w') + ".ecw";
  EXPECT_EQ(HandlerProbe(wide.c_str()), 1);
  ExpectOpenFails(wide, 5);
  EXPECT_EQ(boxes().back().text.rfind("Error - ECW file name is too long (512 characters, at "
                                      "most 511)",
                                      0),
            0u);
  std::string fits = std::string(511 - 4, 'f') + ".ecw";
  EXPECT_EQ(HandlerOpen(&raster_, fits.c_str(), 0), 1);
  EXPECT_EQ(std::string(raster_.name), fits);
}

TEST_F(Open, RegistrationBlockThatCannotBeAllocatedFailsTheOpen) {
  PlatFailNext(PLAT_OP_ALLOC, 1, ENOMEM);  // the state is allocated, the block is not
  ExpectOpenFails("a.ecw", 5);
  EXPECT_EQ(boxes(), (Boxes{ErrorBox("Error - unable to malloc registration block for ECW file: "
                                     "'a.ecw'")}));
}

TEST_F(Open, SecondOpenEndsTheFirstStatesView) {
  ASSERT_EQ(HandlerOpen(&raster_, "a.ecw", 0), 1);
  RhlRect rect{0, 0, 10, 10};
  int32_t width = 0;
  ASSERT_EQ(HandlerBeginView(&raster_, &rect, &rect, 1.0, &width), 1);
  EXPECT_EQ(fake::OpenViews(), 1);
  RegistrationBlock *first = raster_.registration;
  ASSERT_EQ(HandlerOpen(&raster_, "b.ecw", 0), 1);
  EXPECT_EQ(fake::OpenViews(), 0) << "the first state's view is closed";
  EXPECT_STREQ(raster_.name, "b.ecw");
  PlatFree(first);  // the host's to keep or drop
}

TEST_F(Open, NullRecordIsReportedNotRead) {
  EXPECT_EQ(HandlerOpen(nullptr, "a.ecw", 0), 0);
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_EQ(boxes()[0].caption, "RXAssert failed");
  EXPECT_EQ(boxes()[0].text.rfind("RXAssert: pRaster!=NULL, open, ", 0), 0u);
}
