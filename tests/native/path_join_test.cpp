// How a folder and a file name are joined within a fixed capacity.

#include <gtest/gtest.h>

#include <string>

#include "flasher/path_join.h"

namespace {

template <std::size_t Capacity>
std::u16string Join(const std::u16string& folder, const char16_t* name, bool* fits) {
  char16_t out[Capacity];
  *fits = JoinFolderAndName(folder.data(), folder.size(), name, out);
  return *fits ? std::u16string(out) : std::u16string();
}

TEST(JoinFolderAndName, AddsOneSeparatorOnly) {
  bool fits = false;
  EXPECT_EQ(Join<64>(u"C:\\Tools", u"WinPhlash.exe", &fits), u"C:\\Tools\\WinPhlash.exe");
  EXPECT_EQ(Join<64>(u"C:\\", u"WinPhlash.exe", &fits), u"C:\\WinPhlash.exe");
  EXPECT_EQ(Join<64>(u"C:/Tools/", u"WinPhlash.exe", &fits), u"C:/Tools/WinPhlash.exe");
}

TEST(JoinFolderAndName, APathThatDoesNotFitIsNoMatch) {
  // "AB" + "\" + "x.exe" is 8 units; with its terminator it needs 9.
  bool fits = false;
  EXPECT_EQ(Join<9>(u"AB", u"x.exe", &fits), u"AB\\x.exe");
  EXPECT_TRUE(fits);
  Join<8>(u"AB", u"x.exe", &fits);
  EXPECT_FALSE(fits);
  Join<3>(u"AB", u"x.exe", &fits);
  EXPECT_FALSE(fits) << "the folder alone fills it";
  // Where Windows' MAX_PATH of 260 ends: a folder of 246 units and "\WinPhlash.exe" make 260.
  Join<260>(std::u16string(246, u'a'), u"WinPhlash.exe", &fits);
  EXPECT_FALSE(fits);
  Join<260>(std::u16string(245, u'a'), u"WinPhlash.exe", &fits);
  EXPECT_TRUE(fits);
}

}  // namespace
