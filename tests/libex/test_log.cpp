// SPDX-License-Identifier: MIT
// Tests of the trace log on real files, read back with OpenSSL's triple DES.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include "cLog.h"
#include "cLog_internal.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef CLOGCAT_PATH
#error "CLOGCAT_PATH must name the built clogcat tool"
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::string;  // file images and plaintexts

constexpr size_t kHeader = 16;

using support::read_file;
using support::write_file;

Bytes random_bytes(std::mt19937& rng, size_t n) {
    Bytes b(n, '\0');
    for (char& c : b) {
        c = static_cast<char>(rng() & 0xFF);
    }
    return b;
}

// The log's cipher rebuilt from its keys with OpenSSL's triple DES.
class Reference {
public:
    Reference() {
        uint8 k1[8], k2[8], k3[8];
        cLog_cipher_keys(k1, k2, k3, iv_);
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(k1), &ks1_);
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(k2), &ks2_);
        DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(k3), &ks3_);
    }

    // Decrypts `file` from offset `start` (a multiple of 8) to its end: the block at `start`
    // has the initial vector as feedback, every later block the 8 file bytes before it.
    Bytes decrypt(const Bytes& file, size_t start) const {
        Bytes plain;
        DES_cblock feedback;
        memcpy(feedback, iv_, 8);
        for (size_t pos = start; pos < file.size(); pos += 8) {
            DES_cblock keystream;
            DES_ecb3_encrypt(&feedback, &keystream, &ks1_, &ks2_, &ks3_, DES_ENCRYPT);
            const size_t n = std::min<size_t>(8, file.size() - pos);
            for (size_t i = 0; i < n; ++i) {
                plain.push_back(static_cast<char>(file[pos + i] ^ keystream[i]));
            }
            if (n == 8) {
                memcpy(feedback, file.data() + pos, 8);
            }
        }
        return plain;
    }

private:
    uint8 iv_[8];
    // OpenSSL takes the schedules as non-const pointers.
    mutable DES_key_schedule ks1_, ks2_, ks3_;
};

// One record bracket writing `bytes` with cLogPutmem.
void put_record(const Bytes& bytes) {
    cLogOpen();
    cLogPutmem(bytes.data(), static_cast<int>(bytes.size()));
    cLogClose();
}

// A parsed record: its time stamp digits and its text.
struct Record {
    std::string stamp;
    std::string text;
};

// Reads the record "[stamp] text\n" at `pos` of `plain` (a stamp of at least 8 digits, a
// text without line breaks) and moves `pos` past it; false when there is none.
bool parse_record(const Bytes& plain, size_t& pos, Record& rec) {
    if (pos >= plain.size() || plain[pos] != '[') {
        return false;
    }
    const size_t close = plain.find("] ", pos);
    const size_t end = plain.find('\n', pos);
    if (close == Bytes::npos || end == Bytes::npos || close > end) {
        return false;
    }
    const std::string stamp = plain.substr(pos + 1, close - pos - 1);
    if (stamp.size() < 8 || stamp.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    rec.stamp = stamp;
    rec.text = plain.substr(close + 2, end - close - 2);
    pos = end + 1;
    return true;
}

// All records from `pos` to the end of `plain`; anything else fails the test.
std::vector<Record> parse_records(const Bytes& plain, size_t pos) {
    std::vector<Record> out;
    while (pos < plain.size()) {
        Record rec;
        if (!parse_record(plain, pos, rec)) {
            ADD_FAILURE() << "not a record at plaintext offset " << pos << ": "
                          << plain.substr(pos);
            break;
        }
        out.push_back(rec);
    }
    return out;
}

std::vector<std::string> texts(const std::vector<Record>& recs) {
    std::vector<std::string> out;
    for (const Record& rec : recs) {
        out.push_back(rec.text);
    }
    return out;
}

// The records that follow a new file's first record, which ends in three line breaks.
std::vector<Record> records_after_init(const Bytes& plain) {
    const size_t init_end = plain.find("\n\n\n");
    if (init_end == Bytes::npos) {
        ADD_FAILURE() << "no first record in the log";
        return {};
    }
    return parse_records(plain, init_end + 3);
}

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = support::make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        cLog_fail_lock_alloc_for_test(0);
        cEnableLog(1);
        cLog_restart_for_test(dir_.c_str());
    }

    void TearDown() override {
        cLog_fail_lock_alloc_for_test(0);
        cEnableLog(1);
        support::remove_tree(dir_);
    }

    // A new empty directory inside the test's own, and the log restarted into it.
    std::string restart_in_new_dir(const std::string& name) {
        const std::string sub = dir_ + "/" + name;
        fs::create_directory(sub);
        cLog_restart_for_test(sub.c_str());
        return sub;
    }

    std::string log_path() const {
        const char* name = cLog_filename();
        return name != nullptr ? std::string(name) : std::string();
    }

    Bytes image() const { return read_file(log_path()); }

    // The plaintext of the current log file, read in one pass after its header.
    Bytes plaintext() const {
        const Bytes file = image();
        EXPECT_EQ(file.compare(0, 8, "Salted__"), 0);
        return ref_.decrypt(file, kHeader);
    }

    std::vector<Record> records() const { return records_after_init(plaintext()); }

    // The text of the one record that `write` appends.
    template <typename F>
    std::string record_text(F write) {
        const size_t before = records().size();
        write();
        const std::vector<Record> after = records();
        if (after.size() != before + 1) {
            ADD_FAILURE() << "expected exactly one new record, got " << after.size() - before;
            return std::string();
        }
        return after.back().text;
    }

    RunResult run_clogcat(const std::vector<std::string>& args) const {
        const std::string out = dir_ + "/clogcat.out";
        const std::string err = dir_ + "/clogcat.err";
        std::string cmd = CLOGCAT_PATH;
        for (const std::string& a : args) {
            cmd += " '" + a + "'";
        }
        cmd += " >'" + out + "' 2>'" + err + "'";
        const int rc = std::system(cmd.c_str());
        RunResult r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, read_file(out), read_file(err)};
        fs::remove(out);
        fs::remove(err);
        return r;
    }

    std::string dir_;
    Reference ref_;
};

TEST_F(LogTest, NewFileHasHeaderAndFirstRecord) {
    const time_t t0 = time(nullptr);
    ASSERT_EQ(cCanLog(), 1);
    const time_t t1 = time(nullptr);
    const std::string path = log_path();

    // The name: local time of initialisation and the pid in eight upper-case hex digits.
    bool bNameFits = false;
    for (time_t t = t0; t <= t1; ++t) {
        struct tm lt;
        ASSERT_NE(localtime_r(&t, &lt), nullptr);
        char expected[512];
        snprintf(expected, sizeof(expected),
                 "%s/zorvex.%04d-%02d-%02d_%02d.%02d.%02d.pid_%08X.log.bin", dir_.c_str(),
                 lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
                 static_cast<unsigned>(getpid()));
        bNameFits = bNameFits || path == expected;
    }
    EXPECT_TRUE(bNameFits) << path;

    // The clear header and the fixed constants.
    const Bytes file = image();
    uint8 header[16], k1[8], k2[8], k3[8], iv[8];
    cLog_header(header);
    cLog_cipher_keys(k1, k2, k3, iv);
    ASSERT_GE(file.size(), kHeader);
    EXPECT_EQ(file.substr(0, 8), "Salted__");
    EXPECT_EQ(memcmp(file.data(), header, 16), 0);
    EXPECT_NE(memcmp(header + 8, iv, 8), 0);
    EXPECT_NE(memcmp(k1, k2, 8), 0);
    EXPECT_NE(memcmp(k2, k3, 8), 0);
    EXPECT_NE(memcmp(k1, k3, 8), 0);

    // The first record: the greeting, at once the process information, then the date.
    const Bytes plain = ref_.decrypt(file, kHeader);
    EXPECT_EQ(plain.size(), file.size() - kHeader);
    const std::string head =
        "Log file initialized...System: Linux\nPid=" + std::to_string(getpid()) + "\ndate: ";
    ASSERT_EQ(plain.compare(0, head.size(), head), 0) << plain;
    bool bDateFits = false;
    for (time_t t = t0; t <= t1; ++t) {
        char szDate[64];
        ASSERT_NE(ctime_r(&t, szDate), nullptr);
        bDateFits = bDateFits || plain == head + szDate + "\n\n";
    }
    EXPECT_TRUE(bDateFits) << plain;

    // The library's one-pass reader agrees with the reference.
    std::vector<unsigned char> out(file.size());
    ASSERT_EQ(cLog_decrypt_image(reinterpret_cast<const unsigned char*>(file.data()),
                                 static_cast<long>(file.size()), out.data()),
              static_cast<long>(plain.size()));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(plain.size())), plain);

    // An existing file is opened again without a second header or first record.
    EXPECT_EQ(cCanLog(), 1);
    EXPECT_EQ(image(), file);
}

// Existing files of every starting size, with the header (a file cut short) and without it
// (an existing empty file continued, or clean text written first): the same bytes written
// in one opening or split over many give the same file, the bytes already there are kept,
// and clogcat decrypts the whole file in one pass, after the header or from offset 0.
TEST_F(LogTest, EveryStartingSizeReadsBack) {
    std::mt19937 rng(20240611);
    uint8 header[16];
    cLog_header(header);
    const Bytes header_bytes(reinterpret_cast<char*>(header), kHeader);
    const Bytes payload = random_bytes(rng, 45);
    for (size_t n = 0; n <= 40; ++n) {
        for (const bool bHeader : {false, true}) {
            if (bHeader && n < kHeader) {
                continue;
            }
            SCOPED_TRACE("existing size " + std::to_string(n) + (bHeader ? " with" : " without") +
                         " the header");
            restart_in_new_dir("size" + std::to_string(n) + (bHeader ? "h" : ""));
            Bytes existing;
            if (bHeader) {
                existing = header_bytes + random_bytes(rng, n - kHeader);
                cLogTrace_clean("");
                write_file(log_path(), existing);
            } else {
                for (size_t i = 0; i < n; ++i) {
                    existing.push_back(static_cast<char>(' ' + rng() % 95));
                }
                cLogTrace_clean(existing.c_str());
            }
            ASSERT_EQ(image(), existing);

            put_record(payload);
            const Bytes whole = image();
            ASSERT_EQ(whole.size(), n + payload.size());
            EXPECT_EQ(whole.substr(0, n), existing) << "existing bytes changed";
            for (const bool bBytewise : {true, false}) {
                SCOPED_TRACE(bBytewise ? "one byte per opening" : "random pieces");
                write_file(log_path(), existing);
                for (size_t pos = 0; pos < payload.size();) {
                    const size_t len =
                        bBytewise ? 1 : std::min<size_t>(rng() % 12 + 1, payload.size() - pos);
                    put_record(payload.substr(pos, len));
                    pos += len;
                }
                EXPECT_EQ(image(), whole);
            }

            const size_t start = bHeader ? kHeader : 0;
            const Bytes plain = ref_.decrypt(whole, start);
            EXPECT_EQ(plain.substr(n - start), payload);
            const RunResult r = run_clogcat({log_path()});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, plain);
            EXPECT_EQ(r.err, "");
        }
    }
}

// A header-only file continues exactly as a new file does after its header: writing a new
// file's first record into it reproduces that file byte for byte.
TEST_F(LogTest, HeaderOnlyFileContinuesAsANewFile) {
    ASSERT_EQ(cCanLog(), 1);
    const Bytes fresh = image();
    write_file(log_path(), fresh.substr(0, kHeader));
    put_record(ref_.decrypt(fresh, kHeader));
    EXPECT_EQ(image(), fresh);
}

// A description of everything in `dir`: each entry's name, type, mode, owner, link count,
// and its content or link target.
std::string dir_state(const std::string& dir) {
    std::vector<std::string> entries;
    for (const fs::directory_entry& e : fs::directory_iterator(dir)) {
        const std::string path = e.path().string();
        struct stat st;
        std::string entry = e.path().filename().string();
        if (lstat(path.c_str(), &st) != 0) {
            entries.push_back(entry + " gone");
            continue;
        }
        entry += " mode " + std::to_string(st.st_mode) + " uid " + std::to_string(st.st_uid) +
                 " links " + std::to_string(st.st_nlink);
        if (S_ISREG(st.st_mode)) {
            entry += " content " + read_file(path);
        } else if (S_ISLNK(st.st_mode)) {
            entry += " to " + fs::read_symlink(e.path()).string();
        } else if (S_ISDIR(st.st_mode)) {
            entry += fs::is_empty(e.path()) ? " empty" : " not empty";
        }
        entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end());
    std::string out;
    for (const std::string& entry : entries) {
        out += entry + "\n";
    }
    return out;
}

TEST_F(LogTest, WritesOnlyARegularFileOfItsOwn) {
    // A new file is readable by its owner only, whatever the umask would let through, from
    // either writer.
    const mode_t saved_mask = umask(0);
    ASSERT_EQ(cCanLog(), 1);
    struct stat st;
    ASSERT_EQ(stat(log_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    restart_in_new_dir("clean");
    cLogTrace_clean("clear");
    ASSERT_EQ(stat(log_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    umask(saved_mask);

    // Something planted at the log's name beside the file "other": every writer drops its
    // record, and nothing in the directory changes.
    const uid_t kSomeoneElse = 65534;
    struct Plant {
        const char* name;
        bool bNeedsRoot;  // files of another owner can be made by root only
        void (*plant)(const std::string& dir, const std::string& log);
    };
    const Plant plants[] = {
        {"link to a file", false,
         [](const std::string& dir, const std::string& log) {
             fs::create_symlink(dir + "/other", log);
         }},
        {"dangling link", false,
         [](const std::string& dir, const std::string& log) {
             fs::create_symlink(dir + "/absent", log);
         }},
        {"hard link", false,
         [](const std::string& dir, const std::string& log) {
             fs::create_hard_link(dir + "/other", log);
         }},
        {"another owner's file", true,
         [](const std::string&, const std::string& log) {
             write_file(log, "not yours\n");
             ASSERT_EQ(chown(log.c_str(), kSomeoneElse, kSomeoneElse), 0);
             ASSERT_EQ(chmod(log.c_str(), 0666), 0);
         }},
        {"directory", false,
         [](const std::string&, const std::string& log) { fs::create_directory(log); }},
        {"FIFO", false,
         [](const std::string&, const std::string& log) {
             ASSERT_EQ(mkfifo(log.c_str(), 0666), 0);
         }},
    };
    bool bSkipped = false;
    int index = 0;
    for (const Plant& p : plants) {
        SCOPED_TRACE(p.name);
        if (p.bNeedsRoot && geteuid() != 0) {
            bSkipped = true;
            continue;
        }
        // Initialised while the directory is missing: the name is known, nothing is made.
        const std::string sub = dir_ + "/plant" + std::to_string(index++);
        cLog_restart_for_test(sub.c_str());
        ASSERT_EQ(cCanLog(), 0);
        fs::create_directory(sub);
        write_file(sub + "/other", "someone's data\n");
        p.plant(sub, log_path());
        const std::string before = dir_state(sub);

        EXPECT_EQ(cCanLog(), 0);
        cLogTrace("dropped");
        cLogTracef("dropped %d", 2);
        cLogOpen();
        cLogPutmem("dropped", -1);
        cLogClose();
        cLogTrace_clean("dropped\n");
        EXPECT_EQ(dir_state(sub), before);

        // Once the name is free again, the next record makes a log of its own there.
        fs::remove(log_path());
        EXPECT_EQ(cCanLog(), 1);
        EXPECT_EQ(read_file(sub + "/other"), "someone's data\n");
        EXPECT_FALSE(fs::exists(sub + "/absent"));
    }
    if (bSkipped) {
        GTEST_SKIP() << "not root: the file of another owner was not tried";
    }
}

TEST_F(LogTest, SplitOpeningsGiveTheSameFile) {
    ASSERT_EQ(cCanLog(), 1);
    const std::string path = log_path();
    const Bytes original = image();
    std::mt19937 rng(99);
    const Bytes payload = random_bytes(rng, 600);

    put_record(payload);
    const Bytes whole = image();
    ASSERT_EQ(whole.size(), original.size() + payload.size());
    EXPECT_EQ(ref_.decrypt(whole, kHeader).substr(original.size() - kHeader), payload);

    for (int trial = 0; trial < 60; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        write_file(path, original);
        size_t pos = 0;
        while (pos < payload.size()) {
            cLogOpen();
            const int pieces = static_cast<int>(rng() % 3) + 1;
            for (int k = 0; k < pieces && pos < payload.size(); ++k) {
                size_t len = rng() % 20;
                len = std::min(len, payload.size() - pos);
                if (len == 1 && (rng() & 1)) {
                    cLogChar(payload[pos]);
                } else {
                    cLogPutmem(payload.data() + pos, static_cast<int>(len));
                }
                pos += len;
            }
            cLogClose();
        }
        ASSERT_EQ(image(), whole);
    }
}

TEST_F(LogTest, CleanTextStaysClearAndLaterRecordsDecrypt) {
    ASSERT_EQ(cCanLog(), 1);
    cLogTrace("before");
    const Bytes before = image();
    const Bytes clean = "CLEAR text 13";  // ends inside a cipher block
    cLogTrace_clean(clean.c_str());
    cLogTrace_clean(nullptr);
    cLogTracef("after %d", 1);
    cLogTrace("after 2");

    const Bytes file = image();
    ASSERT_GT(file.size(), before.size() + clean.size());
    EXPECT_EQ(file.substr(0, before.size() + clean.size()), before + clean);
    const Bytes plain = ref_.decrypt(file, kHeader);
    const Bytes tail = plain.substr(before.size() - kHeader + clean.size());
    EXPECT_EQ(texts(parse_records(tail, 0)), (std::vector<std::string>{"after 1", "after 2"}));
    EXPECT_NE(plain.substr(before.size() - kHeader, clean.size()), clean);

    // Clean text before anything else: a file of that text alone, with no header; records
    // after it continue the stream from the block that holds its end.
    restart_in_new_dir("cleanfirst");
    cLogTrace_clean("first\n");
    EXPECT_EQ(image(), "first\n");
    cLogTrace("rec");
    const Bytes mixed = image();
    ASSERT_GT(mixed.size(), 6u);
    EXPECT_EQ(mixed.substr(0, 6), "first\n");
    EXPECT_EQ(texts(parse_records(ref_.decrypt(mixed, 0).substr(6), 0)),
              std::vector<std::string>{"rec"});
}

TEST_F(LogTest, FormatterConversions) {
    ASSERT_EQ(cCanLog(), 1);
    const char pa[] = {0x00, 0x41};
    const char edges[] = {0x20, 0x7E, 0x1F, 0x7F};

    EXPECT_EQ(record_text([] { cLogTracef("%d", -5); }), "-5");
    EXPECT_EQ(record_text([] { cLogTracef("%D|%d", 42, INT_MIN); }), "42|-2147483648");
    EXPECT_EQ(record_text([] { cLogTracef("%x", 255); }), "0xff");
    EXPECT_EQ(record_text([] { cLogTracef("%X|%x", -1, 0); }), "0xffffffff|0x0");
    EXPECT_EQ(record_text([] { cLogTracef("%s", "a\tb"); }), R"("a\x09b")");
    EXPECT_EQ(record_text([] { cLogTracef("%S", "q\"\\ ~\x7f\x80"); }), R"("q"\ ~\x7f\x80")");
    EXPECT_EQ(record_text([&] { cLogTracef("%p", pa, 2); }), R"("\x00A")");
    EXPECT_EQ(record_text([&] { cLogTracef("%b", pa, 2); }), R"("\x00\x41")");
    EXPECT_EQ(record_text([&] { cLogTracef("%P|%B", pa, 0, pa, 0); }), R"(""|"")");
    EXPECT_EQ(record_text([&] { cLogTracef("%p", edges, 4); }), R"(" ~\x1f\x7f")");
    EXPECT_EQ(record_text([&] { cLogTracef("%p|%d", pa, -4, 8); }), R"(""|8)");
    EXPECT_EQ(record_text([] { cLogTracef("%%|100%%"); }), "%|100%");
    EXPECT_EQ(record_text([] { cLogTracef("%q%d", 7); }), "%q7");
    EXPECT_EQ(record_text([] { cLogTracef("%5d|%d", 9); }), "%5d|9");
    EXPECT_EQ(record_text([] { cLogTracef("x=%d y=%x s=%s", 1, 16, "z"); }), R"(x=1 y=0x10 s="z")");
    EXPECT_EQ(record_text([] { cLogTracef("plain text"); }), "plain text");

    // Null pointers: "(null)", and the length argument is still consumed.
    EXPECT_EQ(record_text([] { cLogTracef("%s|%d", static_cast<const char*>(nullptr), 3); }),
              "(null)|3");
    EXPECT_EQ(record_text([] { cLogTracef("%p|%d", static_cast<const void*>(nullptr), 5, 3); }),
              "(null)|3");
    EXPECT_EQ(record_text([] { cLogTracef("%B|%d", static_cast<const void*>(nullptr), 2, 4); }),
              "(null)|4");
    EXPECT_EQ(record_text([] { cLogTracef(nullptr); }), "(null)");
    EXPECT_EQ(record_text([] { cLogTrace(nullptr); }), "(null)");

    // A lone "%" at the end: written, and nothing after the terminator is read (the formats
    // are heap blocks of their exact size, so a sanitizer build catches an over-read).
    for (const char* text : {"abc%", "%"}) {
        const size_t len = strlen(text) + 1;
        std::unique_ptr<char[]> format(new char[len]);
        memcpy(format.get(), text, len);
        EXPECT_EQ(record_text([&] { cLogTracef(format.get()); }), text);
    }

    // cLogTrace writes its text as it is, with no conversions and no escapes.
    EXPECT_EQ(record_text([] { cLogTrace("tab\there %d %s"); }), "tab\there %d %s");

    // A format ending in a line break leaves an empty line after the record.
    const size_t before = plaintext().size();
    cLogTracef("line\n");
    const Bytes added = plaintext().substr(before);
    size_t pos = 0;
    Record rec;
    ASSERT_TRUE(parse_record(added, pos, rec)) << added;
    EXPECT_EQ(rec.text, "line");
    EXPECT_EQ(added.substr(pos), "\n");
}

TEST_F(LogTest, TimeStamps) {
    // Spend processor time so that "since the process started" and "since the log started"
    // differ clearly.
    volatile unsigned long sink = 0;
    while (clock() < 300000) {
        for (int i = 0; i < 100000; ++i) {
            sink = sink + static_cast<unsigned long>(i);
        }
    }
    const long before = static_cast<long>(clock());

    // The first cLogTrace of a fresh log stamps the whole processor time used so far.
    cLogTrace("first");
    cLogTracef("second");
    std::vector<Record> recs = records();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_GE(std::stol(recs[0].stamp), before);
    EXPECT_LT(std::stol(recs[1].stamp), before);

    // cLogTracef always stamps from the initialisation, with eight digits and leading zeros.
    restart_in_new_dir("fresh");
    cLogTracef("fresh");
    recs = records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].stamp.size(), 8u);
    EXPECT_LT(std::stol(recs[0].stamp), before);

    // Larger values are written in full.
    g_start_time = clock() - static_cast<clock_t>(123456789012L);
    cLogTracef("big");
    recs = records();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_GE(recs[1].stamp.size(), 12u);
    EXPECT_GE(std::stol(recs[1].stamp), 123456789012L);
}

TEST_F(LogTest, ThreadsNeverInterleave) {
    close_clog_mutex();  // the first records of all threads race to create the lock
    constexpr int kThreads = 8;
    constexpr int kRecords = 200;
    const std::string payload = "payload 0123456789 abcdefghijklmnopqrstuvwxyz";
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            for (int r = 0; r < kRecords; ++r) {
                if (r % 4 == 3) {
                    char line[128];
                    snprintf(line, sizeof(line), "T%d R%d \"%s\"", t, r, payload.c_str());
                    cLogTrace(line);
                } else {
                    cLogTracef("T%d R%d %s", t, r, payload.c_str());
                }
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }

    const Bytes plain = plaintext();
    ASSERT_EQ(plain.compare(0, 36, "Log file initialized...System: Linux"), 0);
    const std::vector<Record> recs = records_after_init(plain);
    ASSERT_EQ(recs.size(), static_cast<size_t>(kThreads * kRecords));
    std::vector<int> next(kThreads, 0);
    for (const Record& rec : recs) {
        int t = -1;
        int r = -1;
        ASSERT_EQ(sscanf(rec.text.c_str(), "T%d R%d ", &t, &r), 2) << rec.text;
        ASSERT_TRUE(t >= 0 && t < kThreads) << rec.text;
        EXPECT_EQ(rec.text,
                  "T" + std::to_string(t) + " R" + std::to_string(r) + " \"" + payload + "\"");
        EXPECT_EQ(r, next[t]) << "thread " << t << " out of order";
        next[t] = r + 1;
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(next[t], kRecords);
    }
}

TEST_F(LogTest, LoggingOffOrMissingDirectoryWritesNothing) {
    EXPECT_EQ(cEnableLog(0), 1);
    EXPECT_EQ(cCanLog(), 0);
    cLogTrace("x");
    cLogTracef("y %d", 1);
    cLogOpen();
    cLogPutmem("z", -1);
    cLogChar('c');
    cLogClose();
    EXPECT_TRUE(fs::is_empty(dir_));
    EXPECT_EQ(cLog_filename(), nullptr);
    EXPECT_EQ(cEnableLog(1), 0);
    EXPECT_EQ(cEnableLog(1), 1);

    // A missing directory: nothing is created and nothing reported; every later record
    // tries again.
    const std::string missing = dir_ + "/missing";
    cLog_restart_for_test(missing.c_str());
    EXPECT_EQ(cCanLog(), 0);
    cLogTrace("x");
    cLogTracef("y");
    EXPECT_TRUE(fs::is_empty(dir_));
    fs::create_directory(missing);
    EXPECT_EQ(cCanLog(), 1);
    EXPECT_EQ(fs::path(log_path()).parent_path(), fs::path(missing));
    const Bytes created = image();
    EXPECT_GT(created.size(), kHeader);
    EXPECT_EQ(cCanLog(), 1);
    EXPECT_EQ(image(), created);
    cLogTrace("hello");
    const std::vector<Record> recs = records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].text, "hello");
}

TEST_F(LogTest, SwitchActsAtTheNextOpeningOnly) {
    ASSERT_EQ(cCanLog(), 1);
    const size_t start = plaintext().size();

    // Turning logging off inside a bracket: the bracket still writes and releases its lock
    // (a kept lock would block the next record for ever).
    cLogOpen();
    cEnableLog(0);
    cLogPutmem("kept", -1);
    cLogClose();
    cEnableLog(1);
    cLogPutmem("outside", -1);  // no bracket: nothing written
    cLogTrace("after");

    // A bracket opened while logging is off, in another thread, leaves a running bracket
    // alone: it writes nothing into it and neither closes its file nor releases its lock.
    cLogOpen();
    cLogPutmem("A1", -1);
    cEnableLog(0);
    std::thread([] {
        cLogOpen();
        cLogPutmem("B", -1);
        cLogChar('b');
        cLogClose();
    }).join();
    cEnableLog(1);
    cLogPutmem("A2", -1);
    cLogClose();

    const Bytes added = plaintext().substr(start);
    ASSERT_EQ(added.compare(0, 4, "kept"), 0) << added;
    size_t pos = 4;
    Record rec;
    ASSERT_TRUE(parse_record(added, pos, rec)) << added;
    EXPECT_EQ(rec.text, "after");
    EXPECT_EQ(added.substr(pos), "A1A2");
}

TEST_F(LogTest, PutmemLengths) {
    ASSERT_EQ(cCanLog(), 1);
    const size_t start = image().size();
    const char with_zero[] = {'a', 'b', 'c', '\0', 'd', 'e', 'f'};

    cLogOpen();
    cLogPutmem("abcdef", -1);
    EXPECT_EQ(image().size(), start);  // bytes reach the file at the close
    cLogPutmem("abcdef", 0);
    cLogPutmem("abcdef", -2);
    cLogPutmem("abcdef", INT_MIN);
    cLogPutmem(nullptr, 5);
    cLogPutmem(nullptr, -1);
    cLogPutmem(with_zero, 7);
    cLogChar('x');
    cLogClose();

    const Bytes file = image();
    ASSERT_EQ(file.size(), start + 6 + 7 + 1);
    EXPECT_EQ(ref_.decrypt(file, kHeader).substr(start - kHeader),
              Bytes("abcdef") + Bytes(with_zero, 7) + "x");
}

TEST_F(LogTest, LockAllocationFailureDropsRecords) {
    close_clog_mutex();
    cLog_fail_lock_alloc_for_test(1);
    EXPECT_EQ(cCanLog(), 0);
    cLogTrace("lost");
    cLogTracef("lost %d", 1);
    lock_clog_mutex();  // no lock: both are no-ops
    unlock_clog_mutex();
    EXPECT_TRUE(fs::is_empty(dir_));

    cLog_fail_lock_alloc_for_test(0);
    cLogTrace("kept");
    std::vector<Record> recs = records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].text, "kept");

    // A destroyed lock is created again by the next opening.
    close_clog_mutex();
    close_clog_mutex();
    cLogTracef("again %d", 2);
    recs = records();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[1].text, "again 2");
}

TEST_F(LogTest, ClogcatDecryptsAndRejects) {
    ASSERT_EQ(cCanLog(), 1);
    cLogTracef("record %s %d", "one", 1);
    cLogTrace("record two");
    const std::string good = log_path();
    const Bytes expected = ref_.decrypt(image(), kHeader);

    RunResult r = run_clogcat({good});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");

    uint8 header[16];
    cLog_header(header);
    const std::string header_only = dir_ + "/header.bin";
    write_file(header_only, Bytes(reinterpret_cast<char*>(header), kHeader));
    r = run_clogcat({header_only});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");

    // Files without the header are decrypted from offset 0 with the initial vector, so a
    // broken header garbles only the first blocks.
    const std::string short_file = dir_ + "/short.bin";
    write_file(short_file, "Salted__abc");
    const std::string no_magic = dir_ + "/nomagic.bin";
    write_file(no_magic, "Xalted__" + image().substr(8));
    for (const std::string& headerless : {short_file, no_magic}) {
        SCOPED_TRACE(headerless);
        r = run_clogcat({headerless});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, ref_.decrypt(read_file(headerless), 0));
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(run_clogcat({no_magic}).out.substr(24), expected.substr(8));

    // What holds no log at all: an empty file, none, a directory, a FIFO (not waited on).
    const std::string empty = dir_ + "/empty.bin";
    write_file(empty, "");
    const std::string missing = dir_ + "/missing.bin";
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& bad : {empty, missing, dir_, fifo}) {
        SCOPED_TRACE(bad);
        r = run_clogcat({bad});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
    }
    EXPECT_NE(run_clogcat({empty}).err.find("empty"), std::string::npos);
    EXPECT_NE(run_clogcat({fifo}).err.find("not a regular file"), std::string::npos);

    r = run_clogcat({});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("usage"), std::string::npos);
    r = run_clogcat({good, good});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");

    // The library reader refuses an empty image.
    unsigned char out[8];
    EXPECT_EQ(cLog_decrypt_image(reinterpret_cast<const unsigned char*>(""), 0, out), -1);
    EXPECT_EQ(cLog_decrypt_image(nullptr, 8, out), -1);
}

}  // namespace
