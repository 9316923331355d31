// The folders that process creation searches for a program named without a folder, and
// how a folder and a file name are joined within a fixed capacity.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flasher/program_search.h"

namespace {

using Places = ProgramSearchPlaces<char16_t>;

// Every folder the search offers, in order.
std::vector<std::u16string> FoldersOf(const Places& places) {
  std::vector<std::u16string> folders;
  VisitSearchFolders(places, [&](const char16_t* folder, std::size_t length) {
    folders.emplace_back(folder, length);
    return false;
  });
  return folders;
}

Places AllPlaces(const char16_t* path_list) {
  return {u"C:\\Tools", u"D:\\Work", u"C:\\Windows\\system32", u"C:\\Windows\\System",
          u"C:\\Windows", path_list};
}

using Folders = std::vector<std::u16string>;

TEST(SearchFolders, FollowProcessCreationsOrder) {
  EXPECT_EQ(FoldersOf(AllPlaces(u"E:\\a;F:\\b")),
            (Folders{u"C:\\Tools", u"D:\\Work", u"C:\\Windows\\system32", u"C:\\Windows\\System",
                     u"C:\\Windows", u"E:\\a", u"F:\\b"}));
}

TEST(SearchFolders, LeaveOutTheCurrentFolderWhenTheSettingSaysSo) {
  Places places = AllPlaces(u"E:\\a");
  places.current_folder = nullptr;
  EXPECT_EQ(FoldersOf(places), (Folders{u"C:\\Tools", u"C:\\Windows\\system32",
                                        u"C:\\Windows\\System", u"C:\\Windows", u"E:\\a"}));
}

TEST(SearchFolders, SplitPathAndPassOverItsEmptyEntries) {
  const Folders fixed = FoldersOf(AllPlaces(nullptr));
  const auto path_part = [&](const char16_t* path_list) {
    const Folders all = FoldersOf(AllPlaces(path_list));
    return Folders(all.begin() + static_cast<std::ptrdiff_t>(fixed.size()), all.end());
  };
  EXPECT_EQ(path_part(u""), Folders{});
  EXPECT_EQ(path_part(u";;"), Folders{});
  EXPECT_EQ(path_part(u";E:\\a;;F:\\b;"), (Folders{u"E:\\a", u"F:\\b"}));
  EXPECT_EQ(path_part(u"E:\\with space\\"), Folders{u"E:\\with space\\"});
  // Quotes are not PATH syntax to process creation: the entry is taken as written.
  EXPECT_EQ(path_part(u"\"E:\\q\""), Folders{u"\"E:\\q\""});
}

// Where the search stops when `holder` holds the program; `visited` gets the folders.
FoundIn SearchFor(const Places& places, const std::u16string& holder, Folders& visited) {
  visited.clear();
  return VisitSearchFolders(places, [&](const char16_t* folder, std::size_t length) {
    visited.emplace_back(folder, length);
    return visited.back() == holder;
  });
}

TEST(SearchFolders, StopAtTheFirstFolderThatHoldsTheProgram) {
  Folders visited;
  EXPECT_EQ(SearchFor(AllPlaces(u"E:\\a;F:\\b"), u"C:\\Windows\\System", visited),
            FoundIn::kElsewhere);
  EXPECT_EQ(visited.back(), u"C:\\Windows\\System");
  EXPECT_EQ(visited.size(), 4u);
  EXPECT_EQ(SearchFor(AllPlaces(u"E:\\a"), u"nowhere", visited), FoundIn::kNowhere);
  EXPECT_EQ(visited.size(), 6u);
}

// Consent is asked only for a program found in the own folder: the place decides, not the
// text, so the same folder named as the current folder or on PATH does not count.
TEST(SearchFolders, TellTheOwnFolderFromEveryOtherPlace) {
  Folders visited;
  EXPECT_EQ(SearchFor(AllPlaces(u"E:\\a"), u"C:\\Tools", visited), FoundIn::kOwnFolder);
  EXPECT_EQ(SearchFor(AllPlaces(u"E:\\a"), u"D:\\Work", visited), FoundIn::kElsewhere);
  EXPECT_EQ(SearchFor(AllPlaces(u"E:\\a"), u"C:\\Windows", visited), FoundIn::kElsewhere);
  EXPECT_EQ(SearchFor(AllPlaces(u"E:\\a"), u"E:\\a", visited), FoundIn::kElsewhere);
  Places own_unread = AllPlaces(u"C:\\Tools");
  own_unread.own_folder = nullptr;
  own_unread.current_folder = u"C:\\Tools";
  EXPECT_EQ(SearchFor(own_unread, u"C:\\Tools", visited), FoundIn::kElsewhere);
  own_unread.current_folder = nullptr;
  EXPECT_EQ(SearchFor(own_unread, u"C:\\Tools", visited), FoundIn::kElsewhere);
}

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
