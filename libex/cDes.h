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

/* Every context and buffer belongs to the caller: nothing is allocated, no state is kept
 * between calls and the tables are constant, so a context once set may serve several
 * threads at once. Nothing checks its arguments: null pointers and short buffers are the
 * caller's fault. */

/* Writes the 16 encryption round subkeys of `key` into the caller's SK (32 words), two words
 * a round. The parity bits of the key are ignored and no key is refused, weak keys
 * included; always returns 0. */
int des_main_ks(uint32 SK[32], const uint8 key[8]);

/* Fills both schedules of the caller's `ctx`: esk from `key` (des_main_ks), dsk the same
 * rounds in reverse order, the two words of a round kept in their order. Always returns 0. */
int des_set_key(des_context* ctx, const uint8 key[8]);

/* One DES block through the 32-word schedule SK. The whole input is read before the output
 * is written, so `input` and `output` may be the same 8 bytes. */
void des_crypt(const uint32 SK[32], const uint8 input[8], uint8 output[8]);

/* des_crypt with the context's encryption schedule. */
void des_encrypt(const des_context* ctx, const uint8 input[8], uint8 output[8]);

/* des_crypt with the context's decryption schedule. */
void des_decrypt(const des_context* ctx, const uint8 input[8], uint8 output[8]);

/* Two-key EDE: esk = E(key1), D(key2), E(key1); dsk = D(key1), E(key2), D(key1), where E is
 * a single-DES encryption schedule and D the same rounds reversed. Always returns 0. */
int des3_set_2keys(des3_context* ctx, const uint8 key1[8], const uint8 key2[8]);

/* Three-key EDE: esk = E(key1), D(key2), E(key3), so encryption is E_key3(D_key2(E_key1(p)));
 * dsk = D(key3), E(key2), D(key1). Always returns 0. */
int des3_set_3keys(des3_context* ctx, const uint8 key1[8], const uint8 key2[8],
                   const uint8 key3[8]);

/* One triple-DES block through the 96-word schedule SK: one initial permutation, 48 rounds
 * and one final permutation. `input` and `output` may be the same 8 bytes. */
void des3_crypt(const uint32 SK[96], const uint8 input[8], uint8 output[8]);

/* des3_crypt with the context's encryption schedule. */
void des3_encrypt(const des3_context* ctx, const uint8 input[8], uint8 output[8]);

/* des3_crypt with the context's decryption schedule. */
void des3_decrypt(const des3_context* ctx, const uint8 input[8], uint8 output[8]);

#ifdef __cplusplus
}
#endif

#endif
