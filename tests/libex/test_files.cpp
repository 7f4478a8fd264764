// SPDX-License-Identifier: MIT
// Tests of the file checks on real files: which files others may have written, through
// modes, owners, folders and symbolic links.
#include "cFiles.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr uid_t kSomeoneElse = 65534;

class TrustedFiles : public testing::Test {
public:  // the cases' makers below use them
    void SetUp() override {
        dir_ = support::make_temp_dir();  // mode 0700, as every test folder
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override { support::remove_tree(dir_); }

    // A folder `name` of mode `mode` below the test's folder.
    std::string folder(const std::string& name, mode_t mode) {
        const std::string path = dir_ + "/" + name;
        fs::create_directories(path);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }
    // A file of mode `mode` at `path`.
    static std::string file(const std::string& path, mode_t mode) {
        EXPECT_TRUE(support::write_file(path, "pkcs11=libcard.so\n"));
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }
    std::string dir_;
};

}  // namespace

TEST_F(TrustedFiles, ModesOwnersFoldersAndLinks) {
    struct Case {
        const char* name;
        bool bNeedsRoot;  // files of another owner can be made by root only
        // Makes what the case is about below the folder `t`; returns the name to check.
        std::string (*make)(TrustedFiles& t);
        int result;
        const char* why;  // a part of the reason given, for a refusal
    };
    const Case cases[] = {
        {"own file 0644 in a 0700 folder", false,
         [](TrustedFiles& t) { return file(t.folder("a", 0700) + "/f", 0644); }, C_FILE_TRUSTED,
         ""},
        {"group-writable file", false,
         [](TrustedFiles& t) { return file(t.folder("a", 0700) + "/f", 0664); }, C_FILE_REFUSED,
         "it is writable by its group or by others"},
        {"world-writable file", false,
         [](TrustedFiles& t) { return file(t.folder("a", 0700) + "/f", 0646); }, C_FILE_REFUSED,
         "it is writable by its group or by others"},
        {"another user's file", true,
         [](TrustedFiles& t) {
             const std::string f = file(t.folder("a", 0700) + "/f", 0644);
             EXPECT_EQ(chown(f.c_str(), kSomeoneElse, kSomeoneElse), 0);
             return f;
         },
         C_FILE_REFUSED, "it belongs to user 65534, neither root nor the user running"},
        {"world-writable folder", false,
         [](TrustedFiles& t) { return file(t.folder("a", 0777) + "/f", 0644); }, C_FILE_REFUSED,
         "/a' is writable by others and not sticky"},
        {"group-writable folder", false,
         [](TrustedFiles& t) { return file(t.folder("a", 0770) + "/f", 0644); }, C_FILE_REFUSED,
         "/a' is writable by others and not sticky"},
        {"world-writable sticky folder, as /tmp", false,
         [](TrustedFiles& t) { return file(t.folder("a", 01777) + "/f", 0644); }, C_FILE_TRUSTED,
         ""},
        {"another user's folder", true,
         [](TrustedFiles& t) {
             const std::string a = t.folder("a", 0755);
             EXPECT_EQ(chown(a.c_str(), kSomeoneElse, kSomeoneElse), 0);
             return file(a + "/f", 0644);
         },
         C_FILE_REFUSED, "/a' belongs to user 65534, neither root nor"},
        {"link to a file, both folders closed (the package's configuration)", false,
         [](TrustedFiles& t) {
             const std::string etc = file(t.folder("etc", 0755) + "/f.conf", 0644);
             fs::create_symlink(etc, t.folder("lib", 0755) + "/f.conf");
             return t.dir_ + "/lib/f.conf";
         },
         C_FILE_TRUSTED, ""},
        {"relative links in a chain", false,
         [](TrustedFiles& t) {
             file(t.folder("etc", 0755) + "/f.conf", 0644);
             fs::create_symlink("../etc/f.conf", t.folder("lib", 0755) + "/middle");
             fs::create_symlink("middle", t.dir_ + "/lib/f.conf");
             return t.dir_ + "/lib/f.conf";
         },
         C_FILE_TRUSTED, ""},
        {"link to a file in a folder others may write", false,
         [](TrustedFiles& t) {
             const std::string open = file(t.folder("open", 0777) + "/f.conf", 0644);
             fs::create_symlink(open, t.folder("lib", 0755) + "/f.conf");
             return t.dir_ + "/lib/f.conf";
         },
         C_FILE_REFUSED, "/open' is writable by others and not sticky"},
        {"link in a folder others may write", false,
         [](TrustedFiles& t) {
             const std::string etc = file(t.folder("etc", 0755) + "/f.conf", 0644);
             fs::create_symlink(etc, t.folder("open", 0777) + "/f.conf");
             return t.dir_ + "/open/f.conf";
         },
         C_FILE_REFUSED, "/open' is writable by others and not sticky"},
        {"link that leads nowhere", false,
         [](TrustedFiles& t) {
             fs::create_symlink(t.dir_ + "/absent", t.folder("a", 0755) + "/f");
             return t.dir_ + "/a/f";
         },
         C_FILE_MISSING, ""},
        {"nothing at the name", false, [](TrustedFiles& t) { return t.dir_ + "/absent/f"; },
         C_FILE_MISSING, ""},
    };
    bool bSkipped = false;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.bNeedsRoot && geteuid() != 0) {
            bSkipped = true;
            continue;
        }
        TearDown();
        fs::create_directory(dir_);
        ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
        const std::string path = c.make(*this);
        char szWhy[256] = {'x', 0};
        struct stat st {};
        EXPECT_EQ(cCheckTrusted(path.c_str(), &st, szWhy, sizeof szWhy), c.result) << szWhy;
        if (c.result == C_FILE_REFUSED) {
            EXPECT_NE(std::string(szWhy).find(c.why), std::string::npos) << szWhy;
        } else {
            EXPECT_STREQ(szWhy, "") << "no reason without a refusal";
        }
        int result = 99;
        const int fd = cOpenTrusted(path.c_str(), &result, szWhy, sizeof szWhy);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(fd >= 0, c.result == C_FILE_TRUSTED);
        if (fd >= 0) {
            struct stat opened {};
            EXPECT_EQ(fstat(fd, &opened), 0);
            EXPECT_EQ(opened.st_ino, st.st_ino) << "the file checked is the file opened";
            close(fd);
        }
    }
    if (bSkipped) {
        GTEST_SKIP() << "not root: the files and folders of another owner were not tried";
    }
}
