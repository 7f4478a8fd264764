// SPDX-License-Identifier: MIT
// The PIN and PUK operations against SoftHSM2, a real third-party PKCS#11 module, served as
// one card through p11-kit's server; each change is checked by logging in through SoftHSM2
// itself. Loaded directly, SoftHSM2's spare empty token makes a second card.
#include <cstdlib>
#include <fstream>
#include <memory>

#include "testkit.h"

namespace fs = std::filesystem;
using support::BoxWatcher;

namespace {

constexpr const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";

class SoftHsmCard : public testing::Test {
protected:
    void SetUp() override {
        dir_ = base_.path() / "hsm";
        const std::string env = (base_.path() / "env").string();
        const std::string start = std::string(SOFTHSM_FIXTURE) + " start '" + dir_.string() +
                                  "' --pin 1234 --puk 12345678 > '" + env + "'";
        ASSERT_EQ(std::system(start.c_str()), 0);
        for (const auto& [name, value] : support::read_exports(env))
            setenv(name.c_str(), value.c_str(), 1);
        ASSERT_NE(getenv("PKCS11_MODULE"), nullptr);
    }
    void TearDown() override {
        if (builder_ != nullptr)
            support::close_dialog(builder_);
        testing::internal::CaptureStderr();
        support::unload_module();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(
            std::system((std::string(SOFTHSM_FIXTURE) + " stop '" + dir_.string() + "'").c_str()),
            0)
            << "the SoftHSM2 card did not stop";
        support::reset_settings();
    }

    void load(const char* module) {
        const int loaded = support::load_module(module);
        ASSERT_EQ(loaded, 1);
        builder_ = support::start_dialog();
    }

    int run(int (*operation)(GladeXML*), const char* const fields[3], const char* first,
            const char* second) {
        support::set_text(builder_, fields[0], first);
        support::set_text(builder_, fields[1], second);
        support::set_text(builder_, fields[2], second);
        BoxWatcher watcher;
        const int result = operation(builder_);
        boxes_ = watcher.boxes;
        return result;
    }

    // Logs in through SoftHSM2 itself, as user or as security officer.
    static bool soft_hsm_accepts(const char* pin, bool security_officer = false) {
        const std::string cmd = std::string("pkcs11-tool --module ") + kSoftHsm +
                                " --token-label card1 --login " +
                                (security_officer ? "--login-type so --so-pin " : "--pin ") + pin +
                                " --session-rw --list-objects >/dev/null 2>&1";
        return std::system(cmd.c_str()) == 0;
    }

    support::TempDir base_;
    fs::path dir_;
    GladeXML* builder_ = nullptr;
    std::vector<support::SeenBox> boxes_;
};

const char* const kChangePinFields[] = {"entryOld", "entryNew", "entryConfirm"};
const char* const kUnblockFields[] = {"entry1", "entry2", "entry3"};
const char* const kChangePukFields[] = {"entryOldPuk", "entryNewPuk", "entryConfirmPuk"};

}  // namespace

TEST_F(SoftHsmCard, ChangeUnblockAndChangeThePuk) {
    load(getenv("PKCS11_MODULE"));

    EXPECT_EQ(run(ChangePin, kChangePinFields, "9999", "5678"), 0);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, shown_texts::kWrongPin);

    EXPECT_EQ(run(ChangePin, kChangePinFields, "1234", "5678"), 1);
    EXPECT_TRUE(boxes_.empty());
    EXPECT_TRUE(soft_hsm_accepts("5678"));
    EXPECT_FALSE(soft_hsm_accepts("1234"));

    EXPECT_EQ(run(UnblockPin, kUnblockFields, "12345678", "2468"), 1);
    EXPECT_TRUE(boxes_.empty());
    EXPECT_TRUE(soft_hsm_accepts("2468"));

    EXPECT_EQ(run(ChangePuk, kChangePukFields, "12345678", "87654321"), 1);
    EXPECT_TRUE(boxes_.empty());
    EXPECT_TRUE(soft_hsm_accepts("87654321", true));
    EXPECT_FALSE(soft_hsm_accepts("12345678", true));

    EXPECT_EQ(run(ChangePuk, kChangePukFields, "12345678", "11112222"), 0);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, shown_texts::kWrongPuk);
}

TEST_F(SoftHsmCard, LoadedDirectlyItsSpareTokenIsASecondCard) {
    load(kSoftHsm);
    EXPECT_EQ(run(ChangePin, kChangePinFields, "1234", "5678"), 0);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, shown_texts::kSeveralCards);
    EXPECT_TRUE(soft_hsm_accepts("1234")) << "nothing changed";
}
