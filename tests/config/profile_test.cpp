#include <gtest/gtest.h>

#include "config/profile.h"

namespace kestavo::config {
namespace {

TEST(Profile, FindsKeysRegardlessOfCaseAndLineEnds) {
    const Profile profile = Profile::Parse("; a comment\r\n"
                                           "top=outside any section\r\n"
                                           "[Other]\r\n"
                                           "SocketNo=1\r\n"
                                           "[velMORA]\r\n"
                                           "  socketno =  5000  \r\n"
                                           "; SocketNo=2\r\n"
                                           "Name=a=b\r\n");
    EXPECT_EQ(profile.Find("Velmora", "SocketNo"), "5000");
    EXPECT_EQ(profile.Find("VELMORA", "name"), "a=b");
    EXPECT_EQ(profile.Find("Velmora", "top"), std::nullopt);
    EXPECT_EQ(profile.Find("Missing", "SocketNo"), std::nullopt);
}

TEST(Profile, OnlyTheFirstSectionOfANameCounts) {
    const Profile profile = Profile::Parse("[A]\nx=1\n[B]\n[a]\nx=2\ny=3\n");
    EXPECT_EQ(profile.Find("A", "x"), "1");
    EXPECT_EQ(profile.Find("A", "y"), std::nullopt);
}

TEST(Profile, WriteReplacesAddsAndAppendsKeepingEverythingElse) {
    Profile profile = Profile::Parse("; keep me\n"
                                     "[First]\n"
                                     "a=1\n"
                                     "\n"
                                     "[Second]\n"
                                     "b=2\n");
    profile.Write("second", "B", "20");
    profile.Write("First", "c", "3");
    profile.Write("Third", "d", "4");
    EXPECT_EQ(profile.Text(), "; keep me\n"
                              "[First]\n"
                              "a=1\n"
                              "c=3\n"
                              "\n"
                              "[Second]\n"
                              "B=20\n"
                              "[Third]\n"
                              "d=4\n");
}

TEST(Profile, IntegersAreWholeNumbersThatFitOrTheDefault) {
    const Profile profile = Profile::Parse("[S]\n"
                                           "plain=9001\n"
                                           "negative=-7\n"
                                           "plus=+12\n"
                                           "spaced=  42\t\n"
                                           "empty=\n"
                                           "word=port\n"
                                           "trailing=12x\n"
                                           "huge=99999999999\n"
                                           "signs=+-3\n"
                                           "lowest=-2147483648\n");
    EXPECT_EQ(GetProfileInt(profile, "S", "plain", 1), 9001);
    EXPECT_EQ(GetProfileInt(profile, "S", "negative", 1), -7);
    EXPECT_EQ(GetProfileInt(profile, "S", "plus", 1), 12);
    EXPECT_EQ(GetProfileInt(profile, "S", "spaced", 1), 42);
    EXPECT_EQ(GetProfileInt(profile, "S", "lowest", 1), INT32_MIN);
    for (const char* key : {"empty", "word", "trailing", "huge", "signs", "missing"}) {
        EXPECT_EQ(GetProfileInt(profile, "S", key, 77), 77) << key;
    }
}

TEST(Profile, StringsAreCutToTheBufferAndDefaultOnlyWhenMissing) {
    const Profile profile = Profile::Parse("[S]\nname=abcdef\nempty=\n");
    EXPECT_EQ(GetProfileString(profile, "S", "name", "x", 4), "abc");
    EXPECT_EQ(GetProfileString(profile, "S", "name", "x", 100), "abcdef");
    EXPECT_EQ(GetProfileString(profile, "S", "empty", "x", 100), "");
    EXPECT_EQ(GetProfileString(profile, "S", "missing", "default", 100), "default");
    EXPECT_EQ(GetProfileString(profile, "S", "missing", "default", 3), "de");
}

} // namespace
} // namespace kestavo::config
