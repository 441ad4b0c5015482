#include <errno.h>
#include <string.h>

#include "diagnostics/diagnostics.h"
#include "linkfile/linkfile.h"
#include "platform/platform.h"
#include "support.h"

using LinkFile = ModuleTest;

TEST(Names, ExtensionsMatchInAnyLetterCaseAtTheEndOnly) {
  for (const char *name : {"a.ecw", "A.ECW", "map.Ecw", ".ECW", "dir.url/x.eCW"})
    EXPECT_EQ(IsEcwName(name), 1) << name;
  for (const char *name : {"a.ecw ", "aecw", "ecw", "", "a.ecw.bak", "a.url"})
    EXPECT_EQ(IsEcwName(name), 0) << name;
  for (const char *name : {"a.url", "B.URL", "c.uRl", ".url"}) EXPECT_EQ(IsLinkName(name), 1) << name;
  EXPECT_EQ(IsLinkName("a.ecw"), 0);
  EXPECT_EQ(HasExtension("abc", ""), 0);
  EXPECT_EQ(HasExtension(nullptr, ".ECW"), 0);
}

TEST(Names, CompareNoCaseFoldsOnlyAToZAndComparesUnsigned) {
  EXPECT_EQ(CompareNoCase("ABC", "abc"), 0);
  EXPECT_EQ(CompareNoCase("abc", "abd"), -1);
  EXPECT_EQ(CompareNoCase("abd", "ABC"), 1);
  EXPECT_EQ(CompareNoCase("ab", "abc"), -1);
  EXPECT_EQ(CompareNoCase("\xC4", "\xE4"), -1) << "bytes above 0x7F are not folded";
  EXPECT_EQ(CompareNoCase("\x80", "a"), 1) << "bytes compare as unsigned";
  EXPECT_EQ(CompareNoCase("[", "a"), -1) << "'[' is not a letter";
  EXPECT_EQ(CompareNoCase(nullptr, ""), 0);
}

TEST(Names, TrimKeepsTheFirstCharacterAndLeadingSpace) {
  char a[] = "  name.ecw \t\r\n\v\f";
  TrimTrailingSpace(a);
  EXPECT_STREQ(a, "  name.ecw");
  char b[] = " ";
  TrimTrailingSpace(b);
  EXPECT_STREQ(b, " ");
  char c[] = "";
  TrimTrailingSpace(c);
  EXPECT_STREQ(c, "");
  char d[] = "a\nb \n";
  TrimTrailingSpace(d);
  EXPECT_STREQ(d, "a\nb");
}

TEST_F(LinkFile, AccumulatorJoinsTextsAndZeroFillsGrowth) {
  TextAccumulator acc = {nullptr, 0, 0};
  EXPECT_EQ(AppendText(&acc, nullptr), 1);
  EXPECT_EQ(acc.text, nullptr);
  EXPECT_EQ(AppendText(&acc, "abc"), 1);
  EXPECT_EQ(acc.capacity, 4u);
  EXPECT_EQ(AppendText(&acc, "de"), 1);
  EXPECT_STREQ(acc.text, "abcde");
  EXPECT_EQ(acc.capacity, 3u + 2u + 2u);
  EXPECT_EQ(acc.text[6], '\0');
  PlatFailNext(PLAT_OP_ALLOC, 0, ENOMEM);
  EXPECT_EQ(AppendText(&acc, "fg"), 0);
  EXPECT_STREQ(acc.text, "abcde") << "a failed growth keeps the text";
  ReleaseText(&acc);
  EXPECT_EQ(acc.text, nullptr);
}

TEST_F(LinkFile, ReadsTheNameAndTrimsOnlyTrailingSpace) {
  struct Case {
    const char *content;
    const char *name;
  } cases[] = {
      {"C:\\images\\a.ecw\r\n", "C:\\images\\a.ecw"},
      {"  b.ecw", "  b.ecw"},
      {" ", " "},
      {"first\nsecond\n", "first\nsecond"},
      {"http://host/img.ecw?x=%s", "http://host/img.ecw?x=%s"},
  };
  for (const Case &c : cases) {
    std::string path = WriteFile("link.url", c.content);
    char out[kNameSize];
    memset(out, 'q', sizeof out);
    EXPECT_EQ(ReadUrlFromFile(path.c_str(), out), 0) << GetLastMessage();
    EXPECT_STREQ(out, c.name);
  }
  EXPECT_TRUE(boxes().empty());
}

TEST_F(LinkFile, LongFileIsReadInChunksAndJoinedWithoutGaps) {
  char out[kNameSize] = {};
  // A name of exactly 1023 characters after trimming fits, split over chunks.
  std::string name(1023, 'n');
  name[0] = 'A';
  name[1022] = 'Z';
  std::string fits = name + std::string(5000, ' ') + "\r\n";
  std::string path = WriteFile("fits.url", fits);
  EXPECT_EQ(ReadUrlFromFile(path.c_str(), out), 0) << GetLastMessage();
  EXPECT_EQ(std::string(out), name);
}

TEST_F(LinkFile, ZeroByteEndsItsChunksContribution) {
  std::string content = std::string("ab\0cd", 5) + std::string(5119 - 5, 'x') + "tail";
  std::string path = WriteFile("zero-byte.url", content);
  char out[kNameSize] = {};
  EXPECT_EQ(ReadUrlFromFile(path.c_str(), out), 0) << GetLastMessage();
  EXPECT_STREQ(out, "abtail");
}

TEST_F(LinkFile, RefusalsLeaveOutUntouchedAndStoreTheReason) {
  std::string missing = ScratchPath("missing%s.url");
  std::string empty = WriteFile("empty.url", "");
  std::string nul = WriteFile("leading-zero.url", std::string("\0abc", 4));
  std::string tooLong = WriteFile("toolong.url", std::string(1024, 'x') + "\n");
  std::string good = WriteFile("good.url", "name.ecw");

  struct Case {
    std::string link;
    PlatOp fault;
    uint32_t error;
    std::string message;
  } cases[] = {
      {missing, PLAT_OP_NONE, 0,
       "ReadUrlFromFile: url file '" + missing + "' does not exist (" + ErrorText(ENOENT) + ")"},
      {good, PLAT_OP_OPEN, EACCES,
       "ReadUrlFromFile: error opening url file '" + good + "' (" + ErrorText(EACCES) + ")"},
      {good, PLAT_OP_READ, EIO,
       "ReadUrlFromFile: error reading url file '" + good + "' (" + ErrorText(EIO) + ")"},
      {good, PLAT_OP_CLOSE, EIO,
       "ReadUrlFromFile: error closing url file '" + good + "' (" + ErrorText(EIO) + ")"},
      {good, PLAT_OP_ALLOC, ENOMEM,
       "ReadUrlFromFile: not enough memory to read url file '" + good + "'"},
      {empty, PLAT_OP_NONE, 0, "ReadUrlFromFile: url file '" + empty + "' is empty"},
      {nul, PLAT_OP_NONE, 0, "ReadUrlFromFile: url file '" + nul + "' is empty"},
      {tooLong, PLAT_OP_NONE, 0,
       "ReadUrlFromFile: url file '" + tooLong + "' holds a name of 1024 characters; at most "
       "1023 fit"},
  };
  for (const Case &c : cases) {
    PlatFailNext(c.fault, 0, c.error);
    char out[kNameSize];
    memset(out, 'q', sizeof out);
    EXPECT_EQ(ReadUrlFromFile(c.link.c_str(), out), 1) << c.message;
    EXPECT_EQ(std::string(GetLastMessage()), c.message);
    for (char ch : out) ASSERT_EQ(ch, 'q') << "out was written for " << c.message;
  }
  EXPECT_TRUE(boxes().empty()) << "the reader only stores its reasons";
}

TEST_F(LinkFile, LinksInDeepFoldersAreFoundAndRead) {
  // A path of 128 characters and more no longer fits a 128-byte path buffer;
  // 259 is the longest path a Windows program can name without a prefix.
  for (size_t length : {127u, 128u, 129u, 200u, 259u}) {
    std::string link = DeepScratchPath(length, ".url");
    ASSERT_EQ(link.size(), length);
    WriteFileAt(link, "deep.ecw\r\n");
    char out[kNameSize] = {};
    EXPECT_EQ(ReadUrlFromFile(link.c_str(), out), 0) << GetLastMessage();
    EXPECT_STREQ(out, "deep.ecw") << length << " characters";

    std::string missing = DeepScratchPath(length, "gone.url");
    EXPECT_EQ(ReadUrlFromFile(missing.c_str(), out), 1);
    EXPECT_EQ(std::string(GetLastMessage()), "ReadUrlFromFile: url file '" + missing +
                                                 "' does not exist (" + ErrorText(ENOENT) + ")");
  }
  // A folder on the way that is missing reads as a missing file, in the same words.
  std::string noFolder = ScratchPath("none") + kSeparator + "link.url";
  char out[kNameSize] = {};
  EXPECT_EQ(ReadUrlFromFile(noFolder.c_str(), out), 1);
  EXPECT_EQ(std::string(GetLastMessage()), "ReadUrlFromFile: url file '" + noFolder +
                                               "' does not exist (" + ErrorText(ENOENT) + ")");
  EXPECT_TRUE(boxes().empty());
}

TEST_F(LinkFile, PlatformBlocksAreZeroFilledAndGrowZeroFilled) {
  unsigned char *block = static_cast<unsigned char *>(PlatAlloc(64));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0);
  memset(block, 0x5A, 64);
  block = static_cast<unsigned char *>(PlatGrow(block, 64, 100000));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 0x5A);
  for (int i = 64; i < 100000; ++i) ASSERT_EQ(block[i], 0) << i;
  PlatFree(block);
  PlatFree(nullptr);
}
