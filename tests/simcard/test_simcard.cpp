// SPDX-License-Identifier: MIT
// The simulated card's own features: its state file, persistence, fault injection,
// misbehaviour knobs, call trace, readers without cards and the staged demo card.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <memory>
#include <random>
#include <set>
#include <tuple>

#include "harness.h"

using namespace support;

namespace {

constexpr CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;
const std::vector<std::string> kCerts = {"certs/signing.der", "certs/authentication.der"};
constexpr CK_FLAGS kUserPinBits =
    CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;

// Runs a shell command; its status and what it wrote to standard output.
std::pair<int, std::string> run_command(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return {-1, out};
    }
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) {
        out.append(buf, n);
    }
    int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string hex_text(const std::string& bytes, const char* separator) {
    std::string out;
    for (unsigned char c : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", c);
        out += (out.empty() ? "" : separator) + std::string(two);
    }
    return out;
}

class SimCard : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        state_ = dir_ + "/simcard.state";
        ASSERT_EQ(mkdir((dir_ + "/certs").c_str(), 0700), 0);
        for (const char* name : {"signing", "authentication"}) {
            ASSERT_TRUE(copy_file(std::string(TEST_CARD_DIR) + "/certs/" + name + ".der",
                                  dir_ + "/certs/" + name + ".der"));
        }
        env_ = std::make_unique<ScopedEnv>("SIMCARD_STATE", state_.c_str());
    }

    void TearDown() override {
        stop();
        env_.reset();
        remove_tree(dir_);
    }

    // Loads the module (`path`, the built one by default) without initialising it.
    void load(const std::string& path = SIMCARD_PATH) {
        std::string why;
        ASSERT_TRUE(mod_.load(path, &why)) << why;
        f = mod_.f;
    }

    // Writes `state` as the card's state file, loads the module and initialises it.
    void start(const std::string& state) {
        ASSERT_TRUE(write_file(state_, state));
        ASSERT_NO_FATAL_FAILURE(restart());
    }

    // Finalises, unloads, loads and initialises again: the card as the file now holds it.
    void restart() {
        stop();
        ASSERT_NO_FATAL_FAILURE(load());
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    }

    void stop() {
        if (f != nullptr) {
            f->C_Finalize(nullptr);
        }
        mod_.unload();
        f = nullptr;
    }

    CK_SESSION_HANDLE open_session(CK_SLOT_ID slot = 0, CK_FLAGS flags = kRw) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(f->C_OpenSession(slot, flags, nullptr, nullptr, &h), CKR_OK);
        return h;
    }

    CK_TOKEN_INFO token_info(CK_SLOT_ID slot = 0) {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(f->C_GetTokenInfo(slot, &info), CKR_OK);
        return info;
    }

    CK_FUNCTION_LIST_PTR f = nullptr;
    Module mod_;
    std::string dir_;
    std::string state_;
    std::unique_ptr<ScopedEnv> env_;
};

TEST_F(SimCard, FunctionListIsCompleteAndUnsupportedFunctionsSaySo) {
    ASSERT_NO_FATAL_FAILURE(start(state_text({labelled_reader("card1", true)})));
    EXPECT_EQ(f->version.major, 2);
    const auto* entry = reinterpret_cast<void* const*>(&f->C_Initialize);
    const size_t entries = (sizeof *f - offsetof(CK_FUNCTION_LIST, C_Initialize)) / sizeof(void*);
    EXPECT_EQ(entries, 68u);
    for (size_t i = 0; i < entries; ++i) {
        EXPECT_NE(entry[i], nullptr) << "entry " << i;
    }
    EXPECT_EQ(f->C_GetFunctionList(nullptr), CKR_ARGUMENTS_BAD);
    CK_FUNCTION_LIST_PTR again = nullptr;
    ASSERT_EQ(f->C_GetFunctionList(&again), CKR_OK);
    EXPECT_EQ(again, f);

    CK_SESSION_HANDLE h = open_session();
    CK_MECHANISM mech = {CKM_SHA256, nullptr, 0};
    CK_BYTE buf[16] = {};
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(f->C_InitToken(0, buf, 4, buf), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(f->C_DigestInit(h, &mech), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(f->C_EncryptInit(h, &mech, 1), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(f->C_GenerateRandom(h, buf, sizeof buf), CKR_RANDOM_NO_RNG) << "no CKF_RNG";
    EXPECT_EQ(f->C_SeedRandom(h, buf, sizeof buf), CKR_RANDOM_NO_RNG);
    EXPECT_EQ(f->C_GenerateRandom(h + 99, buf, sizeof buf), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(token_info().flags & CKF_RNG, 0u);
    EXPECT_EQ(f->C_CreateObject(h, nullptr, 0, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(f->C_GetFunctionStatus(h), CKR_FUNCTION_NOT_PARALLEL);
    EXPECT_EQ(f->C_CancelFunction(h), CKR_FUNCTION_NOT_PARALLEL);
    CK_ULONG count = 7;
    EXPECT_EQ(f->C_GetMechanismList(0, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 0u) << "a card without mechanisms";

    // Handles are never reused while the module is loaded, not even after C_Finalize
    // and C_Initialize.
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    EXPECT_GT(open_session(), h);
}

TEST_F(SimCard, ReadersWithoutCard) {
    ASSERT_NO_FATAL_FAILURE(
        start(state_text({labelled_reader("none", false), labelled_reader("card1", true),
                          labelled_reader("gone", false)})));
    EXPECT_EQ(slot_list(f, false), (std::vector<CK_SLOT_ID>{0, 1, 2}));
    EXPECT_EQ(slot_list(f, true), (std::vector<CK_SLOT_ID>{1}));
    CK_SLOT_INFO si{};
    ASSERT_EQ(f->C_GetSlotInfo(2, &si), CKR_OK);
    EXPECT_EQ(si.flags, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
    EXPECT_EQ(unpad(si.slotDescription, sizeof si.slotDescription), "Simulated Reader 2");
    CK_TOKEN_INFO ti{};
    EXPECT_EQ(f->C_GetTokenInfo(0, &ti), CKR_TOKEN_NOT_PRESENT);
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(f->C_OpenSession(0, kRw, nullptr, nullptr, &h), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(f->C_CloseAllSessions(0), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(f->C_GetTokenInfo(3, &ti), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(unpad(token_info(1).label, 32), "card1");
}

TEST_F(SimCard, MoreThanSixteenReaders) {
    std::vector<CardReader> readers;
    for (int i = 0; i < 20; ++i) {
        readers.push_back(labelled_reader("card" + std::to_string(i), i % 4 != 3));
    }
    ASSERT_NO_FATAL_FAILURE(start(state_text(readers)));
    CK_SLOT_ID list[16];
    CK_ULONG count = 16;
    EXPECT_EQ(f->C_GetSlotList(CK_FALSE, list, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 20u);
    count = 16;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, list, &count), CKR_OK) << "15 cards fit in 16";
    EXPECT_EQ(count, 15u);
    std::vector<CK_SLOT_ID> all = slot_list(f, false);
    ASSERT_EQ(all.size(), 20u);
    for (CK_SLOT_ID i = 0; i < 20; ++i) {
        EXPECT_EQ(all[i], i);
    }
    std::vector<CK_SLOT_ID> present = slot_list(f, true);
    EXPECT_EQ(present.size(), 15u);
    EXPECT_EQ(unpad(token_info(18).label, 32), "card18");
    CK_TOKEN_INFO ti{};
    EXPECT_EQ(f->C_GetTokenInfo(19, &ti), CKR_TOKEN_NOT_PRESENT);
    CK_SESSION_HANDLE h = open_session(18);
    EXPECT_EQ(log_in(f, h, CKU_USER, "1234"), CKR_OK);
}

TEST_F(SimCard, WriteBackRewritesOnlyTheFourLines) {
    // Reader 0 has no try counters yet: each is added after its PIN's line.
    ASSERT_NO_FATAL_FAILURE(
        start("# my card\r\n[reader]\r\nlabel = card0 # mine\r\n  pin = 1234   # the user PIN\r\n"
              "puk = 12345678\r\ncert = certs/signing.der\r\n\r\n# second\r\n" +
              state_text({labelled_reader("card1", true)})));
    CK_SESSION_HANDLE h = open_session();
    EXPECT_EQ(log_in(f, h, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(set_pin(f, h, "1234", "5678"), CKR_OK);  // restores the user's tries
    EXPECT_EQ(log_in(f, h, CKU_SO, "00000000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(log_in(f, h, CKU_SO, "00000001"), CKR_PIN_INCORRECT);
    EXPECT_EQ(read_file(state_),
              "# my card\r\n[reader]\r\nlabel = card0 # mine\r\npin = 5678\r\npin_tries = 3\r\n"
              "puk = 12345678\r\npuk_tries = 8\r\ncert = certs/signing.der\r\n\r\n# second\r\n" +
                  state_text({labelled_reader("card1", true)}))
        << "the four keys' lines are rewritten whole; every other line stays";
    std::set<std::string> entries;
    for (const std::string& e : list_dir(dir_)) {
        entries.insert(e);
    }
    EXPECT_EQ(entries, (std::set<std::string>{"certs", "simcard.state"}))
        << "no temporary file left";

    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_EQ(token_info(0).flags & (CKF_USER_PIN_COUNT_LOW | CKF_SO_PIN_COUNT_LOW),
              CKF_SO_PIN_COUNT_LOW);
    EXPECT_EQ(token_info(1).flags & CKF_SO_PIN_COUNT_LOW, 0u);
    h = open_session();
    EXPECT_EQ(log_in(f, h, CKU_USER, "1234"), CKR_PIN_INCORRECT);
    EXPECT_EQ(log_in(f, h, CKU_USER, "5678"), CKR_OK);
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_EQ(token_info(0).flags & CKF_USER_PIN_COUNT_LOW, 0u)
        << "the right PIN restored the tries";
    EXPECT_NE(read_file(state_).find("pin_tries = 3"), std::string::npos);
}

TEST_F(SimCard, PinsOfAnyBytesKeepTheFileParseable) {
    ASSERT_NO_FATAL_FAILURE(start(state_text({labelled_reader("card1", true)})));
    const std::string pins[] = {std::string("a #\"\\\n\0\xff", 8), " 12 ", "\"abc", "#123"};
    const std::string puk("x\r\n=[y]\t", 8);
    CK_SESSION_HANDLE h = open_session();
    ASSERT_EQ(log_in(f, h, CKU_SO, "12345678"), CKR_OK);
    ASSERT_EQ(set_pin(f, h, "12345678", puk), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    std::string current = "1234";
    for (const std::string& pin : pins) {
        ASSERT_EQ(set_pin(f, h, current, pin), CKR_OK);
        ASSERT_NO_FATAL_FAILURE(restart());
        h = open_session();
        EXPECT_EQ(log_in(f, h, CKU_USER, pin), CKR_OK) << "PIN of " << pin.size() << " bytes";
        ASSERT_EQ(f->C_Logout(h), CKR_OK);
        current = pin;
    }
    EXPECT_EQ(log_in(f, h, CKU_SO, puk), CKR_OK);
}

TEST_F(SimCard, AStateFileThatIsGoneChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(start(state_text({labelled_reader("card1", true)})));
    const std::string moved = dir_ + ".moved";
    ASSERT_EQ(rename(dir_.c_str(), moved.c_str()), 0);  // the state file's folder is gone
    CK_SESSION_HANDLE h = open_session();
    EXPECT_EQ(log_in(f, h, CKU_USER, "0000"), CKR_DEVICE_ERROR);
    EXPECT_EQ(log_in(f, h, CKU_USER, "1234"), CKR_DEVICE_ERROR) << "no card to check it with";
    EXPECT_EQ(set_pin(f, h, "1234", "5678"), CKR_DEVICE_ERROR);
    EXPECT_EQ(token_info().flags & CKF_USER_PIN_COUNT_LOW, 0u) << "the last known counters";
    ASSERT_EQ(rename(moved.c_str(), dir_.c_str()), 0);
    EXPECT_EQ(log_in(f, h, CKU_USER, "1234"), CKR_OK) << "neither a try used nor the PIN changed";
    EXPECT_EQ(read_file(state_), state_text({labelled_reader("card1", true)}));
}

struct BadState {
    const char* text;
    int line;  // 0: the message names the file only
    const char* what;
};

TEST_F(SimCard, UnparsableStateFailsInitialiseWithFileAndLine) {
    const std::string reader = "[reader]\npin = 8642\npuk = 97531086\n";
    const BadState cases[] = {
        {"[reader]\npin = 8642\nfoo = 1\n", 3, "unknown key 'foo'"},
        {"[reader]\npin 8642\n", 2, "expected 'key = value'"},
        {"pin = 8642\n", 1, "before the first"},
        {"[readers]\n", 1, "unknown section"},
        {"[reader\n", 1, "closing ']'"},
        {"[reader]\ncard = maybe\n", 2, "'present' or 'absent'"},
        {"[reader]\npin = 8642\n", 1, "needs a 'puk'"},
        {"[reader]\npuk = 8642\n", 1, "needs a 'pin'"},
        {"[reader]\npin = 8642\npin = 8642\n", 3, "given twice"},
        {"[reader]\npin = \"86\\q42\"\n", 2, "bad escape"},
        {"[reader]\npin = \"8642\n", 2, "without closing quote"},
        {"[reader]\npin = \"8642\" x\n", 2, "after the closing quote"},
        {"[reader]\nmin_pin = 18446744073709551616\n", 2, "needs a number"},
        {"[reader]\nmax_pin = -1\n", 2, "needs a number"},
        {"[reader]\npin_max_tries = 0x\n", 2, "needs a number"},
        {"[reader]\nlabel = 123456789012345678901234567890123\n", 2, "longer than 32"},
        {"[reader]\nserial = 12345678901234567\n", 2, "longer than 16"},
        {"[reader]\npin = 8642\npuk = 97531086\npin_tries = 4\n", 4, "greater than pin_max_tries"},
        {"[reader]\npin = 8642\npuk = 97531086\nmin_pin = 9\n", 4, "greater than max_pin"},
        {"[reader]\npin = 8642\npuk = 97531086\npuk_max_tries = 0\n", 4, "at least 1"},
        {"[reader]\npin = 8642\npuk = 97531086\ncert = certs/none.der\n", 4,
         "cannot read certificate"},
        {"[fault]\nC_Frobnicate = 1\n", 2,
         "unknown key 'C_Frobnicate' in [fault] (a function name C_Xxx that the card implements, "
         "or one of C_GetSlotList.count, C_FindObjects.count, C_GetAttributeValue.length, "
         "C_OpenSession.handle, C_GetFunctionList.missing)"},
        {"[fault]\nC_EncryptInit = 1\n", 2, "unknown key 'C_EncryptInit'"},
        {"[reader]\npin = 8642\nf\x1b[2Jo\xc3\xa4\x7f = 1\n", 3,
         "unknown key 'f\\x1b[2Jo\\xc3\\xa4\\x7f' in [reader]"},
        {"[\x9b"
         "31mreader]\n",
         1, "unknown section '[\\x9b31mreader]'"},
        {"[fault]\nC_Login = 0xa0\nC_Login = 0xa4\n", 3, "given twice"},
        {"[fault]\nC_GetSlotList.size = 3\n", 2, "unknown key"},
        {"[fault]\nC_OpenSession = zero\n", 2, "needs a number"},
    };
    ASSERT_NO_FATAL_FAILURE(load());
    for (const BadState& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_TRUE(write_file(state_, c.text));
        testing::internal::CaptureStderr();
        EXPECT_EQ(f->C_Initialize(nullptr), CKR_GENERAL_ERROR);
        std::string err = testing::internal::GetCapturedStderr();
        std::string where = "simcard: " + state_ + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(err.rfind(where, 0), 0u) << err;
        EXPECT_NE(err.find(c.what), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err;
        EXPECT_EQ(err.find("8642"), std::string::npos) << "a PIN in: " << err;
        EXPECT_EQ(err.find("97531086"), std::string::npos) << "a PUK in: " << err;
        for (char c : err.substr(0, err.size() - 1)) {
            EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "a raw byte " << int(c) << " in: " << err;
        }
        CK_ULONG count = 0;
        EXPECT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    }
    // A missing file, then a good one: the module is not stuck.
    ASSERT_EQ(unlink(state_.c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_GENERAL_ERROR);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("simcard: " + state_ + ": cannot read the state file", 0), 0u) << err;
    ASSERT_TRUE(write_file(state_, reader));
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_OK);
}

// The fields a state file gives a reader.
auto file_fields(const simcard::Reader& r) {
    return std::make_tuple(r.description, r.present, r.label, r.serial, r.model, r.manufacturer,
                           r.min_pin, r.max_pin, r.now.pin, r.now.puk, r.now.pin_tries,
                           r.now.puk_tries, r.pin_max_tries, r.puk_max_tries, r.extra_flags,
                           r.cert_files);
}

TEST_F(SimCard, WhatTheWriterWritesReadsBackTheSame) {
    CardReader odd = labelled_reader("", true, {"certs/a b.der", "#c.der"},
                                     std::string(" 1\0\xff#\"\\ ", 9), "x\r\n=[y]\t");
    odd.description = "Reader \"#1\"";
    odd.model = "M #1";
    odd.max_pin = ~CK_ULONG(0);
    odd.extra_flags = 0x50000;
    odd.now.pin_tries = 1;
    simcard::State st;
    st.readers = {odd, labelled_reader("gone", false), CardReader()};
    st.faults.rv[simcard::kLogin] = {true, 0xa3};
    st.faults.slot_count = {true, 1000};
    st.faults.missing_function = {true, simcard::kSetPIN};
    const std::string text = simcard::encode_state(st);
    ASSERT_TRUE(write_file(state_, text));

    simcard::State back;
    std::string error;
    ASSERT_TRUE(simcard::load_state(state_, &back, &error, simcard::kWithoutCerts)) << error;
    ASSERT_EQ(back.readers.size(), 3u) << text;
    EXPECT_EQ(file_fields(back.readers[0]), file_fields(odd)) << text;
    EXPECT_EQ(file_fields(back.readers[2]), file_fields(CardReader())) << text;
    EXPECT_FALSE(back.readers[1].present);
    EXPECT_EQ(back.readers[1].description, "Simulated Reader 1") << "an empty one is left out";
    EXPECT_EQ(back.readers[1].values.size(), 1u) << "a reader without a card: its card key only";
    int faults = 0;
    for (const simcard::Knob& k : back.faults.rv) {
        faults += k.set;
    }
    EXPECT_EQ(faults, 1);
    EXPECT_EQ(back.faults.rv[simcard::kLogin].value, 0xa3u);
    EXPECT_TRUE(back.faults.slot_count.set && back.faults.slot_count.value == 1000);
    EXPECT_FALSE(back.faults.object_count.set);
    EXPECT_TRUE(back.faults.missing_function.set &&
                back.faults.missing_function.value == simcard::kSetPIN);
    back.readers[1].description.clear();
    EXPECT_EQ(simcard::encode_state(back), text) << "written again the same";
    EXPECT_EQ(simcard::encode_state(simcard::State()), "");

    // The one look-up, as the tests and `simcard-card get` use it.
    EXPECT_EQ(card_value(state_, "pin"), odd.now.pin);
    EXPECT_EQ(card_value(state_, "label", 2), "Demo Card");
    EXPECT_EQ(card_value(state_, "label", 1), "<missing label>");
    EXPECT_EQ(card_value(state_, "pin", 3), "<missing pin>");
    const std::string get = std::string(SIMCARD_CARD) + " get '" + state_ + "' ";
    EXPECT_EQ(run_command(get + "cert"), std::make_pair(0, std::string("certs/a b.der\n#c.der\n")));
    EXPECT_EQ(run_command(get + "model 2"), std::make_pair(0, std::string("SimCard\n")));
    EXPECT_EQ(run_command(get + "label 1").first, 1) << "no such key";
    EXPECT_EQ(run_command(get + "label 3").first, 1) << "no such reader";
    EXPECT_EQ(run_command(get + "label x 2>&1"),
              std::make_pair(1, std::string("simcard-card: not a reader number: x\n")));
    ASSERT_TRUE(write_file(state_, "[reader]\npni = 1\n"));
    std::vector<std::string> values = {"stale"};
    EXPECT_FALSE(simcard::look_up(state_, 0, "pin", &values, &error));
    EXPECT_TRUE(values.empty());
    EXPECT_NE(error.find(":2: unknown key 'pni'"), std::string::npos) << error;
    EXPECT_EQ(run_command(get + "pin 2>&1"), std::make_pair(1, "simcard-card: " + error + "\n"));
}

TEST_F(SimCard, DamagedStateFilesNeverCrash) {
    const std::string good =
        state_text({labelled_reader("card1", true, kCerts), labelled_reader("card2", false)},
                   "C_GetSlotList.count = 2");
    const std::string alphabet = "[]=#\"\\x0123456789abcdef \t\r\n";
    std::mt19937 random(20240611);
    ASSERT_NO_FATAL_FAILURE(load());
    int parsed = 0;
    for (int round = 0; round < 400; ++round) {
        std::string text = good;
        for (int edits = 1 + static_cast<int>(random() % 4); edits > 0; --edits) {
            size_t at = random() % (text.size() + 1);
            switch (random() % 3) {
                case 0:
                    text.insert(at, 1, alphabet[random() % alphabet.size()]);
                    break;
                case 1:
                    text.erase(at, 1 + random() % 8);
                    break;
                default:
                    text.insert(at, 1, static_cast<char>(random() % 256));
            }
        }
        ASSERT_TRUE(write_file(state_, text));
        testing::internal::CaptureStderr();
        CK_RV rv = f->C_Initialize(nullptr);
        testing::internal::GetCapturedStderr();
        ASSERT_TRUE(rv == CKR_OK || rv == CKR_GENERAL_ERROR) << rv;
        if (rv == CKR_OK) {
            ++parsed;
            for (CK_SLOT_ID slot = 0; slot < 3; ++slot) {
                CK_TOKEN_INFO ti;
                f->C_GetTokenInfo(slot, &ti);
            }
            ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
        }
    }
    EXPECT_GT(parsed, 0) << "some damage is harmless";
}

TEST_F(SimCard, ParsingToleratesLayoutAndDefaults) {
    ASSERT_NO_FATAL_FAILURE(
        start("\r\n  # leading comment\r\n\t[reader]   # a reader\r\n"
              "label\t=\t\"My \\\"Card\\\"\\x21\"   # quoted\r\n"
              "model = Model#1   # a comment\r\n"
              "pin = 1234\r\npuk=12345678\r\n"
              "max_pin = 0xFFFFFFFFFFFFFFFF\r\n"
              "extra_flags = 0x50000\r\n"
              "cert = certs/signing.der\r\n"
              "[fault]\r\n"));
    CK_TOKEN_INFO ti = token_info();
    EXPECT_EQ(unpad(ti.label, sizeof ti.label), "My \"Card\"!");
    EXPECT_EQ(unpad(ti.model, sizeof ti.model), "Model#1") << "'#' inside a word is text";
    EXPECT_EQ(ti.ulMinPinLen, 4u);
    EXPECT_EQ(ti.ulMaxPinLen, CK_ULONG(-1));
    EXPECT_EQ(ti.flags & 0x770000u, CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_LOCKED)
        << "extra flags are OR-ed in, the counters themselves are full";
    CK_SLOT_INFO si{};
    ASSERT_EQ(f->C_GetSlotInfo(0, &si), CKR_OK);
    EXPECT_EQ(unpad(si.slotDescription, sizeof si.slotDescription), "Simulated Reader 0");
    CK_SESSION_HANDLE h = open_session();
    EXPECT_EQ(log_in(f, h, CKU_USER, std::string(40, '9')), CKR_PIN_INCORRECT);
    EXPECT_EQ(log_in(f, h, CKU_USER, "1234"), CKR_OK) << "the PIN read without its CR";
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_EQ(unpad(token_info().label, 32), "My \"Card\"!") << "still parseable after a write";
}

TEST_F(SimCard, FaultInjection) {
    ASSERT_NO_FATAL_FAILURE(
        start(state_text({labelled_reader("card1", true, kCerts)},
                         "C_OpenSession = 0x30\nC_GenerateRandom = 5\nC_Finalize = 0x6")));
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(f->C_OpenSession(0, kRw, nullptr, nullptr, &h), 0x30u);
    EXPECT_EQ(token_info().ulSessionCount, 0u) << "the work was not done";
    EXPECT_EQ(f->C_GenerateRandom(h, nullptr, 0), 5u);
    EXPECT_EQ(f->C_Finalize(nullptr), 6u);
    EXPECT_EQ(slot_list(f, true).size(), 1u) << "still initialised";
    stop();

    // A fault for C_Initialize; the module stays uninitialised.
    ASSERT_TRUE(
        write_file(state_, state_text({labelled_reader("card1", true)}, "C_Initialize = 6")));
    ASSERT_NO_FATAL_FAILURE(load());
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_FUNCTION_FAILED);
    CK_ULONG count = 0;
    EXPECT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    stop();

    // A fault for C_GetFunctionList is read before C_Initialize.
    ASSERT_TRUE(write_file(
        state_, state_text({labelled_reader("card1", true)}, "C_GetFunctionList = 0x5")));
    std::string why;
    Module other;
    EXPECT_FALSE(other.load(SIMCARD_PATH, &why));
    EXPECT_EQ(other.list_rv, CKR_GENERAL_ERROR);

    // Card answers that a PIN or PUK operation may meet.
    const std::string state =
        state_text({labelled_reader("card1", true)}, "C_Login = 0xa3\nC_SetPIN = 0xa1");
    ASSERT_NO_FATAL_FAILURE(start(state));
    h = open_session();
    EXPECT_EQ(log_in(f, h, CKU_USER, "1234"), CKR_PIN_EXPIRED);
    EXPECT_EQ(set_pin(f, h, "1234", "5678"), CKR_PIN_INVALID);
    EXPECT_EQ(read_file(state_), state) << "nothing changed";
}

TEST_F(SimCard, MisbehaviourKnobs) {
    ASSERT_NO_FATAL_FAILURE(start(state_text({labelled_reader("card1", true, kCerts)},
                                             "C_GetSlotList.count = 1000\n"
                                             "C_FindObjects.count = 99\n"
                                             "C_GetAttributeValue.length = 0xFFFFFFFFFFFFFFFF")));
    constexpr CK_SLOT_ID kUntouched = 0x5A5A;
    CK_SLOT_ID list[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
    CK_ULONG count = 4;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, list, &count), CKR_OK);
    EXPECT_EQ(count, 1000u);
    EXPECT_EQ(list[0], 0u);
    EXPECT_EQ(list[1], kUntouched) << "no more entries than there are slots";
    count = 0;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1000u);

    CK_SESSION_HANDLE h = open_session();
    CK_OBJECT_CLASS cert = CKO_CERTIFICATE;
    CK_ATTRIBUTE tmpl = {CKA_CLASS, &cert, sizeof cert};
    CK_OBJECT_HANDLE found[3] = {0, 0, 0};
    ASSERT_EQ(f->C_FindObjectsInit(h, &tmpl, 1), CKR_OK);
    ASSERT_EQ(f->C_FindObjects(h, found, 1, &count), CKR_OK);
    EXPECT_EQ(count, 99u);
    EXPECT_NE(found[0], 0u);
    EXPECT_EQ(found[1], 0u) << "no more than the caller's room";
    ASSERT_EQ(f->C_FindObjectsFinal(h), CKR_OK);

    CK_ATTRIBUTE value = {CKA_VALUE, nullptr, 0};
    ASSERT_EQ(f->C_GetAttributeValue(h, found[0], &value, 1), CKR_OK);
    EXPECT_EQ(value.ulValueLen, CK_ULONG(-1));
    CK_ATTRIBUTE label = {CKA_LABEL, nullptr, 0};
    ASSERT_EQ(f->C_GetAttributeValue(h, found[0], &label, 1), CKR_OK);
    EXPECT_EQ(label.ulValueLen, 7u) << "only CKA_VALUE lies";
    std::string der(4096, '\0');
    value = {CKA_VALUE, &der[0], der.size()};
    ASSERT_EQ(f->C_GetAttributeValue(h, found[0], &value, 1), CKR_OK);
    EXPECT_EQ(der.substr(0, value.ulValueLen), read_file(dir_ + "/certs/signing.der"));

    ASSERT_NO_FATAL_FAILURE(
        start(state_text({labelled_reader("card1", true)}, "C_OpenSession.handle = 0")));
    h = 77;
    ASSERT_EQ(f->C_OpenSession(0, kRw, nullptr, nullptr, &h), CKR_OK);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(log_in(f, h, CKU_USER, "1234"), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f->C_CloseSession(h), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(token_info().ulSessionCount, 0u);
}

TEST_F(SimCard, TraceNamesEveryCallButNoSecret) {
    const std::string trace = dir_ + "/trace.log";
    ScopedEnv tracing("SIMCARD_TRACE", trace.c_str());
    testing::internal::CaptureStderr();
    ASSERT_NO_FATAL_FAILURE(
        start(state_text({labelled_reader("card1", true, kCerts, "9731", "86420135")})));
    CK_SESSION_HANDLE h = open_session();
    EXPECT_EQ(f->C_Logout(h), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(log_in(f, h, CKU_USER, "9731"), CKR_OK);
    EXPECT_EQ(set_pin(f, h, "9731", "46820"), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    EXPECT_EQ(log_in(f, h, CKU_SO, "86420135"), CKR_OK);
    EXPECT_EQ(init_pin(f, h, "51973"), CKR_OK);
    EXPECT_EQ(log_in(f, h, CKU_USER, "51973"), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    mod_.unload();  // no C_Finalize, as the program does
    f = nullptr;
    std::string err = testing::internal::GetCapturedStderr();

    std::string log = read_file(trace);
    const std::string expected[] = {
        "C_GetFunctionList rv=0x0\n",
        "C_Initialize args=null rv=0x0\n",
        "C_OpenSession slot=0 flags=0x6 session=",
        "C_Logout session=" + std::to_string(h) + " rv=0x101\n",
        "C_Login session=" + std::to_string(h) + " user=1 len=4 rv=0x0\n",
        "C_SetPIN session=" + std::to_string(h) + " user=1 oldlen=4 newlen=5 rv=0x0\n",
        "C_Login session=" + std::to_string(h) + " user=0 len=8 rv=0x0\n",
        "C_InitPIN session=" + std::to_string(h) + " len=5 rv=0x0\n",
        "C_Login session=" + std::to_string(h) + " user=1 len=5 rv=0x104\n",
    };
    size_t at = 0;
    for (const std::string& line : expected) {
        size_t found = log.find(line, at);
        EXPECT_NE(found, std::string::npos) << "in order: " << line << "\n" << log;
        at = found == std::string::npos ? at : found;
    }
    EXPECT_EQ(log.find("C_Finalize"), std::string::npos);
    for (const char* secret : {"9731", "46820", "86420135", "51973"}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in the trace";
        EXPECT_EQ(err.find(secret), std::string::npos) << secret << " on stderr";
    }
}

TEST_F(SimCard, StateFileBesideTheModuleOrRelativeToStart) {
    // Without SIMCARD_STATE: simcard.state in the module's own folder.
    const std::string beside = dir_ + "/module";
    ASSERT_EQ(mkdir(beside.c_str(), 0700), 0);
    ASSERT_TRUE(copy_file(SIMCARD_PATH, beside + "/libsimcard.so"));
    ASSERT_TRUE(
        write_file(beside + "/simcard.state", state_text({labelled_reader("beside", true)})));
    {
        ScopedEnv none("SIMCARD_STATE", nullptr);
        ASSERT_NO_FATAL_FAILURE(load(beside + "/libsimcard.so"));
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        EXPECT_EQ(unpad(token_info().label, 32), "beside");
        stop();
    }

    // A relative SIMCARD_STATE is taken from the working directory of C_Initialize and
    // stays the same file after a change of directory.
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_TRUE(
        write_file(dir_ + "/relative.state", state_text({labelled_reader("relative", true)})));
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    ScopedEnv relative("SIMCARD_STATE", "relative.state");
    ASSERT_NO_FATAL_FAILURE(load());
    CK_RV rv = f->C_Initialize(nullptr);
    EXPECT_EQ(chdir("/"), 0);
    ASSERT_EQ(rv, CKR_OK);
    CK_SESSION_HANDLE h = open_session();
    EXPECT_EQ(log_in(f, h, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(chdir(cwd), 0);
    EXPECT_NE(read_file(dir_ + "/relative.state").find("pin_tries = 2"), std::string::npos);
}

TEST_F(SimCard, ExitWithoutFinalizeKeepsTheState) {
    ASSERT_TRUE(write_file(state_, state_text({labelled_reader("card1", true)})));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Module m;
        std::string why;
        CK_SESSION_HANDLE h = 0;
        bool ok = m.load(SIMCARD_PATH, &why) && m.f->C_Initialize(nullptr) == CKR_OK &&
                  m.f->C_OpenSession(0, kRw, nullptr, nullptr, &h) == CKR_OK &&
                  log_in(m.f, h, CKU_USER, "1111") == CKR_PIN_INCORRECT &&
                  log_in(m.f, h, CKU_USER, "1111") == CKR_PIN_INCORRECT;
        std::exit(ok ? 0 : 3);  // the module stays loaded and initialised
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_EQ(token_info().flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY),
              CKF_USER_PIN_FINAL_TRY);
}

TEST_F(SimCard, TwoProcessesAreOneCard) {
    ASSERT_NO_FATAL_FAILURE(start(state_text({labelled_reader("card1", true)})));
    CK_SESSION_HANDLE h = open_session();  // held open while another process works on the card
    auto tool = [](const std::string& args) {
        return run_command(TOOL_ENV "pkcs11-tool --module '" SIMCARD_PATH "' " + args + " 2>&1");
    };
    auto [changed, out] = tool("--change-pin --pin 1234 --new-pin 4321");
    ASSERT_EQ(changed, 0) << out;
    EXPECT_EQ(log_in(f, h, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(card_value(state_, "pin"), "4321") << "the older process wrote its old PIN back";
    EXPECT_EQ(card_value(state_, "pin_tries"), "2");
    ASSERT_EQ(log_in(f, h, CKU_USER, "4321"), CKR_OK) << "the other process's PIN holds here";
    ASSERT_EQ(f->C_Logout(h), CKR_OK);

    // Wrong tries split across both processes lock after the true number.
    for (int i = 0; i < 2; ++i) {
        auto [status, wrong] = tool("--login --pin 0000 --list-objects");
        EXPECT_NE(status, 0);
        EXPECT_NE(wrong.find("CKR_PIN_INCORRECT"), std::string::npos) << wrong;
    }
    EXPECT_EQ(token_info().flags & kUserPinBits, CKF_USER_PIN_FINAL_TRY) << "seen in this process";
    EXPECT_EQ(log_in(f, h, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(token_info().flags & kUserPinBits, CKF_USER_PIN_LOCKED);
    EXPECT_EQ(log_in(f, h, CKU_USER, "4321"), CKR_PIN_LOCKED);
    auto [locked, answer] = tool("--login --pin 4321 --list-objects");
    EXPECT_NE(answer.find("CKR_PIN_LOCKED"), std::string::npos) << answer;
    EXPECT_EQ(card_value(state_, "pin_tries"), "0");
}

TEST_F(SimCard, KillDuringChangesLosesNothingAndLeavesNothing) {
    ASSERT_TRUE(write_file(state_, state_text({labelled_reader("card1", true)})));
    std::string pin = "1234";
    unsigned next = 10000;  // PINs of five digits and more, each used once
    std::mt19937 random(20261208);
    int acknowledged = 0, leftovers = 0;
    for (int round = 0; round < 20; ++round) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {  // changes the PIN as fast as it can, saying which ones are done
            close(fds[0]);
            Module m;
            std::string why, current = pin;
            CK_SESSION_HANDLE h = 0;
            if (!m.load(SIMCARD_PATH, &why) || m.f->C_Initialize(nullptr) != CKR_OK ||
                m.f->C_OpenSession(0, kRw, nullptr, nullptr, &h) != CKR_OK) {
                _exit(3);
            }
            for (unsigned n = next;; ++n) {
                if (set_pin(m.f, h, current, std::to_string(n)) != CKR_OK) {
                    _exit(4);
                }
                if (write(fds[1], &n, sizeof n) != sizeof n) {
                    _exit(5);
                }
                current = std::to_string(n);
            }
        }
        close(fds[1]);
        // Killed at a moment of chance, but only once it has made a change.
        unsigned n = 0, last = next - 1;
        if (read(fds[0], &n, sizeof n) == sizeof n) {
            last = n;
            ++acknowledged;
        }
        usleep(random() % 20000);
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended with " << WEXITSTATUS(status);
        while (read(fds[0], &n, sizeof n) == sizeof n) {
            last = n;
            ++acknowledged;
        }
        close(fds[0]);
        const std::string acked = last == next - 1 ? pin : std::to_string(last);
        const std::string now = card_value(state_, "pin");
        EXPECT_TRUE(now == acked || now == std::to_string(last + 1))
            << "acknowledged " << acked << ", the card holds " << now;
        EXPECT_EQ(card_value(state_, "pin_tries"), "3") << "no try used by a change";
        for (const std::string& e : list_dir(dir_)) {
            struct stat st {};
            if (e != "certs" && e != "simcard.state" && stat((dir_ + "/" + e).c_str(), &st) == 0) {
                ++leftovers;
                EXPECT_EQ(st.st_mode & 0777, 0600u) << e << " holds the PIN and the PUK";
            }
        }
        pin = now;
        next = last + 2;
    }
    EXPECT_GE(acknowledged, 20) << "changes were made";
    // The next C_Initialize removes what a writer killed at the wrong moment left behind.
    ASSERT_NO_FATAL_FAILURE(restart());
    std::set<std::string> entries;
    for (const std::string& e : list_dir(dir_)) {
        entries.insert(e);
    }
    EXPECT_EQ(entries, (std::set<std::string>{"certs", "simcard.state"}))
        << leftovers << " temporary files were seen after kills";
    EXPECT_EQ(log_in(f, open_session(), CKU_USER, pin), CKR_OK);
}

TEST_F(SimCard, ReadOnlyStateFileRefusesChangesForAnOrdinaryUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "making an ordinary user to test with needs root";
    }
    const std::string user = "simcard-t" + std::to_string(getpid());
    if (std::system(
            ("useradd --system --no-create-home --shell /usr/sbin/nologin " + user).c_str()) != 0) {
        FAIL() << "useradd could not make the user " << user;
    }
    struct RemoveUser {
        std::string name;
        ~RemoveUser() {
            if (std::system(("userdel " + name).c_str()) != 0)
                ADD_FAILURE() << "userdel could not remove " << name;
        }
    } remove_user{user};
    const passwd* pw = getpwnam(user.c_str());
    ASSERT_NE(pw, nullptr);
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    const std::string text = state_text({labelled_reader("card1", true, kCerts)});
    ASSERT_TRUE(write_file(state_, text));
    // The user loads a copy in its own folder: the build may lie in a home folder closed to
    // others.
    const std::string module = dir_ + "/libsimcard.so";
    ASSERT_TRUE(copy_file(SIMCARD_PATH, module));
    for (const std::string& p : {dir_, dir_ + "/certs", state_, module}) {
        ASSERT_EQ(chown(p.c_str(), uid, gid), 0) << p;  // the user's own, writable folder
    }
    ASSERT_EQ(chmod(state_.c_str(), 0444), 0);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int step = 0;
        auto check = [&step](bool ok) {
            ++step;
            if (!ok) {
                _exit(step);
            }
        };
        check(setgid(gid) == 0 && setuid(uid) == 0);
        Module m;
        std::string why;
        CK_SESSION_HANDLE h = 0;
        CK_TOKEN_INFO ti{};
        check(m.load(module.c_str(), &why) && m.f->C_Initialize(nullptr) == CKR_OK);
        check(m.f->C_OpenSession(0, kRw, nullptr, nullptr, &h) == CKR_OK);
        check(log_in(m.f, h, CKU_USER, "0000") == CKR_DEVICE_ERROR);
        check(m.f->C_GetTokenInfo(0, &ti) == CKR_OK && (ti.flags & kUserPinBits) == 0);
        check(log_in(m.f, h, CKU_USER, "1234") == CKR_OK);  // nothing to write
        check(set_pin(m.f, h, "1234", "5678") == CKR_DEVICE_ERROR);
        check(m.f->C_Logout(h) == CKR_OK);
        check(log_in(m.f, h, CKU_SO, "00000000") == CKR_DEVICE_ERROR);
        check(log_in(m.f, h, CKU_SO, "12345678") == CKR_OK);
        check(init_pin(m.f, h, "5678") == CKR_DEVICE_ERROR);
        check(set_pin(m.f, h, "12345678", "87654321") == CKR_DEVICE_ERROR);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "check " << WEXITSTATUS(status) << " failed";
    EXPECT_EQ(read_file(state_), text) << "the file is unchanged";
    struct stat st {};
    ASSERT_EQ(stat(state_.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid) << "not replaced by a file of another owner";
    EXPECT_EQ(st.st_mode & 07777, 0444u);

    // A change that may be written keeps the owner and mode of the file it replaces.
    ASSERT_EQ(chmod(state_.c_str(), 0640), 0);
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_EQ(log_in(f, open_session(), CKU_USER, "0000"), CKR_PIN_INCORRECT);
    ASSERT_EQ(stat(state_.c_str(), &st), 0);
    EXPECT_EQ(card_value(state_, "pin_tries"), "2");
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_gid, gid);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(SimCard, TraceGoesOnlyIntoAFileOfTheUsersOwn) {
    // A new trace is its owner's alone, whatever the umask would let through.
    const std::string trace = dir_ + "/trace.log";
    ScopedEnv tracing("SIMCARD_TRACE", trace.c_str());
    const mode_t mask = umask(0);
    ASSERT_NO_FATAL_FAILURE(start(state_text({labelled_reader("card1", true)})));
    umask(mask);
    struct stat st {};
    ASSERT_EQ(stat(trace.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(read_file(trace).find("C_Initialize args=null rv=0x0\n"), std::string::npos);
    stop();

    // Something planted at the trace's name: no line goes anywhere, nothing blocks. (The
    // other cases of the check it shares with the trace log are tested with the log.)
    struct Plant {
        const char* name;
        void (*plant)(const std::string& other, const std::string& trace);
    };
    const Plant plants[] = {
        {"link to a file",
         [](const std::string& other, const std::string& t) {
             EXPECT_EQ(symlink(other.c_str(), t.c_str()), 0);
         }},
        {"link to nowhere",
         [](const std::string& other, const std::string& t) {
             EXPECT_EQ(symlink((other + ".absent").c_str(), t.c_str()), 0);
         }},
        {"FIFO",
         [](const std::string&, const std::string& t) { EXPECT_EQ(mkfifo(t.c_str(), 0666), 0); }},
    };
    const std::string other = dir_ + "/other";
    for (const Plant& p : plants) {
        SCOPED_TRACE(p.name);
        unlink(trace.c_str());
        ASSERT_TRUE(write_file(other, "someone's data\n"));
        p.plant(other, trace);
        ASSERT_NO_FATAL_FAILURE(restart());
        EXPECT_EQ(log_in(f, open_session(), CKU_USER, "1234"), CKR_OK);
        stop();
        EXPECT_EQ(read_file(other), "someone's data\n");
        EXPECT_NE(access((other + ".absent").c_str(), F_OK), 0) << "no file made through a link";
    }
}

TEST_F(SimCard, ALockHeldElsewhereIsWaitedForABoundedTime) {
    // Whoever holds the state file's lock (another user who may read it, before cards were
    // made 0600 in a 0700 folder) makes the card busy, never frozen; here for a wait set
    // shorter than its default.
    ScopedEnv wait("SIMCARD_LOCK_WAIT_MS", "300");
    ASSERT_TRUE(write_file(state_, state_text({labelled_reader("card1", true)})));
    const int holder = open(state_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    ASSERT_NO_FATAL_FAILURE(load());
    const auto waited = [](auto&& call) {
        const auto start = std::chrono::steady_clock::now();
        const CK_RV rv = call();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(seconds, 0.3) << "the lock is waited for as long as set";
        EXPECT_LT(seconds, 2.5) << "but not for the default time";
        return rv;
    };
    testing::internal::CaptureStderr();
    EXPECT_EQ(waited([&] { return f->C_Initialize(nullptr); }), CKR_DEVICE_ERROR);
    EXPECT_NE(
        testing::internal::GetCapturedStderr().find("stayed locked by another process for 300 ms"),
        std::string::npos);

    // Initialised while the lock is free, then held again: a login is busy and uses no try.
    ASSERT_EQ(flock(holder, LOCK_UN), 0);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    const CK_SESSION_HANDLE h = open_session();
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    EXPECT_EQ(waited([&] { return log_in(f, h, CKU_USER, "0000"); }), CKR_DEVICE_ERROR);
    ASSERT_EQ(flock(holder, LOCK_UN), 0);
    close(holder);
    EXPECT_EQ(card_value(state_, "pin_tries"), "3");
    EXPECT_EQ(log_in(f, h, CKU_USER, "1234"), CKR_OK);
}

// DER of an OpenSSL object through its i2d function.
template <typename T>
std::string der_of(const T* object, int (*i2d)(const T*, unsigned char**)) {
    unsigned char* out = nullptr;
    int len = i2d(object, &out);
    std::string der = len > 0 ? std::string(reinterpret_cast<char*>(out), len) : "";
    OPENSSL_free(out);
    return der;
}

// The SHA-1 of the public key of the certificate `der`, the ID the card gives it; "" when
// `der` is no certificate.
std::string key_id_of(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<X509, decltype(&X509_free)> x(d2i_X509(nullptr, &p, long(der.size())),
                                                  X509_free);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (x == nullptr || X509_pubkey_digest(x.get(), EVP_sha1(), md, &len) != 1) {
        return "";
    }
    return std::string(reinterpret_cast<char*>(md), len);
}

TEST_F(SimCard, CertificatesCarryTheStandardsAttributes) {
    ASSERT_TRUE(write_file(dir_ + "/certs/broken.der", "not a certificate"));
    ASSERT_TRUE(copy_file(dir_ + "/certs/signing.der", dir_ + "/certs/copy.der"));
    ASSERT_NO_FATAL_FAILURE(start(state_text({labelled_reader(
        "card1", true, {"certs/signing.der", "certs/broken.der", "certs/copy.der"})})));
    CK_SESSION_HANDLE h = open_session(0, CKF_SERIAL_SESSION);
    const std::string der = read_file(dir_ + "/certs/signing.der");
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<X509, decltype(&X509_free)> x(d2i_X509(nullptr, &p, long(der.size())),
                                                  X509_free);
    ASSERT_NE(x, nullptr);
    const std::string key_id = key_id_of(der);
    ASSERT_FALSE(key_id.empty());
    unsigned char sha[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), sha);
    char signing[] = "signing", broken[] = "broken";
    std::vector<CK_OBJECT_HANDLE> good = find_objects(f, h, {{CKA_LABEL, signing, 7}});
    std::vector<CK_OBJECT_HANDLE> bad = find_objects(f, h, {{CKA_LABEL, broken, 6}});
    ASSERT_EQ(good.size(), 1u);
    ASSERT_EQ(bad.size(), 1u);
    const std::string no(1, CK_FALSE);
    const CK_ULONG token_user = 1;
    struct Expected {
        CK_ATTRIBUTE_TYPE type;
        std::string good, bad;  // what the certificate and the broken file answer
    };
    const Expected table[] = {
        {CKA_SUBJECT, der_of(X509_get_subject_name(x.get()), i2d_X509_NAME), ""},
        {CKA_ISSUER, der_of(X509_get_issuer_name(x.get()), i2d_X509_NAME), ""},
        {CKA_SERIAL_NUMBER, der_of(X509_get0_serialNumber(x.get()), i2d_ASN1_INTEGER), ""},
        {CKA_ID, key_id, ""},
        {CKA_CHECK_VALUE, std::string(reinterpret_cast<char*>(sha), 3), "?"},
        {CKA_CERTIFICATE_CATEGORY, std::string(reinterpret_cast<const char*>(&token_user), 8),
         std::string(reinterpret_cast<const char*>(&token_user), 8)},
        {CKA_TRUSTED, no, no},
        {CKA_COPYABLE, no, no},
        {CKA_DESTROYABLE, no, no},
        {CKA_MODIFIABLE, no, no},
        {CKA_START_DATE, "", ""},
        {CKA_END_DATE, "", ""},
        {CKA_VALUE, der, "not a certificate"},
    };
    for (const Expected& e : table) {
        SCOPED_TRACE(e.type);
        CK_RV rv = CKR_GENERAL_ERROR;
        EXPECT_EQ(attribute_value(f, h, good[0], e.type, &rv), e.good);
        EXPECT_EQ(rv, CKR_OK);
        std::string answer = attribute_value(f, h, bad[0], e.type, &rv);
        EXPECT_EQ(rv, CKR_OK) << "a broken file still answers, empty where it must";
        EXPECT_EQ(e.bad == "?" ? std::to_string(answer.size()) : answer,
                  e.bad == "?" ? "3" : e.bad);
    }
    // The ID belongs to the certificate: its copy has it, and it finds both.
    std::string id = key_id;
    EXPECT_EQ(find_objects(f, h, {{CKA_ID, &id[0], id.size()}}).size(), 2u);
    std::string subject = table[0].good;
    EXPECT_EQ(find_objects(f, h, {{CKA_SUBJECT, &subject[0], subject.size()}}).size(), 2u);
}

TEST_F(SimCard, ThirdPartyClientsFindNoFault) {
    ASSERT_TRUE(write_file(state_, state_text({labelled_reader("card1", true, kCerts)})));
    auto [status, test] = run_command(TOOL_ENV "pkcs11-tool --module '" SIMCARD_PATH
                                               "' --test --login --pin 1234 2>&1");
    EXPECT_EQ(status, 0) << test;
    EXPECT_NE(test.find("No errors"), std::string::npos) << test;
    EXPECT_NE(test.find("RNG not available"), std::string::npos) << test;

    auto [listed, objects] =
        run_command(TOOL_ENV "pkcs11-tool --module '" SIMCARD_PATH "' --list-objects 2>&1");
    EXPECT_EQ(listed, 0) << objects;
    EXPECT_NE(objects.find("subject:    DN: CN=Demo Card Signing, O=Pin Manager project"),
              std::string::npos)
        << objects;
    EXPECT_NE(objects.find("subject:    DN: CN=Demo Card Authentication, O=Pin Manager project"),
              std::string::npos)
        << objects;

    // p11tool (GnuTLS) names each certificate by its ID, the hash of its public key.
    auto [found, certs] = run_command(TOOL_ENV "p11tool --provider '" SIMCARD_PATH
                                               "' --list-all-certs 'pkcs11:token=card1' 2>&1");
    EXPECT_EQ(found, 0) << certs;
    for (const char* name : {"signing", "authentication"}) {
        const std::string id =
            hex_text(key_id_of(read_file(dir_ + "/certs/" + name + ".der")), ":");
        ASSERT_FALSE(id.empty()) << name;
        EXPECT_NE(certs.find("\tLabel: " + std::string(name) + "\n\tID: " + id + "\n"),
                  std::string::npos)
            << name << " with ID " << id << " in:\n"
            << certs;
    }
}

// Seconds from now until the certificate's notAfter.
long seconds_left(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (cert == nullptr) {
        return LONG_MIN;
    }
    int days = 0, secs = 0;
    long left = LONG_MIN;
    if (ASN1_TIME_diff(&days, &secs, nullptr, X509_get0_notAfter(cert)) == 1) {
        left = days * 86400L + secs;
    }
    X509_free(cert);
    return left;
}

TEST_F(SimCard, DemoCardIsStaged) {
    // A copy: the staged card is the user's and no test writes to it.
    const std::string stage = STAGE_DIR;
    EXPECT_EQ(std::string(SIMCARD_PATH), stage + "/libsimcard.so");
    for (const char* name : {"signing", "authentication"}) {
        ASSERT_TRUE(copy_file(stage + "/certs/" + name + ".der", dir_ + "/certs/" + name + ".der"));
    }
    ASSERT_NO_FATAL_FAILURE(start(read_file(stage + "/simcard.state")));
    ASSERT_EQ(slot_list(f, false).size(), 1u);
    ASSERT_EQ(slot_list(f, true).size(), 1u);
    EXPECT_EQ(unpad(token_info().label, 32), "Demo Card");
    CK_SESSION_HANDLE h = open_session();
    CK_OBJECT_CLASS cert = CKO_CERTIFICATE;
    CK_BBOOL yes = CK_TRUE;
    std::vector<CK_OBJECT_HANDLE> certs =
        find_objects(f, h, {{CKA_CLASS, &cert, sizeof cert}, {CKA_TOKEN, &yes, 1}});
    ASSERT_EQ(certs.size(), 2u);
    std::vector<long> left;
    for (CK_OBJECT_HANDLE o : certs) {
        left.push_back(seconds_left(attribute_value(f, h, o, CKA_VALUE)));
    }
    std::sort(left.begin(), left.end());
    EXPECT_GT(left[0], 0) << "not yet expired";
    EXPECT_LT(left[0], 10 * 86400L) << "expires within ten days";
    EXPECT_GT(left[1], 365 * 86400L) << "valid for years";
    EXPECT_EQ(log_in(f, h, CKU_USER, "1234"), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    EXPECT_EQ(log_in(f, h, CKU_SO, "12345678"), CKR_OK);
}

}  // namespace
