// Reading the relative Firefox profiles out of profiles.ini.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "DesktopTestSupport.h"
#include "desktop/Desktop.h"

using namespace desktoptest;

namespace {

struct LoadResult {
    int count = 0;
    std::vector<std::string> profiles;
    bool nullEnded = false;
};

// Loads with the product's list size (32 + the null entry) and frees what it was given.
LoadResult Load(const TempHome& home, const std::string& ini, int max = 32) {
    WriteFile(home.Path() + "/.mozilla/firefox/profiles.ini", ini);
    std::vector<char*> list(static_cast<size_t>(max) + 1, nullptr);
    LoadResult result;
    result.count = Load_FireFoxProfileDir(list.data(), max);
    size_t i = 0;
    for (; i < list.size() && list[i] != nullptr; ++i) {
        result.profiles.emplace_back(list[i]);
        std::free(list[i]);
    }
    result.nullEnded = i < list.size();
    return result;
}

}  // namespace

TEST(ProfilesIni, Load_TypicalFile_TakesRelativeProfilesInFileOrder) {
    TempHome home;
    auto r = Load(home,
                  "[Install4F96D1932A9F858E]\nDefault=abcd.default-release\nLocked=1\n\n"
                  "[Profile1]\nName=default\nIsRelative=1\nPath=wxyz.default\nDefault=1\n\n"
                  "[Profile0]\nName=default-release\nPath=abcd.default-release\nIsRelative=1\n\n"
                  "[General]\nStartWithLastProfile=1\nVersion=2\n");

    EXPECT_EQ(2, r.count);
    EXPECT_EQ((std::vector<std::string>{"wxyz.default", "abcd.default-release"}), r.profiles);
}

TEST(ProfilesIni, Load_NoFile_ReturnsMinusOne) {
    TempHome home;
    std::vector<char*> list(33, nullptr);
    EXPECT_EQ(-1, Load_FireFoxProfileDir(list.data(), 32));
    EXPECT_EQ(nullptr, list[0]);
}

TEST(ProfilesIni, Load_AbsoluteOrIncompleteSections_NotTaken) {
    TempHome home;
    auto r = Load(home,
                  "[Profile0]\nIsRelative=0\nPath=/srv/profiles/abs\n"
                  "[Profile1]\nIsRelative=1\nPath=\n"      // empty path: no hit
                  "[Profile2]\nPath=rel2\nIsRelative=1\n"  // taken
                  "[Profile3]\nIsRelative=1\n"             // no path
                  "[Profile4]\nPath=rel4\n");  // hit from Profile3 does not carry over a header

    EXPECT_EQ((std::vector<std::string>{"rel2"}), r.profiles);
    EXPECT_EQ(1, r.count);
}

TEST(ProfilesIni, Load_PathWithBlankOrCrLf_TakesTextBeforeWhiteSpace) {
    TempHome home;
    auto r = Load(home,
                  "[Profile0]\r\nIsRelative=1\r\nPath=my "
                  "profile\r\n[Profile1]\r\nPath=crlf.default\r\nIsRelative=1\r\n");

    EXPECT_EQ((std::vector<std::string>{"my", "crlf.default"}), r.profiles);
}

TEST(ProfilesIni, Load_HitInOtherSection_CarriesOverUntilNextProfileHeader) {
    TempHome home;
    auto r = Load(
        home,
        "[Profile0]\nIsRelative=1\n[Install1234]\nPath=carried\n"  // two hits across sections
        "[Profile1]\nIsRelative=1\n[Profile-1]\nPath=past-negative\n");  // a negative number resets nothing

    EXPECT_EQ((std::vector<std::string>{"carried", "past-negative"}), r.profiles);
}

TEST(ProfilesIni, Load_FortyProfiles_StopsAtThirtyTwoWithNullEnd) {
    TempHome home;
    std::string ini;
    for (int i = 0; i < 40; ++i)
        ini +=
            "[Profile" + std::to_string(i) + "]\nIsRelative=1\nPath=p" + std::to_string(i) + "\n";

    auto r = Load(home, ini);

    ASSERT_EQ(32, r.count);
    ASSERT_EQ(32u, r.profiles.size());
    EXPECT_EQ("p0", r.profiles.front());
    EXPECT_EQ("p31", r.profiles.back());
    EXPECT_TRUE(r.nullEnded);
}
