// SPDX-License-Identifier: MIT
// The three card operations of the pages: change the PIN, unblock it, change the PUK.
#include <cstring>
#include <vector>

#include "gtkzorvpin.h"
#include "pinman_internal.h"

// The message each result code gets in one column of the operations' answers; every code
// not named here is a failure to communicate with the card.
struct ResultColumn {
    const char* pin_incorrect;  // CKR_PIN_INCORRECT
    const char* pin_invalid;    // CKR_PIN_INVALID
    const char* pin_len_range;  // CKR_PIN_LEN_RANGE
    const char* pin_locked;     // CKR_PIN_LOCKED
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
            return column.pin_incorrect;
        case CKR_PIN_INVALID:
            return column.pin_invalid;
        case CKR_PIN_LEN_RANGE:
            return column.pin_len_range;
        case CKR_PIN_LOCKED:
            return column.pin_locked;
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

// A field's text as the card gets it, taken when the operation starts: the field may change
// while the card works, the copy does not. Wiped when the operation ends.
class SecretText {
public:
    explicit SecretText(const char* text) : bytes_(text, text + strlen(text)) {}
    ~SecretText() {
        if (!bytes_.empty())
            explicit_bzero(bytes_.data(), bytes_.size());
    }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    CK_UTF8CHAR_PTR data() { return reinterpret_cast<CK_UTF8CHAR_PTR>(bytes_.data()); }
    CK_ULONG size() const { return bytes_.size(); }

private:
    std::vector<char> bytes_;
};

int run_pin_operation(GladeXML* builder, const PageSpec& op) {
    const char* fields[3];
    for (int i = 0; i < 3; ++i)
        fields[i] = field_text(builder, op.fields[i]);
    for (const char* text : fields) {
        if (text == nullptr || text[0] == '\0') {
            ShowMessageError(_("All fileds are required"));
            return 0;
        }
    }
    if (strcmp(fields[1], fields[2]) != 0) {
        ShowMessageError(_(op.mismatch));
        return 0;
    }
    SecretText first(fields[0]), second(fields[1]);
    if (!OpenSession(1))
        return 0;

    // Ends a login that an earlier operation left on the card, then logs in and, when that
    // succeeds, asks for the change: the module's answers to the two calls that count.
    CK_RV login = CKR_OK;
    const CK_RV rv = card_call([&](const CardState& card) {
        card.pFList->C_Logout(card.s_hSession);
        login = card.pFList->C_Login(card.s_hSession, op.user_type, first.data(), first.size());
        if (login != CKR_OK)
            return login;
        if (op.init_pin)
            return card.pFList->C_InitPIN(card.s_hSession, second.data(), second.size());
        return card.pFList->C_SetPIN(card.s_hSession, first.data(), first.size(), second.data(),
                                     second.size());
    });
    if (op.init_pin && !answer(login, *op.login_column))
        return 0;
    return answer(rv, *op.change_column);
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
