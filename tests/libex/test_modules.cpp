// SPDX-License-Identifier: MIT
// Tests of the module locator: live lookups in this process, crafted maps files, and a
// helper program that is renamed and deleted while it runs.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "cModules.h"
#include "cModules_internal.h"
#include "harness.h"

namespace fs = std::filesystem;

namespace {

std::string own_executable() {
    return fs::canonical("/proc/self/exe").string();
}

const int kConstantInData = 7;

std::string write_maps(const fs::path& dir, const std::string& content) {
    const fs::path file = dir / "maps";
    support::write_file(file, content);
    return file.string();
}

std::string take_path(char* heap_copy) {
    std::string s = heap_copy ? heap_copy : "<none>";
    free(heap_copy);
    return s;
}

}  // namespace

TEST(ModulePath, CodeAddressGivesOwnExecutable) {
    char sz[1024];
    memset(sz, 'x', sizeof sz);
    const size_t len = GetCurrentModulePath(sz, 1023);
    EXPECT_EQ(std::string(sz), own_executable());
    EXPECT_EQ(len, own_executable().size());

    // A function of this test program lies in the same executable mapping.
    memset(sz, 'x', sizeof sz);
    EXPECT_EQ(GetModulePathFromAddress(reinterpret_cast<const void*>(&own_executable), sz, 1023),
              len);
    EXPECT_EQ(std::string(sz), own_executable());
}

TEST(ModulePath, NullAddressFailsTheAssertionAndZeroesTheBuffer) {
    char sz[64];
    memset(sz, 'x', sizeof sz);
    testing::internal::CaptureStderr();
    EXPECT_EQ(GetModulePathFromAddress(nullptr, sz, 63), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "** BinReloc (br_locate): assertion symbol != NULL failed\n");
    for (int i = 0; i < 63; ++i)
        ASSERT_EQ(sz[i], 0) << i;
}

TEST(ModulePath, HeapStackAndWritableDataFindNothing) {
    char sz[1024];
    int on_stack = 0;
    std::unique_ptr<int> on_heap(new int(1));
    static int writable = 3;
    EXPECT_EQ(GetModulePathFromAddress(&on_stack, sz, 1023), 0u);
    EXPECT_EQ(GetModulePathFromAddress(on_heap.get(), sz, 1023), 0u);
    EXPECT_EQ(GetModulePathFromAddress(&writable, sz, 1023), 0u);
    EXPECT_EQ(sz[0], 0);
    // Read-only data sits in a mapping that is not executable.
    EXPECT_EQ(GetModulePathFromAddress(&kConstantInData, sz, 1023), 0u);
}

TEST(ModulePath, BufferBoundAndMeasuring) {
    const std::string exe = own_executable();
    const size_t n = exe.size();
    std::string buf(n + 8, 'x');

    EXPECT_EQ(GetCurrentModulePath(nullptr, 0), n) << "a NULL buffer only measures";

    EXPECT_EQ(GetCurrentModulePath(buf.data(), n), n);
    EXPECT_EQ(std::string(buf.c_str()), exe) << "exactly maxChars characters fit";
    EXPECT_EQ(buf[n + 1], 'x') << "nothing written past the terminator";

    buf.assign(n + 8, 'x');
    EXPECT_EQ(GetCurrentModulePath(buf.data(), n - 1), n) << "one more is refused but measured";
    for (size_t i = 0; i < n - 1; ++i)
        ASSERT_EQ(buf[i], 0) << i;
    EXPECT_EQ(buf[n - 1], 'x');
}

TEST(ModulePath, ProcessPathFromProcSelfExe) {
    char sz[1024] = {0};
    const size_t len = GetCurrentProcessPath(sz, sizeof sz);
    ASSERT_NE(len, static_cast<size_t>(-1));
    EXPECT_EQ(std::string(sz, len), fs::read_symlink("/proc/self/exe").string());

    char tiny[4] = {0, 0, 0, 0};
    EXPECT_EQ(GetCurrentProcessPath(tiny, sizeof tiny), 3u);
    EXPECT_EQ(tiny[3], 0) << "the last byte stays free for the terminator";
}

TEST(MapsLine, MatchingRules) {
    const char* good = "7f0000001000-7f0000002000 r-xp 00001000 08:01 42  /usr/lib/a b.so\n";
    const auto at = [](uintptr_t a) { return reinterpret_cast<const void*>(a); };
    EXPECT_STREQ(br_match_maps_line(good, at(0x7f0000001000)), "/usr/lib/a b.so\n");
    EXPECT_STREQ(br_match_maps_line(good, at(0x7f0000001fff)), "/usr/lib/a b.so\n");
    EXPECT_EQ(br_match_maps_line(good, at(0x7f0000002000)), nullptr) << "end is exclusive";
    EXPECT_EQ(br_match_maps_line(good, at(0x7f0000000fff)), nullptr);

    EXPECT_EQ(br_match_maps_line("1000-2000 r--p 0 08:01 42 /x\n", at(0x1800)), nullptr);
    EXPECT_EQ(br_match_maps_line("1000-2000 rwxp 0 08:01 42 /x\n", at(0x1800)), nullptr);
    EXPECT_EQ(br_match_maps_line("1000-2000 r-xs 0 08:01 42 /x\n", at(0x1800)), nullptr);
    EXPECT_EQ(br_match_maps_line("1000-2000 r-xp 0 00:00 0 [vdso]\n", at(0x1800)), nullptr);
    EXPECT_EQ(br_match_maps_line("garbage r-xp /x\n", at(0x1800)), nullptr);
    EXPECT_EQ(br_match_maps_line("", at(0x1800)), nullptr);
}

TEST(MapsLine, PathTidying) {
    char a[] = "/opt/app/prog (deleted)\n";
    br_tidy_path(a);
    EXPECT_STREQ(a, "/opt/app/prog");
    char b[] = "/opt/my app/prog\n";
    br_tidy_path(b);
    EXPECT_STREQ(b, "/opt/my app/prog");
    char c[] = " (deleted)";
    br_tidy_path(c);
    EXPECT_STREQ(c, " (deleted)") << "only a path longer than the marker loses it";
    char d[] = "/x (deleted) (deleted)";
    br_tidy_path(d);
    EXPECT_STREQ(d, "/x (deleted)") << "one marker is removed, not all";
}

TEST(MapsFile, FirstMatchingLineWinsAndMissingFileFindsNothing) {
    support::TempDir dir;
    const std::string maps = write_maps(dir.path(),
                                        "1000-3000 r--p 0 08:01 1 /ro\n"
                                        "1000-3000 r-xp 0 08:01 1 /first dir/one (deleted)\n"
                                        "1000-3000 r-xp 0 08:01 1 /second\n"
                                        "5000-6000 r-xp 0 08:01 1 /last");
    const auto at = [](uintptr_t a) { return reinterpret_cast<const void*>(a); };
    EXPECT_EQ(take_path(br_locate_in(at(0x2000), maps.c_str())), "/first dir/one");
    EXPECT_EQ(take_path(br_locate_in(at(0x5000), maps.c_str())), "/last") << "no final newline";
    EXPECT_EQ(take_path(br_locate_in(at(0x3000), maps.c_str())), "<none>");
    EXPECT_EQ(take_path(br_locate_in(at(0x2000), (dir.path() / "absent").c_str())), "<none>");
}

TEST(ModulePath, DeletedExecutableInFolderWithBlanks) {
    support::TempDir dir;
    const fs::path folder = dir.path() / "folder with blanks";
    fs::create_directories(folder);
    const fs::path copy = folder / "helper copy";
    fs::copy_file(MODPATH_HELPER, copy);

    for (bool delete_it : {false, true}) {
        int to_child[2], from_child[2];
        ASSERT_EQ(pipe(to_child), 0);
        ASSERT_EQ(pipe(from_child), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(to_child[0], 0);
            dup2(from_child[1], 1);
            close(to_child[1]);
            close(from_child[0]);
            execl(copy.c_str(), copy.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(to_child[0]);
        close(from_child[1]);
        // Give the program time to map itself, then remove its file before it looks.
        usleep(100000);
        if (delete_it)
            fs::remove(copy);
        ASSERT_EQ(write(to_child[1], "go\n", 3), 3);
        close(to_child[1]);
        char out[2048] = {0};
        ssize_t got = 0, n;
        while ((n = read(from_child[0], out + got, sizeof out - 1 - got)) > 0)
            got += n;
        close(from_child[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
        const std::string expected = copy.string();
        EXPECT_EQ(std::string(out), std::to_string(expected.size()) + " " + expected + "\n")
            << (delete_it ? "deleted" : "present");
    }
}
