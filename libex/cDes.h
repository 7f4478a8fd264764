// SPDX-License-Identifier: MIT
// DES and triple DES (EDE, two or three keys) on single 8-byte blocks, FIPS 46-3.
#ifndef LIBEX_CDES_H
#define LIBEX_CDES_H

typedef unsigned char uint8;
typedef unsigned int uint32;

/* A single-DES key schedule: 16 rounds of two subkey words each way. */
typedef struct {
    uint32 esk[32]; /* encryption subkeys */
    uint32 dsk[32]; /* decryption subkeys */
} des_context;

/* A triple-DES key schedule: 48 rounds of two subkey words each way. */
typedef struct {
    uint32 esk[96];
    uint32 dsk[96];
} des3_context;

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the 16 encryption round subkeys of `key` into SK (32 words).
 * The parity bits of the key are ignored; always returns 0. */
int des_main_ks(uint32 SK[32], const uint8 key[8]);

/* Fills both schedules of `ctx` from `key`; always returns 0. */
int des_set_key(des_context* ctx, const uint8 key[8]);

/* One DES block with the schedule SK. `input` and `output` may be the same buffer. */
void des_crypt(const uint32 SK[32], const uint8 input[8], uint8 output[8]);
void des_encrypt(const des_context* ctx, const uint8 input[8], uint8 output[8]);
void des_decrypt(const des_context* ctx, const uint8 input[8], uint8 output[8]);

/* EDE with key1 used for the first and the last stage; always returns 0. */
int des3_set_2keys(des3_context* ctx, const uint8 key1[8], const uint8 key2[8]);

/* Encryption is E_key3(D_key2(E_key1(p))); always returns 0. */
int des3_set_3keys(des3_context* ctx, const uint8 key1[8], const uint8 key2[8],
                   const uint8 key3[8]);

/* One triple-DES block with the 96-word schedule SK; in-place safe. */
void des3_crypt(const uint32 SK[96], const uint8 input[8], uint8 output[8]);
void des3_encrypt(const des3_context* ctx, const uint8 input[8], uint8 output[8]);
void des3_decrypt(const des3_context* ctx, const uint8 input[8], uint8 output[8]);

#ifdef __cplusplus
}
#endif

#endif
