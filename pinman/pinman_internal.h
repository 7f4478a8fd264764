// Steps of Pin Manager that its own parts and its tests share.
#ifndef PINMAN_INTERNAL_H
#define PINMAN_INTERNAL_H

#include <cstddef>

/* Appends `text` to the zero-terminated `buffer` of `size` bytes. Returns 0 and leaves
 * the buffer unchanged when the result would not fit. */
int bounded_append(char* buffer, size_t size, const char* text);

/* Ends a text that was cut to fit its buffer before a character whose bytes did not all
 * fit, so that a cut translation stays valid UTF-8. */
void drop_partial_utf8(char* text);

/* Fills a zeroed path buffer with the module path followed by `suffix`. Returns 0, with a
 * line on standard error and the buffer empty, when the result would not fit. */
int module_path_with_suffix(char* buffer, const char* suffix);

/* Applies one line of the configuration file to the settings. */
void apply_config_line(const char* szLine);

/* Ends `path` at its last '/' or '\\'. Returns 0, leaving it whole, when it has none. */
int cut_at_last_separator(char* path);

#include <ctime>
#include <openssl/asn1.h>

/* Returns `translated` when its printf conversions are the same, in the same order, as
 * those of `original`; otherwise `original`. */
const char* checked_format(const char* translated, const char* original);

/* What the start-up check says of a certificate. */
enum { kCertFine = 0, kCertNotYetValid, kCertExpired, kCertAboutToExpire };

/* Classifies a certificate's validity, reading `clock` for each comparison. A time that
 * cannot be read never makes a certificate expired. */
int classify_certificate(const ASN1_TIME* notBefore, const ASN1_TIME* notAfter, int window,
                         time_t (*clock)(time_t*));

/* A validity time (UTCTime, or GeneralizedTime) as seconds since the epoch, for the
 * diagnostic lines; -1 when the text is too short to hold the fields. */
time_t ASN1_UTCTIME_get(const ASN1_UTCTIME* s);

#endif
