#include "textfile/windows/windows_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using textfile::windows::argument_text_of;
using textfile::windows::to_narrow;
using textfile::windows::to_wide;

TEST(WindowsText, PathsComeBackAsTheExactUtf16TheyWere) {
  const std::wstring names[] = {
      L"C:\\in\\A0502.dat",
      L"C:\\\x30c7\x30fc\x30bf\\\xff21 0502.dat",  // Japanese and full-width letters
      L"\xd83d\xde00.dat",                         // a pair: one character past U+FFFF
      L"lone \xd800 high and \xdfff low",          // surrogates without their partners
      L"\xdbff\xd800",                             // a high one before a high one
      std::wstring(L"nul\0inside", 10),
  };
  for (const std::wstring& name : names) EXPECT_EQ(to_wide(to_narrow(name)), name);
  EXPECT_EQ(to_narrow(L"\x30c7\xd83d\xde00"), "\xe3\x83\x87\xf0\x9f\x98\x80");
  EXPECT_EQ(to_narrow(L"\xd800"), "\xed\xa0\x80");
}

TEST(WindowsText, TheMarkersAreReplacedAsInTheWideText) {
  std::string path = to_narrow(L"\xd801\x30c7 0502\\0502.dat");
  path.replace(path.find("0502"), 4, "1101");
  EXPECT_EQ(to_wide(path + ".txt"), L"\xd801\x30c7 1101\\0502.dat.txt");
}

TEST(WindowsText, BytesThatAreNoUtf8BecomeReplacementCharacters) {
  EXPECT_EQ(to_wide("a\xff!"), L"a\xfffd!");
  EXPECT_EQ(to_wide("\xc0\xaf"), L"\xfffd\xfffd");                      // an overlong "/"
  EXPECT_EQ(to_wide("\xe0\x80\xaf"), L"\xfffd\xfffd\xfffd");            // the same in 3 bytes
  EXPECT_EQ(to_wide("\xf0\x80\x80\xaf"), L"\xfffd\xfffd\xfffd\xfffd");  // and in 4
  EXPECT_EQ(to_wide("\xe3\x83"), L"\xfffd\xfffd");                      // cut short
  EXPECT_EQ(to_wide("\xf4\x90\x80\x80"), L"\xfffd\xfffd\xfffd\xfffd");  // past U+10FFFF
}

TEST(WindowsText, TheArgumentTextFollowsTheProgramNameAndItsBlanks) {
  EXPECT_EQ(argument_text_of(L"zorvant.exe C:\\in\\A.dat"), L"C:\\in\\A.dat");
  EXPECT_EQ(argument_text_of(L"\"C:\\Program Files\\z\\zorvant.exe\"\t  C:\\A.dat"), L"C:\\A.dat");
  // A quoted part anywhere in the name keeps its blanks in the name, as the C runtime reads it.
  EXPECT_EQ(argument_text_of(L"C:\\My\" \"Tools\\zorvant.exe x"), L"x");
  EXPECT_EQ(argument_text_of(L"zorvant.exe"), L"");
  // Nothing after the name's blanks is split, trimmed or unescaped.
  EXPECT_EQ(argument_text_of(L"z.exe C:\\a  b.dat "), L"C:\\a  b.dat ");
  EXPECT_EQ(argument_text_of(L"z.exe a\\\"b"), L"a\\\"b");
}

TEST(WindowsText, OnlyAWholeTextInOnePairOfQuotesIsUnquoted) {
  EXPECT_EQ(argument_text_of(L"z.exe \"C:\\in\\A 0502.dat\""), L"C:\\in\\A 0502.dat");
  EXPECT_EQ(argument_text_of(L"z.exe \"C:\\a.dat\" "), L"\"C:\\a.dat\" ");
  EXPECT_EQ(argument_text_of(L"z.exe \"a\" \"b\""), L"\"a\" \"b\"");
  EXPECT_EQ(argument_text_of(L"z.exe \"a\"b\""), L"\"a\"b\"");
  EXPECT_EQ(argument_text_of(L"z.exe \""), L"\"");
}

}  // namespace
