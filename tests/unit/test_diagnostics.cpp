#include <string.h>

#include "diagnostics/diagnostics.h"
#include "platform/platform.h"
#include "support.h"

using Diagnostics = ModuleTest;

TEST_F(Diagnostics, ErrorBoxesShowArgumentsVerbatimUnderError) {
  ReportError("Error opening view into ECW file: '%s' (%s)", "C:\\maps\\50%s%d.ecw", "100% bad");
  ShowErrorBox("ready text with %s and %d");
  EXPECT_EQ(boxes(), (Boxes{ErrorBox("Error opening view into ECW file: 'C:\\maps\\50%s%d.ecw' "
                                     "(100% bad)"),
                            ErrorBox("ready text with %s and %d")}));
}

TEST_F(Diagnostics, ErrorBoxTextIsCutTo1023Characters) {
  std::string longName(3000, 'x');
  ReportError("'%s'", longName.c_str());
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_EQ(boxes()[0].text, "'" + std::string(1022, 'x'));
}

TEST_F(Diagnostics, LastMessageKeepsItsFirst1023CharactersAndHandsBackTheResult) {
  EXPECT_EQ(SetLastMessage(1, "%s", "short %d"), 1);
  EXPECT_STREQ(GetLastMessage(), "short %d");
  EXPECT_EQ(SetLastMessage(0, "%s", "other"), 0);
  EXPECT_STREQ(GetLastMessage(), "other");

  std::string longText(5000, 'a');
  longText[1022] = 'Z';
  longText[1023] = 'Y';
  EXPECT_EQ(SetLastMessage(-7, "%s", longText.c_str()), -7);
  EXPECT_EQ(strlen(GetLastMessage()), 1023u);
  EXPECT_EQ(GetLastMessage()[1022], 'Z');
  EXPECT_TRUE(boxes().empty()) << "storing a message shows nothing";
}

TEST_F(Diagnostics, SystemErrorTextIsThePlatformsTextForTheLastError) {
  PlatFailNext(PLAT_OP_OPEN, 0, ENOENT);
  ASSERT_EQ(PlatOpenRead("anything"), PLAT_NO_FILE);
  EXPECT_EQ(SystemErrorText(), ErrorText(ENOENT));
  EXPECT_FALSE(std::string(SystemErrorText()).empty());
}

TEST_F(Diagnostics, AssertionBoxNamesExpressionSourceAndLine) {
  AssertFailed("pRaster!=NULL", "lasterr", 50);
  EXPECT_EQ(boxes(), (Boxes{{"RXAssert failed", "RXAssert: pRaster!=NULL, lasterr, 50"}}));
}
