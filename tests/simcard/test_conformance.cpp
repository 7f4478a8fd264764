// SPDX-License-Identifier: MIT
// PKCS#11 conformance checks run against the simulated card and, for the same flows,
// against SoftHSM2 served by p11-kit, so that the simulation keeps to the standard.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>

#include "harness.h"

using namespace support;

namespace {

enum Kind { kSimCard, kSoftHsm };

const std::string kPin = "1234";
const std::string kPuk = "12345678";
constexpr CK_SLOT_ID kBadSlot = 0xDEAD;
constexpr CK_SESSION_HANDLE kBadSession = 0xDEADBEEF;
constexpr CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;
constexpr CK_FLAGS kUserPinBits =
    CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
constexpr CK_FLAGS kSoPinBits = CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_LOCKED;

// Why SoftHSM2 sits out some checks.
constexpr const char* kNoTries =
    "SoftHSM2 counts no tries: it sets COUNT_LOW after a wrong PIN but never FINAL_TRY or "
    "LOCKED, and never answers CKR_PIN_LOCKED";

std::string test_cert(const char* name) {
    return std::string(TEST_CARD_DIR) + "/certs/" + name + ".der";
}

class Conformance : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        ASSERT_NO_FATAL_FAILURE(bring(1));
    }

    void TearDown() override {
        down();
        remove_tree(dir_);
    }

    bool is_sim() const { return GetParam() == kSimCard; }

    // Replaces the cards with `cards` fresh ones, each holding the two test certificates,
    // then loads and initialises the module.
    void bring(int cards) {
        down();
        std::string card = dir_ + "/card" + std::to_string(++generation_);
        std::string module;
        if (is_sim()) {
            ASSERT_EQ(mkdir(card.c_str(), 0700), 0);
            ASSERT_EQ(mkdir((card + "/certs").c_str(), 0700), 0);
            ASSERT_TRUE(copy_file(test_cert("signing"), card + "/certs/signing.der"));
            ASSERT_TRUE(copy_file(test_cert("authentication"), card + "/certs/authentication.der"));
            std::vector<CardReader> readers;
            for (int i = 1; i <= cards; ++i) {
                readers.push_back(
                    labelled_reader("card" + std::to_string(i), true,
                                    {"certs/signing.der", "certs/authentication.der"}));
            }
            ASSERT_TRUE(write_file(card + "/simcard.state", state_text(readers)));
            env_.push_back(
                std::make_unique<ScopedEnv>("SIMCARD_STATE", (card + "/simcard.state").c_str()));
            module = SIMCARD_PATH;
        } else {
            std::string cmd = std::string(SOFTHSM_FIXTURE) + " start " + card + " --cards " +
                              std::to_string(cards) + " --cert " + test_cert("signing") +
                              " --cert " + test_cert("authentication") + " >" + card + ".env 2>" +
                              card + ".err";
            ASSERT_EQ(std::system(cmd.c_str()), 0) << read_file(card + ".err");
            hsm_dir_ = card;
            for (const auto& [name, value] : read_exports(card + ".env")) {
                env_.push_back(std::make_unique<ScopedEnv>(name.c_str(), value.c_str()));
                if (name == "PKCS11_MODULE") {
                    module = value;
                }
            }
            ASSERT_FALSE(module.empty());
        }
        std::string why;
        ASSERT_TRUE(mod_.load(module, &why)) << why;
        f = mod_.f;
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        initialized_ = true;
    }

    void down() {
        if (f != nullptr && initialized_) {
            f->C_Finalize(nullptr);
        }
        initialized_ = false;
        mod_.unload();
        f = nullptr;
        if (!hsm_dir_.empty()) {
            EXPECT_EQ(std::system((std::string(SOFTHSM_FIXTURE) + " stop " + hsm_dir_).c_str()), 0)
                << "the SoftHSM2 card did not stop";
            hsm_dir_.clear();
        }
        env_.clear();
    }

    CK_SLOT_ID slot_at(size_t i = 0) {
        std::vector<CK_SLOT_ID> slots = slot_list(f, true);
        EXPECT_GT(slots.size(), i);
        return slots.size() > i ? slots[i] : kBadSlot;
    }

    CK_SESSION_HANDLE open_session(CK_FLAGS flags = kRw, size_t slot = 0) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(f->C_OpenSession(slot_at(slot), flags, nullptr, nullptr, &h), CKR_OK);
        return h;
    }

    CK_STATE State(CK_SESSION_HANDLE h) {
        CK_SESSION_INFO info{};
        EXPECT_EQ(f->C_GetSessionInfo(h, &info), CKR_OK);
        return info.state;
    }

    CK_FLAGS token_flags(size_t slot = 0) {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(f->C_GetTokenInfo(slot_at(slot), &info), CKR_OK);
        return info.flags;
    }

    CK_FUNCTION_LIST_PTR f = nullptr;
    std::string dir_;

private:
    Module mod_;
    bool initialized_ = false;
    int generation_ = 0;
    std::string hsm_dir_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
};

TEST_P(Conformance, LibraryLifecycle) {
    EXPECT_EQ(f->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    CK_INFO info{};
    ASSERT_EQ(f->C_GetInfo(&info), CKR_OK);
    // A 2.x module, or a 3.x one (SoftHSM2 2.6 on Debian 13), whose C_GetFunctionList still
    // gives the 2.x list.
    EXPECT_TRUE(info.cryptokiVersion.major == 2 || info.cryptokiVersion.major == 3)
        << int(info.cryptokiVersion.major);
    EXPECT_TRUE(blank_padded(info.manufacturerID, sizeof info.manufacturerID));
    EXPECT_TRUE(blank_padded(info.libraryDescription, sizeof info.libraryDescription));
    EXPECT_EQ(f->C_GetInfo(nullptr), CKR_ARGUMENTS_BAD);

    int reserved = 0;
    EXPECT_EQ(f->C_Finalize(&reserved), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    CK_ULONG count = 0;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(f->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);

    // Initialisation arguments: reserved must be null, mutex functions all or none.
    // p11-kit's client ignores pReserved and answers CKR_CANT_LOCK to some mutex functions.
    CK_C_INITIALIZE_ARGS args{};
    if (is_sim()) {
        args.flags = CKF_OS_LOCKING_OK;
        args.pReserved = &reserved;
        EXPECT_EQ(f->C_Initialize(&args), CKR_ARGUMENTS_BAD) << "reserved not null";
        args = CK_C_INITIALIZE_ARGS{};
        args.CreateMutex = [](CK_VOID_PTR_PTR) -> CK_RV { return CKR_OK; };
        EXPECT_EQ(f->C_Initialize(&args), CKR_ARGUMENTS_BAD) << "some mutex functions only";
    }
    args = CK_C_INITIALIZE_ARGS{};
    args.flags = CKF_OS_LOCKING_OK;
    ASSERT_EQ(f->C_Initialize(&args), CKR_OK);
    EXPECT_EQ(slot_list(f, true).size(), 1u);
}

TEST_P(Conformance, SlotListQueries) {
    CK_ULONG count = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    count = 0;
    ASSERT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);

    CK_SLOT_ID list[4] = {kBadSlot, kBadSlot, kBadSlot, kBadSlot};
    count = 0;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, list, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 1u) << "the count needed";
    count = 4;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, list, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_NE(list[0], kBadSlot);
    EXPECT_EQ(list[1], kBadSlot) << "nothing written past the slots";
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, list, nullptr), CKR_ARGUMENTS_BAD);
}

TEST_P(Conformance, SlotAndTokenInfo) {
    CK_SLOT_ID slot = slot_at();
    CK_SLOT_INFO si{};
    ASSERT_EQ(f->C_GetSlotInfo(slot, &si), CKR_OK);
    EXPECT_TRUE(si.flags & CKF_TOKEN_PRESENT);
    EXPECT_TRUE(blank_padded(si.slotDescription, sizeof si.slotDescription));
    EXPECT_TRUE(blank_padded(si.manufacturerID, sizeof si.manufacturerID));

    CK_TOKEN_INFO ti{};
    ASSERT_EQ(f->C_GetTokenInfo(slot, &ti), CKR_OK);
    EXPECT_EQ(unpad(ti.label, sizeof ti.label), "card1");
    EXPECT_TRUE(blank_padded(ti.label, sizeof ti.label));
    EXPECT_TRUE(blank_padded(ti.manufacturerID, sizeof ti.manufacturerID));
    EXPECT_TRUE(blank_padded(ti.model, sizeof ti.model));
    EXPECT_TRUE(blank_padded(ti.serialNumber, sizeof ti.serialNumber));
    EXPECT_TRUE(ti.flags & CKF_LOGIN_REQUIRED);
    EXPECT_TRUE(ti.flags & CKF_USER_PIN_INITIALIZED);
    EXPECT_TRUE(ti.flags & CKF_TOKEN_INITIALIZED);
    EXPECT_EQ(ti.flags & (kUserPinBits | kSoPinBits), 0u);
    EXPECT_EQ(ti.ulMinPinLen, 4u);
    EXPECT_GE(ti.ulMaxPinLen, 8u);

    if (is_sim()) {  // SoftHSM2's own texts and flags differ; these are the state file's
        EXPECT_EQ(si.flags, CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
        EXPECT_EQ(unpad(si.slotDescription, sizeof si.slotDescription), "Simulated Reader 0");
        EXPECT_EQ(unpad(ti.serialNumber, sizeof ti.serialNumber), "SN-card1");
        EXPECT_EQ(unpad(ti.model, sizeof ti.model), "SimCard");
        EXPECT_EQ(unpad(ti.manufacturerID, sizeof ti.manufacturerID), "Pin Manager project");
        EXPECT_EQ(ti.ulMaxPinLen, 8u);
        EXPECT_EQ(ti.flags, CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED);
    }

    EXPECT_EQ(f->C_GetSlotInfo(kBadSlot, &si), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(f->C_GetTokenInfo(kBadSlot, &ti), CKR_SLOT_ID_INVALID);
}

TEST_P(Conformance, SessionsAndHandles) {
    CK_SLOT_ID slot = slot_at();
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(f->C_OpenSession(slot, CKF_RW_SESSION, nullptr, nullptr, &h),
              CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(f->C_OpenSession(kBadSlot, kRw, nullptr, nullptr, &h), CKR_SLOT_ID_INVALID);

    std::set<CK_SESSION_HANDLE> seen;
    for (int i = 0; i < 5; ++i) {
        CK_SESSION_HANDLE s = open_session();
        seen.insert(s);
        EXPECT_EQ(f->C_CloseSession(s), CKR_OK);
        EXPECT_EQ(f->C_CloseSession(s), CKR_SESSION_HANDLE_INVALID);
        CK_SESSION_INFO gone{};
        EXPECT_EQ(f->C_GetSessionInfo(s, &gone), CKR_SESSION_HANDLE_INVALID);
    }
    EXPECT_EQ(seen.size(), 5u) << "a closed session's handle came back";

    CK_SESSION_HANDLE rw = open_session(kRw);
    CK_SESSION_HANDLE ro = open_session(CKF_SERIAL_SESSION);
    EXPECT_NE(rw, ro);
    CK_SESSION_INFO info{};
    ASSERT_EQ(f->C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.slotID, slot);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(info.flags & kRw, kRw);
    ASSERT_EQ(f->C_GetSessionInfo(ro, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    EXPECT_EQ(info.flags & kRw, CKF_SERIAL_SESSION);
    if (is_sim()) {  // SoftHSM2 reports its session counts as unavailable
        CK_TOKEN_INFO ti{};
        ASSERT_EQ(f->C_GetTokenInfo(slot, &ti), CKR_OK);
        EXPECT_EQ(ti.ulSessionCount, 2u);
        EXPECT_EQ(ti.ulRwSessionCount, 1u);
    }

    if (is_sim()) {  // p11-kit's client answers CKR_OK for a slot it does not know
        EXPECT_EQ(f->C_CloseAllSessions(kBadSlot), CKR_SLOT_ID_INVALID);
    }
    ASSERT_EQ(f->C_CloseAllSessions(slot), CKR_OK);
    EXPECT_EQ(f->C_GetSessionInfo(rw, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f->C_GetSessionInfo(ro, &info), CKR_SESSION_HANDLE_INVALID);
}

TEST_P(Conformance, LoginStateIsSharedByTheTokensSessions) {
    CK_SESSION_HANDLE a = open_session();
    CK_SESSION_HANDLE b = open_session();
    ASSERT_EQ(log_in(f, a, CKU_USER, kPin), CKR_OK);
    EXPECT_EQ(State(a), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(State(b), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(log_in(f, b, CKU_USER, kPin), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(log_in(f, b, CKU_SO, kPuk), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
    ASSERT_EQ(f->C_Logout(b), CKR_OK);
    EXPECT_EQ(State(a), CKS_RW_PUBLIC_SESSION);
    if (is_sim()) {  // SoftHSM2 answers CKR_OK to a logout without login
        EXPECT_EQ(f->C_Logout(a), CKR_USER_NOT_LOGGED_IN);
    }
    EXPECT_EQ(log_in(f, a, 7, kPin), CKR_USER_TYPE_INVALID);

    // The login outlives a closed session but not the token's last one.
    ASSERT_EQ(log_in(f, a, CKU_USER, kPin), CKR_OK);
    ASSERT_EQ(f->C_CloseSession(a), CKR_OK);
    EXPECT_EQ(State(b), CKS_RW_USER_FUNCTIONS);
    ASSERT_EQ(f->C_CloseSession(b), CKR_OK);
    CK_SESSION_HANDLE c = open_session();
    EXPECT_EQ(State(c), CKS_RW_PUBLIC_SESSION);

    // The security officer works in read-write sessions only.
    CK_SESSION_HANDLE ro = open_session(CKF_SERIAL_SESSION);
    EXPECT_EQ(log_in(f, c, CKU_SO, kPuk), CKR_SESSION_READ_ONLY_EXISTS);
    ASSERT_EQ(f->C_CloseSession(ro), CKR_OK);
    ASSERT_EQ(log_in(f, c, CKU_SO, kPuk), CKR_OK);
    EXPECT_EQ(State(c), CKS_RW_SO_FUNCTIONS);
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(f->C_OpenSession(slot_at(), CKF_SERIAL_SESSION, nullptr, nullptr, &h),
              CKR_SESSION_READ_WRITE_SO_EXISTS);
}

TEST_P(Conformance, WrongPinSetsCountLowAndRightPinClearsIt) {
    CK_SESSION_HANDLE h = open_session();
    EXPECT_EQ(log_in(f, h, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(token_flags() & kUserPinBits, CKF_USER_PIN_COUNT_LOW);
    EXPECT_EQ(log_in(f, h, CKU_USER, "12345"), CKR_PIN_INCORRECT) << "a longer PIN";
    ASSERT_EQ(log_in(f, h, CKU_USER, kPin), CKR_OK);
    EXPECT_EQ(token_flags() & kUserPinBits, 0u);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);

    EXPECT_EQ(log_in(f, h, CKU_SO, "00000000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(token_flags() & (kUserPinBits | kSoPinBits), CKF_SO_PIN_COUNT_LOW);
    ASSERT_EQ(log_in(f, h, CKU_SO, kPuk), CKR_OK);
    EXPECT_EQ(token_flags() & kSoPinBits, 0u);
}

TEST_P(Conformance, PinLocksOnItsLastTry) {
    if (!is_sim()) {
        GTEST_SKIP() << kNoTries;
    }
    CK_SESSION_HANDLE h = open_session();
    // A right PIN restores all three tries.
    EXPECT_EQ(log_in(f, h, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(log_in(f, h, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(token_flags() & kUserPinBits, CKF_USER_PIN_FINAL_TRY);
    ASSERT_EQ(log_in(f, h, CKU_USER, kPin), CKR_OK);
    EXPECT_EQ(token_flags() & kUserPinBits, 0u);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);

    // One flag at a time, as real cards set them.
    EXPECT_EQ(log_in(f, h, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(token_flags() & kUserPinBits, CKF_USER_PIN_COUNT_LOW);
    EXPECT_EQ(log_in(f, h, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(token_flags() & kUserPinBits, CKF_USER_PIN_FINAL_TRY);
    EXPECT_EQ(log_in(f, h, CKU_USER, "0000"), CKR_PIN_INCORRECT) << "the last try";
    EXPECT_EQ(token_flags() & kUserPinBits, CKF_USER_PIN_LOCKED);
    EXPECT_EQ(log_in(f, h, CKU_USER, kPin), CKR_PIN_LOCKED) << "locked, even with the right PIN";
    EXPECT_EQ(set_pin(f, h, kPin, "5678"), CKR_PIN_LOCKED);
    EXPECT_EQ(token_flags() & kSoPinBits, 0u) << "the PUK is not touched";

    // The security officer sets a new PIN, which lifts the lock.
    ASSERT_EQ(log_in(f, h, CKU_SO, kPuk), CKR_OK);
    ASSERT_EQ(init_pin(f, h, "4321"), CKR_OK);
    EXPECT_EQ(token_flags() & kUserPinBits, 0u);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    EXPECT_EQ(log_in(f, h, CKU_USER, "4321"), CKR_OK);
}

TEST_P(Conformance, PukLocksOnItsLastTry) {
    if (!is_sim()) {
        GTEST_SKIP() << kNoTries;
    }
    CK_SESSION_HANDLE h = open_session();
    for (int i = 1; i <= 8; ++i) {
        EXPECT_EQ(log_in(f, h, CKU_SO, "00000000"), CKR_PIN_INCORRECT);
    }
    EXPECT_EQ(token_flags() & kSoPinBits, CKF_SO_PIN_COUNT_LOW);
    EXPECT_EQ(log_in(f, h, CKU_SO, "00000000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(token_flags() & kSoPinBits, CKF_SO_PIN_FINAL_TRY);
    EXPECT_EQ(log_in(f, h, CKU_SO, "00000000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(token_flags() & (kSoPinBits | kUserPinBits), CKF_SO_PIN_LOCKED);
    EXPECT_EQ(log_in(f, h, CKU_SO, kPuk), CKR_PIN_LOCKED);
    // The user PIN still works and still changes.
    ASSERT_EQ(log_in(f, h, CKU_USER, kPin), CKR_OK);
    EXPECT_EQ(set_pin(f, h, kPin, "5678"), CKR_OK);
}

TEST_P(Conformance, SetPinChangesThePinOfWhoeverIsLoggedIn) {
    CK_SESSION_HANDLE h = open_session();
    ASSERT_EQ(log_in(f, h, CKU_USER, kPin), CKR_OK);
    EXPECT_EQ(set_pin(f, h, "9999", "5678"), CKR_PIN_INCORRECT);
    EXPECT_TRUE(token_flags() & CKF_USER_PIN_COUNT_LOW) << "a wrong old PIN uses a try";
    EXPECT_EQ(set_pin(f, h, kPin, "12"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(set_pin(f, h, kPin, std::string(300, '7')), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(set_pin(f, h, kPin, "5678"), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    EXPECT_EQ(log_in(f, h, CKU_USER, kPin), CKR_PIN_INCORRECT);
    ASSERT_EQ(log_in(f, h, CKU_USER, "5678"), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);

    // Logged in as security officer: the PUK changes.
    ASSERT_EQ(log_in(f, h, CKU_SO, kPuk), CKR_OK);
    ASSERT_EQ(set_pin(f, h, kPuk, "87654321"), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    EXPECT_EQ(log_in(f, h, CKU_SO, kPuk), CKR_PIN_INCORRECT);
    ASSERT_EQ(log_in(f, h, CKU_SO, "87654321"), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);

    // Nobody logged in: the user PIN changes.
    ASSERT_EQ(set_pin(f, h, "5678", "2468"), CKR_OK);
    ASSERT_EQ(log_in(f, h, CKU_USER, "2468"), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);

    CK_SESSION_HANDLE ro = open_session(CKF_SERIAL_SESSION);
    EXPECT_EQ(set_pin(f, ro, "2468", "1357"), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(log_in(f, h, CKU_USER, "2468"), CKR_OK) << "the refused change changed nothing";
}

TEST_P(Conformance, InitPinNeedsTheSecurityOfficer) {
    CK_SESSION_HANDLE h = open_session();
    EXPECT_EQ(init_pin(f, h, "4321"), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(log_in(f, h, CKU_USER, kPin), CKR_OK);
    EXPECT_EQ(init_pin(f, h, "4321"), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    ASSERT_EQ(log_in(f, h, CKU_SO, kPuk), CKR_OK);
    EXPECT_EQ(init_pin(f, h, "12"), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(init_pin(f, h, std::string(300, '1')), CKR_PIN_LEN_RANGE);
    ASSERT_EQ(init_pin(f, h, "4321"), CKR_OK);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    EXPECT_EQ(log_in(f, h, CKU_USER, kPin), CKR_PIN_INCORRECT);
    EXPECT_EQ(log_in(f, h, CKU_USER, "4321"), CKR_OK);
}

TEST_P(Conformance, CertificatesAreReadableWithoutLogin) {
    const std::string signing = read_file(test_cert("signing"));
    const std::string authentication = read_file(test_cert("authentication"));
    ASSERT_FALSE(signing.empty());
    CK_SESSION_HANDLE h = open_session(CKF_SERIAL_SESSION);
    CK_OBJECT_CLASS cert = CKO_CERTIFICATE;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;

    std::vector<CK_OBJECT_HANDLE> all =
        find_objects(f, h, {{CKA_CLASS, &cert, sizeof cert}, {CKA_TOKEN, &yes, 1}});
    ASSERT_EQ(all.size(), 2u);
    std::set<std::string> values, labels;
    for (CK_OBJECT_HANDLE o : all) {
        values.insert(attribute_value(f, h, o, CKA_VALUE));
        labels.insert(attribute_value(f, h, o, CKA_LABEL));
        EXPECT_EQ(attribute_value(f, h, o, CKA_CLASS),
                  std::string(reinterpret_cast<char*>(&cert), sizeof cert));
        EXPECT_EQ(attribute_value(f, h, o, CKA_CERTIFICATE_TYPE),
                  std::string(reinterpret_cast<char*>(&x509), sizeof x509));
        EXPECT_EQ(attribute_value(f, h, o, CKA_TOKEN), std::string(1, CK_TRUE));
        EXPECT_EQ(attribute_value(f, h, o, CKA_PRIVATE), std::string(1, CK_FALSE));
    }
    EXPECT_EQ(values, (std::set<std::string>{signing, authentication}));
    EXPECT_EQ(labels, (std::set<std::string>{"signing", "authentication"}));

    // Every attribute can select.
    char label[] = "signing";
    std::vector<CK_OBJECT_HANDLE> one = find_objects(f, h, {{CKA_LABEL, label, 7}});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(attribute_value(f, h, one[0], CKA_VALUE), signing);
    one = find_objects(
        f, h, {{CKA_VALUE, const_cast<char*>(authentication.data()), authentication.size()}});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(attribute_value(f, h, one[0], CKA_LABEL), "authentication");
    EXPECT_EQ(
        find_objects(f, h, {{CKA_PRIVATE, &no, 1}, {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}})
            .size(),
        2u);
    EXPECT_EQ(find_objects(f, h, {{CKA_LABEL, label, 4}}).size(), 0u) << "no prefix match";
    CK_OBJECT_CLASS key = CKO_PRIVATE_KEY;
    EXPECT_EQ(find_objects(f, h, {{CKA_CLASS, &key, sizeof key}}).size(), 0u);

    // Length query, short buffer, unknown attribute.
    CK_ATTRIBUTE a = {CKA_VALUE, nullptr, 0};
    ASSERT_EQ(f->C_GetAttributeValue(h, one[0], &a, 1), CKR_OK);
    EXPECT_EQ(a.ulValueLen, authentication.size());
    std::string buf(authentication.size() - 1, '\0');
    a = {CKA_VALUE, &buf[0], buf.size()};
    EXPECT_EQ(f->C_GetAttributeValue(h, one[0], &a, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(a.ulValueLen, CK_UNAVAILABLE_INFORMATION);
    char lbuf[64] = {};
    CK_ATTRIBUTE two[2] = {{CKA_LABEL, lbuf, sizeof lbuf}, {CKA_MODULUS, nullptr, 0}};
    EXPECT_EQ(f->C_GetAttributeValue(h, one[0], two, 2), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(std::string(lbuf, two[0].ulValueLen), "authentication") << "the good one is filled";
    EXPECT_EQ(two[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);

    // find_objects operation states.
    CK_ATTRIBUTE tmpl = {CKA_CLASS, &cert, sizeof cert};
    CK_OBJECT_HANDLE found[16];
    CK_ULONG n = 0;
    EXPECT_EQ(f->C_FindObjects(h, found, 16, &n), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(f->C_FindObjectsInit(h, &tmpl, 1), CKR_OK);
    EXPECT_EQ(f->C_FindObjectsInit(h, &tmpl, 1), CKR_OPERATION_ACTIVE);
    ASSERT_EQ(f->C_FindObjects(h, found, 16, &n), CKR_OK);
    EXPECT_EQ(n, 2u);
    ASSERT_EQ(f->C_FindObjects(h, found, 16, &n), CKR_OK);
    EXPECT_EQ(n, 0u) << "each object once";
    EXPECT_EQ(f->C_FindObjectsFinal(h), CKR_OK);
    EXPECT_EQ(f->C_FindObjectsFinal(h), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_FindObjects(h, found, 16, &n), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_P(Conformance, BadArgumentsAndUnknownHandles) {
    CK_SLOT_ID slot = slot_at();
    CK_SESSION_HANDLE h = open_session();
    EXPECT_EQ(f->C_GetSlotInfo(slot, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_GetTokenInfo(slot, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_OpenSession(slot, kRw, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_GetSessionInfo(h, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_Login(h, CKU_USER, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_SetPIN(h, nullptr, 4, nullptr, 4), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_FindObjectsInit(h, nullptr, 2), CKR_ARGUMENTS_BAD);
    CK_OBJECT_CLASS cert = CKO_CERTIFICATE;
    CK_ATTRIBUTE tmpl = {CKA_CLASS, &cert, sizeof cert};
    ASSERT_EQ(f->C_FindObjectsInit(h, &tmpl, 1), CKR_OK);
    CK_OBJECT_HANDLE o = 0;
    CK_ULONG n = 0;
    EXPECT_EQ(f->C_FindObjects(h, &o, 1, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_FindObjects(h, nullptr, 1, &n), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(f->C_FindObjects(h, &o, 1, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(f->C_FindObjectsFinal(h), CKR_OK);
    EXPECT_EQ(f->C_GetAttributeValue(h, o, nullptr, 1), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(log_in(f, h, CKU_SO, kPuk), CKR_OK);
    EXPECT_EQ(f->C_InitPIN(h, nullptr, 4), CKR_ARGUMENTS_BAD);

    // Unknown session and object handles.
    CK_SESSION_INFO info;
    CK_BYTE pin[] = "1234";
    CK_ATTRIBUTE value = {CKA_VALUE, nullptr, 0};
    for (CK_SESSION_HANDLE bad : {CK_SESSION_HANDLE(0), kBadSession}) {
        EXPECT_EQ(f->C_CloseSession(bad), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_GetSessionInfo(bad, &info), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_Login(bad, CKU_USER, pin, 4), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_Logout(bad), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_SetPIN(bad, pin, 4, pin, 4), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_InitPIN(bad, pin, 4), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_FindObjectsInit(bad, &tmpl, 1), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_FindObjects(bad, &o, 1, &n), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_FindObjectsFinal(bad), CKR_SESSION_HANDLE_INVALID);
        EXPECT_EQ(f->C_GetAttributeValue(bad, o, &value, 1), CKR_SESSION_HANDLE_INVALID);
    }
    for (CK_OBJECT_HANDLE bad : {CK_OBJECT_HANDLE(0), CK_OBJECT_HANDLE(0xDEADBEEF), o + 1000}) {
        EXPECT_EQ(f->C_GetAttributeValue(h, bad, &value, 1), CKR_OBJECT_HANDLE_INVALID) << bad;
    }
}

TEST_P(Conformance, SeveralCards) {
    ASSERT_NO_FATAL_FAILURE(bring(2));
    CK_SLOT_ID list[2];
    CK_ULONG count = 1;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, list, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    std::vector<CK_SLOT_ID> slots = slot_list(f, true);
    ASSERT_EQ(slots.size(), 2u);
    std::set<std::string> labels;
    for (CK_SLOT_ID s : slots) {
        CK_TOKEN_INFO ti{};
        ASSERT_EQ(f->C_GetTokenInfo(s, &ti), CKR_OK);
        labels.insert(unpad(ti.label, sizeof ti.label));
    }
    EXPECT_EQ(labels, (std::set<std::string>{"card1", "card2"}));

    // Each card has its own login and its own counters.
    CK_SESSION_HANDLE a = open_session(kRw, 0);
    CK_SESSION_HANDLE b = open_session(kRw, 1);
    ASSERT_EQ(log_in(f, a, CKU_USER, kPin), CKR_OK);
    EXPECT_EQ(State(b), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(log_in(f, b, CKU_USER, "0000"), CKR_PIN_INCORRECT);
    EXPECT_TRUE(token_flags(1) & CKF_USER_PIN_COUNT_LOW);
    EXPECT_FALSE(token_flags(0) & CKF_USER_PIN_COUNT_LOW);
    EXPECT_EQ(log_in(f, b, CKU_USER, kPin), CKR_OK);
}

TEST_P(Conformance, NoCardMeansNoSlot) {
    ASSERT_NO_FATAL_FAILURE(bring(0));
    CK_ULONG count = 5;
    ASSERT_EQ(f->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    CK_SLOT_ID list[4];
    count = 4;
    ASSERT_EQ(f->C_GetSlotList(CK_TRUE, list, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
}

std::string kind_name(const ::testing::TestParamInfo<Kind>& info) {
    return info.param == kSimCard ? "SimCard" : "SoftHsm";
}

INSTANTIATE_TEST_SUITE_P(is_sim, Conformance, ::testing::Values(kSimCard), kind_name);
INSTANTIATE_TEST_SUITE_P(SoftHsm, Conformance, ::testing::Values(kSoftHsm), kind_name);

}  // namespace
