// SPDX-License-Identifier: MIT
// The Info button: what the card and its reader report about themselves.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "gtkzorvpin.h"
#include "pinman_internal.h"

namespace {

constexpr const char* kInfoFormat =
    N_("Card Informations:\nSerial Number: %s\nLabel: %s\nModel: %s\nPin Lenght: min.%d,max.%d\n"
       "Reader in use:%s\nPIN status: %s\nPUK status: %s");

// The status texts of one PIN, tested in this order: the first flag set decides.
struct PinStatusFlags {
    CK_FLAGS count_low, final_try, locked;
    const char* locked_text;
};
constexpr PinStatusFlags kUserPin = {CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY,
                                     CKF_USER_PIN_LOCKED, N_("PIN Locked")};
constexpr PinStatusFlags kSoPin = {CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED,
                                   N_("PUK Locked")};

void copy_text(char* szText, const char* source) {
    memset(szText, 0, PINMAN_FIELD_SIZE);
    const size_t len = strnlen(source, PINMAN_FIELD_SIZE - 1);
    memcpy(szText, source, len);
    if (source[len] != '\0')
        drop_partial_utf8(szText);
}

void set_status(char* szStatus, CK_FLAGS flags, const PinStatusFlags& pin) {
    if (flags & pin.count_low) {
        copy_text(szStatus, _("At least a wrong attempt was made"));
    } else if (flags & pin.final_try) {
        copy_text(szStatus, _("Last attempt left"));
    } else if (flags & pin.locked) {
        copy_text(szStatus, _(pin.locked_text));
    }
}

// A card field as the box shows it: any bytes the module handed over, as valid UTF-8.
template <size_t N>
void copy_field(char* szText, const unsigned char (&field)[N]) {
    static_assert(N < PINMAN_FIELD_SIZE, "a card field must fit its text with a terminator");
    copy_shown_text(szText, PINMAN_FIELD_SIZE, reinterpret_cast<const char*>(field), N);
}

}  // namespace

extern "C" G_MODULE_EXPORT void onClickBtnInfo(GtkWidget* /*widget*/, gpointer user_data) {
    // One operation at a time: a press while the card works starts nothing.
    if (dialog_at_work())
        return;
    DialogAtWork work(builder_of(user_data));
    CK_TOKEN_INFO tokenInfo;
    CK_SLOT_INFO slotInfo;
    char szSerial[PINMAN_FIELD_SIZE] = {0};
    char szLabel[PINMAN_FIELD_SIZE] = {0};
    char szModel[PINMAN_FIELD_SIZE] = {0};
    char szReader[PINMAN_FIELD_SIZE] = {0};
    char szPinStatus[PINMAN_FIELD_SIZE] = {0};
    char szPukStatus[PINMAN_FIELD_SIZE] = {0};
    char szMessage[PINMAN_PATH_SIZE] = {0};

    memset(&tokenInfo, 0, sizeof tokenInfo);
    memset(&slotInfo, 0, sizeof slotInfo);
    copy_text(szPinStatus, _("PIN OK"));
    copy_text(szPukStatus, _("PUK OK"));

    if (!OpenSession(1))
        return;
    card_call([&](const CardState& card) {
        card.pFList->C_GetSlotInfo(card.s_slotId, &slotInfo);
        card.pFList->C_GetTokenInfo(card.s_slotId, &tokenInfo);
        return CKR_OK;
    });

    copy_field(szSerial, tokenInfo.serialNumber);
    copy_field(szLabel, tokenInfo.label);
    copy_field(szModel, tokenInfo.model);
    copy_field(szReader, slotInfo.slotDescription);
    set_status(szPinStatus, tokenInfo.flags, kUserPin);
    set_status(szPukStatus, tokenInfo.flags, kSoPin);

    // A translation whose conversions differ from the original's would read arguments
    // that are not there; such a translation is not used.
    const char* format = checked_format(_(kInfoFormat), kInfoFormat);
    snprintf(szMessage, sizeof szMessage, format, szSerial, szLabel, szModel,
             static_cast<int>(static_cast<int32_t>(tokenInfo.ulMinPinLen)),
             static_cast<int>(static_cast<int32_t>(tokenInfo.ulMaxPinLen)), szReader, szPinStatus,
             szPukStatus);
    if (strlen(szMessage) == sizeof szMessage - 1)
        drop_partial_utf8(szMessage);
    ShowMessage(szMessage);
}
