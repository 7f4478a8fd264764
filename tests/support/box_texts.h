// SPDX-License-Identifier: MIT
// The texts of the program's message boxes as the C++ tests expect them, untranslated.
#ifndef TESTS_SUPPORT_BOX_TEXTS_H
#define TESTS_SUPPORT_BOX_TEXTS_H

/* Each text exactly as the program shows it (and as its catalogues name it), typos
 * included; the one place the C++ tests write them. */
namespace box_texts {

// Start-up and module loading.
constexpr const char* kNoInterfaceFile = "Unable to load the interface file";
constexpr const char* kNoLibrary = "Unable to load PKCS#11 library";
constexpr const char* kBadLibrary = "The PKCS#11 library is invalid or corrupt";
constexpr const char* kNoFunctions = "Unable to initialize PKCS#11 functions";
constexpr const char* kNoInitialize = "Unable to initialize PKCS#11 library";
constexpr const char* kNoReader = "There is no reader available";
constexpr const char* kNoCard = "There is no smartcard in any reader";
constexpr const char* kSeveralCards =
    "Warning: there are multipkle smart card inseted\nPlease inser just one card at time.";

// The PIN and PUK pages.
constexpr const char* kAllFieldsRequired = "All fileds are required";
constexpr const char* kNewPinMismatch = "The new PIN has been has been re-typed differently.";
constexpr const char* kNewPukMismatch = "The new PUK has been has been re-typed differently.";
constexpr const char* kWrongPin = "Wrong PIN : warning, many wrong tryes may block the card.";
constexpr const char* kWrongPuk = "Wrong PUK: warning, many wrong tryes may block the card.";
constexpr const char* kPinBlocked = "The PIN is blocked";
constexpr const char* kPukBlocked = "The PUK is blocked";            // changing the PUK
constexpr const char* kPukBlockedOnUnblock = "The PUK is blocked.";  // unblocking the PIN
constexpr const char* kPinNotValid = "The PIN is not valid";
constexpr const char* kCommunication = "Error communicating with the card.";
constexpr const char* kOpenSession = "Error communicating with the card (open session)";
constexpr const char* kSuccess = "Operation successfully completed";

// The certificate check's box: its heading, then one line a certificate, each a prefix
// followed by the certificate's label in quotes.
constexpr const char* kCertificatesStatus = "Certificates status:\n";
constexpr const char* kExpiredLine = "Certificate expired: ";
constexpr const char* kExpiringLine = "Certificate about to expire: ";
constexpr const char* kNotYetValidLine = "Certificate not yet valid: ";

}  // namespace box_texts

#endif
