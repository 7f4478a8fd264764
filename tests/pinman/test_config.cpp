// SPDX-License-Identifier: MIT
// Tests of the configuration file read from beside this test program, as the program reads
// its own, and of the module folder that start-up changes to.
#include <unistd.h>

#include <climits>
#include <cstring>

#include "cModules.h"
#include "pinman_internal.h"
#include "testkit.h"

namespace fs = std::filesystem;
using support::write_file;

namespace {

std::string own_path() {
    char sz[PINMAN_PATH_SIZE] = {0};
    GetCurrentModulePath(sz, PINMAN_PATH_SIZE - 1);
    return sz;
}

class ConfigFile : public testing::Test {
protected:
    void SetUp() override {
        support::reset_settings();
        conf_ = own_path() + ".conf";
        fs::remove(conf_);
    }
    void TearDown() override { fs::remove(conf_); }

    // Reads `content` as the configuration file; returns what went to standard error.
    std::string read(const std::string& content) {
        write_file(conf_, content);
        return read_without_file();
    }
    std::string read_without_file() {
        testing::internal::CaptureStderr();
        readConfig();
        return testing::internal::GetCapturedStderr();
    }
    std::string conf_;
};

}  // namespace

TEST_F(ConfigFile, NoFileKeepsTheDefaults) {
    EXPECT_EQ(read_without_file(), "Conf: " + conf_ + "\n");
    EXPECT_STREQ(g_szP11Lib, "");
    EXPECT_EQ(g_showChangePin, 1);
    EXPECT_EQ(g_showUnblockPin, 1);
    EXPECT_EQ(g_showChangePuk, 1);
    EXPECT_EQ(g_checkExpire, -1);
}

TEST_F(ConfigFile, EveryKeyAndTheDiagnosticLine) {
    const std::string err = read(
        "# a comment line\n"
        "pkcs11=libcard.so\n"
        "showpin=false\n"
        "showunblock=false\n"
        "showpuk=false\n"
        "checkexpire=600\n");
    EXPECT_EQ(err, "Conf: " + conf_ + "\ncheckExpire: '600'\n");
    EXPECT_STREQ(g_szP11Lib, "libcard.so");
    EXPECT_EQ(g_showChangePin, 0);
    EXPECT_EQ(g_showUnblockPin, 0);
    EXPECT_EQ(g_showChangePuk, 0);
    EXPECT_EQ(g_checkExpire, 600);
}

TEST_F(ConfigFile, KeysMustStartTheLineAndTouchTheEqualsSign) {
    read("showpin= false\n");
    EXPECT_EQ(g_showChangePin, 0) << "blanks after '=' are skipped";
    support::reset_settings();
    read(" showpin=false\nshowpin =false\nShowpin=false\n#showpin=false\n");
    EXPECT_EQ(g_showChangePin, 1);
}

TEST_F(ConfigFile, OnlyTheExactWordFalseHidesAPage) {
    for (const char* word : {"FALSE", "False", "no", "0", "off", "falsely", "true"}) {
        support::reset_settings();
        read(std::string("showunblock=") + word + "\n");
        EXPECT_EQ(g_showUnblockPin, 1) << word;
    }
    read("showpuk=false trailing words\n");
    EXPECT_EQ(g_showChangePuk, 0) << "the word ends at the first blank";
}

TEST_F(ConfigFile, WordValuesAreOneWordOfAtMost255Characters) {
    read("pkcs11=lib card.so\n");
    EXPECT_STREQ(g_szP11Lib, "lib");
    const std::string long_name(300, 'a');
    read("pkcs11=" + long_name + "\n");
    EXPECT_EQ(std::string(g_szP11Lib), long_name.substr(0, 255));
}

TEST_F(ConfigFile, TheLastLineThatYieldsAValueWins) {
    read("pkcs11=first.so\npkcs11=second.so\npkcs11=   \npkcs11=\n");
    EXPECT_STREQ(g_szP11Lib, "second.so") << "lines without a value are ignored";
    read("showpin=false\nshowpin=yes\n");
    EXPECT_EQ(g_showChangePin, 1) << "a later word shows the page again";
}

TEST_F(ConfigFile, CarriageReturnLineEndsReadLikeLineFeeds) {
    read("pkcs11=libcard.so\r\nshowpin=false\r\ncheckexpire=90\r\n");
    EXPECT_STREQ(g_szP11Lib, "libcard.so");
    EXPECT_EQ(g_showChangePin, 0);
    EXPECT_EQ(g_checkExpire, 90);
}

TEST_F(ConfigFile, CheckExpireNumbers) {
    std::string err = read("checkexpire=abc\ncheckexpire=\n");
    EXPECT_EQ(g_checkExpire, -1);
    EXPECT_EQ(err.find("checkExpire"), std::string::npos);
    err = read("checkexpire=600seconds\n");
    EXPECT_EQ(g_checkExpire, 600);
    EXPECT_NE(err.find("checkExpire: '600'\n"), std::string::npos);
    read("checkexpire=-5\n");
    EXPECT_EQ(g_checkExpire, -5);
    read("checkexpire= +42\n");
    EXPECT_EQ(g_checkExpire, 42);
    // Beyond the int range: the nearest int, and the line says which.
    const std::pair<const char*, int> clamped[] = {{"99999999999", INT_MAX},
                                                   {"2147483648", INT_MAX},
                                                   {"2147483647", INT_MAX},
                                                   {"-2147483649", INT_MIN},
                                                   {"-99999999999999999999999", INT_MIN}};
    for (const auto& [text, value] : clamped) {
        err = read(std::string("checkexpire=") + text + "\n");
        EXPECT_EQ(g_checkExpire, value) << text;
        EXPECT_NE(err.find("checkExpire: '" + std::to_string(value) + "'\n"), std::string::npos)
            << err;
    }
}

TEST_F(ConfigFile, LongLinesArriveInPieces) {
    // fgets hands over 1022 characters at a time: the rest is a line of its own.
    read(std::string(1022, 'x') + "showpin=false\n" + std::string(1021, 'y') + "showpuk=false\n");
    EXPECT_EQ(g_showChangePin, 0);
    EXPECT_EQ(g_showChangePuk, 1) << "a key cut across two pieces is no key";
}

TEST(ModuleFolder, StartUpChangesToTheProgramsFolder) {
    const std::string own = own_path();
    const std::string folder = own.substr(0, own.rfind('/'));
    const fs::path before = fs::current_path();
    fs::current_path("/");
    testing::internal::CaptureStderr();
    init_module_path();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "CHDIR to: '" + folder + "'\n");
    EXPECT_EQ(std::string(s_szModulePath), folder);
    EXPECT_EQ(fs::current_path(), fs::path(folder));
    fs::current_path(before);
}

TEST(ModuleFolder, SeparatorsFromTheEnd) {
    char a[] = "C:\\cards\\pinman";
    EXPECT_EQ(cut_at_last_separator(a), 1);
    EXPECT_STREQ(a, "C:\\cards");
    char b[] = "/opt/app/dir\\x/prog";
    EXPECT_EQ(cut_at_last_separator(b), 1);
    EXPECT_STREQ(b, "/opt/app/dir\\x");
    char c[] = "/prog";
    EXPECT_EQ(cut_at_last_separator(c), 1);
    EXPECT_STREQ(c, "") << "a program in the root folder has an empty folder name";
    char d[] = "prog";
    EXPECT_EQ(cut_at_last_separator(d), 0);
    EXPECT_STREQ(d, "prog");
}

TEST(Texts, ACutTextEndsOnAWholeCharacter) {
    char a[] = "ab\xc3";  // the first byte of a two-byte character
    drop_partial_utf8(a);
    EXPECT_STREQ(a, "ab");
    char b[] = "ab\xe2\x82";  // two bytes of a three-byte character
    drop_partial_utf8(b);
    EXPECT_STREQ(b, "ab");
    char c[] = "ab\xe2\x82\xac";  // a whole character stays
    drop_partial_utf8(c);
    EXPECT_STREQ(c, "ab\xe2\x82\xac");
    char d[] = "plain";
    drop_partial_utf8(d);
    EXPECT_STREQ(d, "plain");
    char e[] = "\x82\x82";  // no first byte at all: nothing to judge by
    drop_partial_utf8(e);
    EXPECT_STREQ(e, "\x82\x82");
}

TEST(Paths, BoundedAppendRefusesWhatDoesNotFit) {
    char buffer[8] = "abc";
    EXPECT_EQ(bounded_append(buffer, sizeof buffer, "defg"), 1);
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_EQ(bounded_append(buffer, sizeof buffer, "h"), 0);
    EXPECT_STREQ(buffer, "abcdefg") << "nothing cut, nothing changed";

    char path[PINMAN_PATH_SIZE];
    ASSERT_EQ(module_path_with_suffix(path, ".conf"), 1);
    EXPECT_EQ(std::string(path), own_path() + ".conf");
    std::string too_long(PINMAN_PATH_SIZE, 'x');
    testing::internal::CaptureStderr();
    EXPECT_EQ(module_path_with_suffix(path, too_long.c_str()), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("refused"), std::string::npos);
    EXPECT_STREQ(path, "") << "a path that does not fit is never used cut short";
}
