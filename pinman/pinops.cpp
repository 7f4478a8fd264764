// SPDX-License-Identifier: MIT
// The three card operations of the pages: change the PIN, unblock it, change the PUK.
#include <cstring>

#include "gtkzorvpin.h"
#include "pinman_internal.h"

// The message each result code gets in one column of the operations' answers; every code
// not named here is a failure to communicate with the card.
struct ResultColumn {
    const char* pinIncorrect;  // CKR_PIN_INCORRECT
    const char* pinInvalid;    // CKR_PIN_INVALID
    const char* pinLenRange;   // CKR_PIN_LEN_RANGE
    const char* pinLocked;     // CKR_PIN_LOCKED
};

namespace {

constexpr const char* kCommunicationError = N_("Error communicating with the card.");

constexpr const char* kWrongPin = N_("Wrong PIN : warning, many wrong tryes may block the card.");
constexpr const char* kWrongPuk = N_("Wrong PUK: warning, many wrong tryes may block the card.");
constexpr const char* kPinNotValid = N_("The PIN is not valid");

constexpr ResultColumn kChangePinColumn = {kWrongPin, kWrongPin, kWrongPin,
                                           N_("The PIN is blocked")};
constexpr ResultColumn kChangePukColumn = {kWrongPuk, kWrongPuk, kWrongPuk,
                                           N_("The PUK is blocked")};
constexpr ResultColumn kUnblockLoginColumn = {kWrongPuk, kWrongPuk, kWrongPuk,
                                              N_("The PUK is blocked.")};
constexpr ResultColumn kInitPinColumn = {kCommunicationError, kPinNotValid, kPinNotValid,
                                         kCommunicationError};

const char* field_text(GladeXML* builder, const char* name) {
    GtkWidget* widget = glade_xml_get_widget(builder, name);
    if (widget == nullptr || !GTK_IS_ENTRY(widget))
        return nullptr;
    return gtk_entry_get_text(GTK_ENTRY(widget));
}

const char* message_for(CK_RV rv, const ResultColumn& column) {
    switch (rv) {
        case CKR_PIN_INCORRECT:
            return column.pinIncorrect;
        case CKR_PIN_INVALID:
            return column.pinInvalid;
        case CKR_PIN_LEN_RANGE:
            return column.pinLenRange;
        case CKR_PIN_LOCKED:
            return column.pinLocked;
        default:
            return kCommunicationError;
    }
}

int answer(CK_RV rv, const ResultColumn& column) {
    if (rv == CKR_OK)
        return 1;
    ShowMessageError(_(message_for(rv, column)));
    return 0;
}

CK_UTF8CHAR_PTR bytes(const char* text) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text));
}

int run_pin_operation(GladeXML* builder, const PageSpec& op) {
    const char* texts[3];
    for (int i = 0; i < 3; ++i)
        texts[i] = field_text(builder, op.fields[i]);
    for (const char* text : texts) {
        if (text == nullptr || text[0] == '\0') {
            ShowMessageError(_("All fileds are required"));
            return 0;
        }
    }
    if (strcmp(texts[1], texts[2]) != 0) {
        ShowMessageError(_(op.mismatch));
        return 0;
    }
    if (!OpenSession(1))
        return 0;

    // Ends a login that an earlier operation left on the card.
    pFList->C_Logout(s_hSession);
    CK_RV rv = pFList->C_Login(s_hSession, op.userType, bytes(texts[0]), strlen(texts[0]));
    if (op.initPin) {
        if (!answer(rv, *op.loginColumn))
            return 0;
        rv = pFList->C_InitPIN(s_hSession, bytes(texts[1]), strlen(texts[1]));
    } else if (rv == CKR_OK) {
        rv = pFList->C_SetPIN(s_hSession, bytes(texts[0]), strlen(texts[0]), bytes(texts[1]),
                              strlen(texts[1]));
    }
    return answer(rv, *op.changeColumn);
}

}  // namespace

int ChangePin(GladeXML* builder) {
    return run_pin_operation(builder, kPageTable[kChangePinPage]);
}

int UnblockPin(GladeXML* builder) {
    return run_pin_operation(builder, kPageTable[kUnblockPinPage]);
}

int ChangePuk(GladeXML* builder) {
    return run_pin_operation(builder, kPageTable[kChangePukPage]);
}

extern const PageSpec kPageTable[kPageCount] = {
    {ChangePin,
     {"entryOld", "entryNew", "entryConfirm"},
     N_("The new PIN has been has been re-typed differently."),
     CKU_USER,
     &kChangePinColumn,
     &kChangePinColumn,
     false},
    {UnblockPin,
     {"entry1", "entry2", "entry3"},
     N_("The new PIN has been has been re-typed differently."),
     CKU_SO,
     &kUnblockLoginColumn,
     &kInitPinColumn,
     true},
    {ChangePuk,
     {"entryOldPuk", "entryNewPuk", "entryConfirmPuk"},
     N_("The new PUK has been has been re-typed differently."),
     CKU_SO,
     &kChangePukColumn,
     &kChangePukColumn,
     false},
};
