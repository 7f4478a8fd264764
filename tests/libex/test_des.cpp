// SPDX-License-Identifier: MIT
// Tests of the DES and triple-DES key schedules and block functions: published answers,
// agreement with OpenSSL's DES, the subkey layout, parity, key roles and in-place use.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cDes.h"

namespace {

using Block = std::array<uint8, 8>;

Block from_hex(const char* hex) {
    Block b{};
    EXPECT_EQ(std::strlen(hex), 16u) << hex;
    for (int i = 0; i < 8; ++i) {
        unsigned v = 0;
        EXPECT_EQ(std::sscanf(hex + 2 * i, "%2x", &v), 1) << hex;
        b[i] = static_cast<uint8>(v);
    }
    return b;
}

std::string to_hex(const Block& b) {
    char s[17] = {0};
    for (int i = 0; i < 8; ++i) {
        std::snprintf(s + 2 * i, 3, "%02X", b[i]);
    }
    return s;
}

Block random_block(std::mt19937_64& rng) {
    Block b{};
    const uint64_t v = rng();
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<uint8>(v >> (8 * i));
    }
    return b;
}

Block des_enc(const Block& key, const Block& in) {
    des_context ctx;
    des_set_key(&ctx, key.data());
    Block out{};
    des_encrypt(&ctx, in.data(), out.data());
    return out;
}

Block des_dec(const Block& key, const Block& in) {
    des_context ctx;
    des_set_key(&ctx, key.data());
    Block out{};
    des_decrypt(&ctx, in.data(), out.data());
    return out;
}

// OpenSSL's legacy DES, as the independent implementation to agree with.
struct OpenSslKey {
    DES_key_schedule ks;
    explicit OpenSslKey(const Block& key) {
        DES_cblock k;
        std::memcpy(k, key.data(), 8);
        DES_set_key_unchecked(&k, &ks);
    }
};

Block openssl_des(const OpenSslKey& k, const Block& in, int enc) {
    DES_cblock i;
    DES_cblock o;
    std::memcpy(i, in.data(), 8);
    DES_ecb_encrypt(&i, &o, const_cast<DES_key_schedule*>(&k.ks), enc);
    Block out{};
    std::memcpy(out.data(), o, 8);
    return out;
}

Block openssl_des3(const OpenSslKey& k1, const OpenSslKey& k2, const OpenSslKey& k3,
                   const Block& in, int enc) {
    DES_cblock i;
    DES_cblock o;
    std::memcpy(i, in.data(), 8);
    DES_ecb3_encrypt(&i, &o, const_cast<DES_key_schedule*>(&k1.ks),
                     const_cast<DES_key_schedule*>(&k2.ks), const_cast<DES_key_schedule*>(&k3.ks),
                     enc);
    Block out{};
    std::memcpy(out.data(), o, 8);
    return out;
}

// ---------------------------------------------------------------------------
// A bit-by-bit key schedule straight from the standard's tables, packed into the two-word
// subkey layout: first word G2 G4 G6 G8, second word G1 G3 G5 G7, one group per byte.
// ---------------------------------------------------------------------------

const int kRefPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
                         35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
                         46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

const int kRefPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                         26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                         51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

const int kRefShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

int key_bit(const Block& key, int n) {  // n = 1..64, bit 1 = MSB of byte 0
    return (key[(n - 1) / 8] >> (7 - (n - 1) % 8)) & 1;
}

std::array<uint32, 32> reference_schedule(const Block& key) {
    int cd[56];
    for (int i = 0; i < 56; ++i) {
        cd[i] = key_bit(key, kRefPC1[i]);
    }
    std::array<uint32, 32> sk{};
    for (int round = 0; round < 16; ++round) {
        for (int s = 0; s < kRefShifts[round]; ++s) {
            const int c0 = cd[0];
            const int d0 = cd[28];
            for (int i = 0; i < 27; ++i) {
                cd[i] = cd[i + 1];
                cd[28 + i] = cd[29 + i];
            }
            cd[27] = c0;
            cd[55] = d0;
        }
        uint8 groups[8] = {0};
        for (int i = 0; i < 48; ++i) {
            groups[i / 6] = static_cast<uint8>((groups[i / 6] << 1) | cd[kRefPC2[i] - 1]);
        }
        sk[2 * round] = (uint32{groups[1]} << 24) | (uint32{groups[3]} << 16) |
                        (uint32{groups[5]} << 8) | groups[7];
        sk[2 * round + 1] = (uint32{groups[0]} << 24) | (uint32{groups[2]} << 16) |
                            (uint32{groups[4]} << 8) | groups[6];
    }
    return sk;
}

std::array<uint32, 32> main_ks(const Block& key) {
    std::array<uint32, 32> sk{};
    EXPECT_EQ(des_main_ks(sk.data(), key.data()), 0);
    return sk;
}

// The 16 rounds of a 32-word schedule in reverse order, each round's two words kept in order.
std::array<uint32, 32> reversed_rounds(const uint32* sk) {
    std::array<uint32, 32> r{};
    for (int i = 0; i < 16; ++i) {
        r[2 * i] = sk[30 - 2 * i];
        r[2 * i + 1] = sk[31 - 2 * i];
    }
    return r;
}

bool same_words(const uint32* a, const uint32* b, int n) {
    return std::memcmp(a, b, sizeof(uint32) * static_cast<size_t>(n)) == 0;
}

// ---------------------------------------------------------------------------
// Published answers.
// ---------------------------------------------------------------------------

struct KnownAnswer {
    const char* key;
    const char* plain;
    const char* cipher;
};

const KnownAnswer kDesAnswers[] = {
    // The classic worked example, and the "Now is t" block.
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
    // NIST SP 800-17: variable plaintext.
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"0101010101010101", "2000000000000000", "2E8653104F3834EA"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    // NIST SP 800-17: variable key.
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
    // NIST SP 800-17: permutation operation.
    {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
    {"1007103489988020", "0000000000000000", "0C0CC00C83EA48FD"},
    // NIST SP 800-17: substitution table.
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
    {"07A1133E4A0B2686", "0248D43806F67172", "868EBB51CAB4599A"},
    {"3849674C2602319E", "51454B582DDF440A", "7178876E01F19B2A"},
};

TEST(DesKnownAnswer, PublishedVectorsEncryptAndDecrypt) {
    for (const KnownAnswer& ka : kDesAnswers) {
        SCOPED_TRACE(ka.key);
        const Block key = from_hex(ka.key);
        const Block plain = from_hex(ka.plain);
        des_context ctx;
        EXPECT_EQ(des_set_key(&ctx, key.data()), 0);

        Block out{};
        des_encrypt(&ctx, plain.data(), out.data());
        EXPECT_EQ(to_hex(out), ka.cipher);
        des_crypt(ctx.esk, plain.data(), out.data());
        EXPECT_EQ(to_hex(out), ka.cipher);

        const Block cipher = from_hex(ka.cipher);
        des_decrypt(&ctx, cipher.data(), out.data());
        EXPECT_EQ(to_hex(out), ka.plain);
        des_crypt(ctx.dsk, cipher.data(), out.data());
        EXPECT_EQ(to_hex(out), ka.plain);
    }
}

// Rivest's iterated test: X(i+1) = E_Xi(Xi) for even i and D_Xi(Xi) for odd i; sixteen
// steps from 9474B8E8C73BCA7D end at 1B1A2DDB4C642438.
TEST(DesKnownAnswer, RivestIteratedTest) {
    Block x = from_hex("9474B8E8C73BCA7D");
    for (int i = 0; i < 16; ++i) {
        x = (i % 2 == 0) ? des_enc(x, x) : des_dec(x, x);
    }
    EXPECT_EQ(to_hex(x), "1B1A2DDB4C642438");
}

// The three-key example of NIST SP 800-67: "The qufck brown fox jump".
TEST(Des3KnownAnswer, ThreeKeyExample) {
    const Block k1 = from_hex("0123456789ABCDEF");
    const Block k2 = from_hex("23456789ABCDEF01");
    const Block k3 = from_hex("456789ABCDEF0123");
    const char* plain[3] = {"5468652071756663", "6B2062726F776E20", "666F78206A756D70"};
    const char* cipher[3] = {"A826FD8CE53B855F", "CCE21C8112256FE6", "68D5C05DD9B6B900"};

    des3_context ctx;
    EXPECT_EQ(des3_set_3keys(&ctx, k1.data(), k2.data(), k3.data()), 0);
    for (int i = 0; i < 3; ++i) {
        const Block p = from_hex(plain[i]);
        const Block c = from_hex(cipher[i]);
        Block out{};
        des3_encrypt(&ctx, p.data(), out.data());
        EXPECT_EQ(to_hex(out), cipher[i]);
        des3_crypt(ctx.esk, p.data(), out.data());
        EXPECT_EQ(to_hex(out), cipher[i]);
        des3_decrypt(&ctx, c.data(), out.data());
        EXPECT_EQ(to_hex(out), plain[i]);
    }
}

// ---------------------------------------------------------------------------
// Agreement with OpenSSL on random keys and blocks.
// ---------------------------------------------------------------------------

TEST(DesAgainstOpenSsl, SingleDesBothDirections) {
    std::mt19937_64 rng(0x5EED0001);
    for (int n = 0; n < 2000; ++n) {
        const Block key = random_block(rng);
        const Block in = random_block(rng);
        des_context ctx;
        des_set_key(&ctx, key.data());
        const OpenSslKey ref(key);

        Block out{};
        des_encrypt(&ctx, in.data(), out.data());
        ASSERT_EQ(to_hex(out), to_hex(openssl_des(ref, in, DES_ENCRYPT)))
            << "key " << to_hex(key) << " block " << to_hex(in);
        des_decrypt(&ctx, in.data(), out.data());
        ASSERT_EQ(to_hex(out), to_hex(openssl_des(ref, in, DES_DECRYPT)))
            << "key " << to_hex(key) << " block " << to_hex(in);
    }
}

TEST(DesAgainstOpenSsl, TwoKeyTripleDesBothDirections) {
    std::mt19937_64 rng(0x5EED0002);
    for (int n = 0; n < 1000; ++n) {
        const Block k1 = random_block(rng);
        const Block k2 = random_block(rng);
        const Block in = random_block(rng);
        des3_context ctx;
        EXPECT_EQ(des3_set_2keys(&ctx, k1.data(), k2.data()), 0);
        const OpenSslKey r1(k1);
        const OpenSslKey r2(k2);

        Block out{};
        des3_encrypt(&ctx, in.data(), out.data());
        ASSERT_EQ(to_hex(out), to_hex(openssl_des3(r1, r2, r1, in, DES_ENCRYPT)))
            << to_hex(k1) << " " << to_hex(k2) << " block " << to_hex(in);
        des3_decrypt(&ctx, in.data(), out.data());
        ASSERT_EQ(to_hex(out), to_hex(openssl_des3(r1, r2, r1, in, DES_DECRYPT)))
            << to_hex(k1) << " " << to_hex(k2) << " block " << to_hex(in);
    }
}

TEST(DesAgainstOpenSsl, ThreeKeyTripleDesBothDirections) {
    std::mt19937_64 rng(0x5EED0003);
    for (int n = 0; n < 1000; ++n) {
        const Block k1 = random_block(rng);
        const Block k2 = random_block(rng);
        const Block k3 = random_block(rng);
        const Block in = random_block(rng);
        des3_context ctx;
        EXPECT_EQ(des3_set_3keys(&ctx, k1.data(), k2.data(), k3.data()), 0);
        const OpenSslKey r1(k1);
        const OpenSslKey r2(k2);
        const OpenSslKey r3(k3);

        Block out{};
        des3_encrypt(&ctx, in.data(), out.data());
        ASSERT_EQ(to_hex(out), to_hex(openssl_des3(r1, r2, r3, in, DES_ENCRYPT)))
            << to_hex(k1) << " " << to_hex(k2) << " " << to_hex(k3) << " block " << to_hex(in);
        des3_decrypt(&ctx, in.data(), out.data());
        ASSERT_EQ(to_hex(out), to_hex(openssl_des3(r1, r2, r3, in, DES_DECRYPT)))
            << to_hex(k1) << " " << to_hex(k2) << " " << to_hex(k3) << " block " << to_hex(in);
    }
}

// E_~k(~p) = ~E_k(p): holds for DES by its structure and breaks with most slips in the
// expansion, the subkey layout or the swap networks.
TEST(DesProperties, ComplementationHolds) {
    std::mt19937_64 rng(0x5EED0004);
    for (int n = 0; n < 500; ++n) {
        Block key = random_block(rng);
        Block in = random_block(rng);
        Block out = des_enc(key, in);
        for (int i = 0; i < 8; ++i) {
            key[i] = static_cast<uint8>(~key[i]);
            in[i] = static_cast<uint8>(~in[i]);
            out[i] = static_cast<uint8>(~out[i]);
        }
        ASSERT_EQ(to_hex(des_enc(key, in)), to_hex(out)) << to_hex(key);
    }
}

// ---------------------------------------------------------------------------
// Key schedule layout.
// ---------------------------------------------------------------------------

TEST(DesKeySchedule, MatchesBitwiseReferenceLayout) {
    std::mt19937_64 rng(0x5EED0005);
    std::vector<Block> keys;
    for (const KnownAnswer& ka : kDesAnswers) {
        keys.push_back(from_hex(ka.key));
    }
    for (int n = 0; n < 500; ++n) {
        keys.push_back(random_block(rng));
    }
    for (const Block& key : keys) {
        SCOPED_TRACE(to_hex(key));
        const std::array<uint32, 32> sk = main_ks(key);
        const std::array<uint32, 32> ref = reference_schedule(key);
        for (int w = 0; w < 32; ++w) {
            ASSERT_EQ(sk[w] & 0xC0C0C0C0u, 0u) << "word " << w;
            ASSERT_EQ(sk[w], ref[w]) << "word " << w;
        }
    }
}

// The first and last subkeys of the classic worked example, as printed there in groups
// G1..G8: K1 = 000110 110000 001011 101111 111111 000111 000001 110010,
// K16 = 110010 110011 110110 001011 000011 100001 011111 110101.
TEST(DesKeySchedule, WorkedExampleSubkeysInTheirBytes) {
    const std::array<uint32, 32> sk = main_ks(from_hex("133457799BBCDFF1"));
    EXPECT_EQ(sk[0], 0x302F0732u);   // G2 G4 G6 G8 of K1
    EXPECT_EQ(sk[1], 0x060B3F01u);   // G1 G3 G5 G7 of K1
    EXPECT_EQ(sk[30], 0x330B2135u);  // G2 G4 G6 G8 of K16
    EXPECT_EQ(sk[31], 0x3236031Fu);  // G1 G3 G5 G7 of K16
}

TEST(DesKeySchedule, DecryptionAndTripleSchedulesAreBuiltFromRounds) {
    std::mt19937_64 rng(0x5EED0006);
    for (int n = 0; n < 50; ++n) {
        const Block k1 = random_block(rng);
        const Block k2 = random_block(rng);
        const Block k3 = random_block(rng);
        const std::array<uint32, 32> e1 = main_ks(k1);
        const std::array<uint32, 32> e2 = main_ks(k2);
        const std::array<uint32, 32> e3 = main_ks(k3);
        const std::array<uint32, 32> d1 = reversed_rounds(e1.data());
        const std::array<uint32, 32> d2 = reversed_rounds(e2.data());
        const std::array<uint32, 32> d3 = reversed_rounds(e3.data());

        des_context ctx;
        des_set_key(&ctx, k1.data());
        EXPECT_TRUE(same_words(ctx.esk, e1.data(), 32));
        EXPECT_TRUE(same_words(ctx.dsk, d1.data(), 32));

        des3_context c3;
        des3_set_3keys(&c3, k1.data(), k2.data(), k3.data());
        EXPECT_TRUE(same_words(c3.esk, e1.data(), 32));
        EXPECT_TRUE(same_words(c3.esk + 32, d2.data(), 32));
        EXPECT_TRUE(same_words(c3.esk + 64, e3.data(), 32));
        EXPECT_TRUE(same_words(c3.dsk, d3.data(), 32));
        EXPECT_TRUE(same_words(c3.dsk + 32, e2.data(), 32));
        EXPECT_TRUE(same_words(c3.dsk + 64, d1.data(), 32));
    }
}

// Keys that differ only in the lowest bit of some bytes give the same schedules and
// ciphertexts, single and triple.
TEST(DesKeySchedule, ParityBitsAreIgnored) {
    std::mt19937_64 rng(0x5EED0007);
    for (int n = 0; n < 300; ++n) {
        const Block key = random_block(rng);
        Block other = key;
        const unsigned flips = static_cast<unsigned>(rng() & 0xFF) | 1u;
        for (int i = 0; i < 8; ++i) {
            if (flips & (1u << i)) {
                other[i] ^= 1;
            }
        }
        des_context a;
        des_context b;
        des_set_key(&a, key.data());
        des_set_key(&b, other.data());
        ASSERT_TRUE(same_words(a.esk, b.esk, 32)) << to_hex(key) << " " << to_hex(other);
        ASSERT_TRUE(same_words(a.dsk, b.dsk, 32)) << to_hex(key) << " " << to_hex(other);

        const Block in = random_block(rng);
        Block ca{};
        Block cb{};
        des_encrypt(&a, in.data(), ca.data());
        des_encrypt(&b, in.data(), cb.data());
        ASSERT_EQ(to_hex(ca), to_hex(cb));

        const Block k2 = random_block(rng);
        des3_context a3;
        des3_context b3;
        des3_set_3keys(&a3, key.data(), k2.data(), other.data());
        des3_set_3keys(&b3, other.data(), k2.data(), key.data());
        ASSERT_TRUE(same_words(a3.esk, b3.esk, 96));
        ASSERT_TRUE(same_words(a3.dsk, b3.dsk, 96));
    }
    // Every one of the other 56 bits does reach the schedule.
    const Block key = from_hex("0123456789ABCDEF");
    const std::array<uint32, 32> base = main_ks(key);
    for (int byte = 0; byte < 8; ++byte) {
        for (int bit = 1; bit < 8; ++bit) {
            Block flipped = key;
            flipped[byte] ^= static_cast<uint8>(1 << bit);
            EXPECT_NE(main_ks(flipped), base) << "byte " << byte << " bit " << bit;
        }
    }
}

// ---------------------------------------------------------------------------
// Triple-DES key roles.
// ---------------------------------------------------------------------------

TEST(TripleDes, EqualKeysGiveSingleDes) {
    std::mt19937_64 rng(0x5EED0008);
    for (int n = 0; n < 200; ++n) {
        const Block k = random_block(rng);
        const Block in = random_block(rng);
        des3_context three;
        des3_context two;
        des3_set_3keys(&three, k.data(), k.data(), k.data());
        des3_set_2keys(&two, k.data(), k.data());

        Block out{};
        des3_encrypt(&three, in.data(), out.data());
        ASSERT_EQ(to_hex(out), to_hex(des_enc(k, in)));
        des3_encrypt(&two, in.data(), out.data());
        ASSERT_EQ(to_hex(out), to_hex(des_enc(k, in)));
        des3_decrypt(&three, in.data(), out.data());
        ASSERT_EQ(to_hex(out), to_hex(des_dec(k, in)));
    }
}

TEST(TripleDes, TwoKeysScheduleAsThreeKeysWithFirstRepeated) {
    std::mt19937_64 rng(0x5EED0009);
    for (int n = 0; n < 200; ++n) {
        const Block k1 = random_block(rng);
        const Block k2 = random_block(rng);
        des3_context two;
        des3_context three;
        std::memset(&two, 0xA5, sizeof two);
        std::memset(&three, 0x5A, sizeof three);
        EXPECT_EQ(des3_set_2keys(&two, k1.data(), k2.data()), 0);
        EXPECT_EQ(des3_set_3keys(&three, k1.data(), k2.data(), k1.data()), 0);
        ASSERT_TRUE(same_words(two.esk, three.esk, 96));
        ASSERT_TRUE(same_words(two.dsk, three.dsk, 96));
    }
}

// Encryption is E_K3(D_K2(E_K1(p))) and decryption D_K1(E_K2(D_K3(c))); swapping the first
// and third keys changes the ciphertext.
TEST(TripleDes, KeyOrderIsFirstKeyFirst) {
    std::mt19937_64 rng(0x5EED000A);
    for (int n = 0; n < 200; ++n) {
        const Block k1 = random_block(rng);
        const Block k2 = random_block(rng);
        const Block k3 = random_block(rng);
        const Block p = random_block(rng);
        des3_context ctx;
        des3_context swapped;
        des3_set_3keys(&ctx, k1.data(), k2.data(), k3.data());
        des3_set_3keys(&swapped, k3.data(), k2.data(), k1.data());

        Block c{};
        des3_encrypt(&ctx, p.data(), c.data());
        ASSERT_EQ(to_hex(c), to_hex(des_enc(k3, des_dec(k2, des_enc(k1, p)))));
        Block back{};
        des3_decrypt(&ctx, c.data(), back.data());
        ASSERT_EQ(to_hex(back), to_hex(p));
        ASSERT_EQ(to_hex(back), to_hex(des_dec(k1, des_enc(k2, des_dec(k3, c)))));

        Block cs{};
        des3_encrypt(&swapped, p.data(), cs.data());
        ASSERT_NE(to_hex(cs), to_hex(c));
        ASSERT_EQ(to_hex(cs), to_hex(des_enc(k1, des_dec(k2, des_enc(k3, p)))));
    }
}

// ---------------------------------------------------------------------------
// Buffers.
// ---------------------------------------------------------------------------

TEST(DesBuffers, InPlaceEqualsSeparateBuffers) {
    std::mt19937_64 rng(0x5EED000B);
    for (int n = 0; n < 200; ++n) {
        const Block k1 = random_block(rng);
        const Block k2 = random_block(rng);
        const Block k3 = random_block(rng);
        const Block in = random_block(rng);
        des_context c1;
        des3_context c3;
        des_set_key(&c1, k1.data());
        des3_set_3keys(&c3, k1.data(), k2.data(), k3.data());

        using Fn = void (*)(const void*, const uint8*, uint8*);
        const struct {
            const void* ctx;
            Fn fn;
        } ops[] = {
            {&c1, [](const void* c, const uint8* i,
                     uint8* o) { des_encrypt(static_cast<const des_context*>(c), i, o); }},
            {&c1, [](const void* c, const uint8* i,
                     uint8* o) { des_decrypt(static_cast<const des_context*>(c), i, o); }},
            {&c3, [](const void* c, const uint8* i,
                     uint8* o) { des3_encrypt(static_cast<const des3_context*>(c), i, o); }},
            {&c3, [](const void* c, const uint8* i,
                     uint8* o) { des3_decrypt(static_cast<const des3_context*>(c), i, o); }},
        };
        for (const auto& op : ops) {
            Block separate{};
            op.fn(op.ctx, in.data(), separate.data());
            Block same = in;
            op.fn(op.ctx, same.data(), same.data());
            ASSERT_EQ(to_hex(same), to_hex(separate));
            ASSERT_NE(to_hex(same), to_hex(in));
        }
    }
}

// ---------------------------------------------------------------------------
// Weak and semi-weak keys: accepted, and they behave as the standard says.
// ---------------------------------------------------------------------------

TEST(DesWeakKeys, AcceptedAndRoundTrip) {
    const char* weak[] = {"0101010101010101", "FEFEFEFEFEFEFEFE", "E0E0E0E0F1F1F1F1",
                          "1F1F1F1F0E0E0E0E"};
    const char* semi_weak[][2] = {
        {"011F011F010E010E", "1F011F010E010E01"}, {"01E001E001F101F1", "E001E001F101F101"},
        {"01FE01FE01FE01FE", "FE01FE01FE01FE01"}, {"1FE01FE00EF10EF1", "E01FE01FF10EF10E"},
        {"1FFE1FFE0EFE0EFE", "FE1FFE1FFE0EFE0E"}, {"E0FEE0FEF1FEF1FE", "FEE0FEE0FEF1FEF1"},
    };
    std::mt19937_64 rng(0x5EED000C);
    std::vector<Block> keys;
    for (const char* k : weak) {
        keys.push_back(from_hex(k));
    }
    for (const auto& pair : semi_weak) {
        keys.push_back(from_hex(pair[0]));
        keys.push_back(from_hex(pair[1]));
    }

    for (const Block& key : keys) {
        SCOPED_TRACE(to_hex(key));
        for (int n = 0; n < 20; ++n) {
            const Block p = random_block(rng);
            des_context ctx;
            EXPECT_EQ(des_set_key(&ctx, key.data()), 0);
            Block c{};
            Block back{};
            des_encrypt(&ctx, p.data(), c.data());
            des_decrypt(&ctx, c.data(), back.data());
            ASSERT_EQ(to_hex(back), to_hex(p));
            ASSERT_NE(to_hex(c), to_hex(p));

            const Block other = random_block(rng);
            des3_context c3;
            EXPECT_EQ(des3_set_3keys(&c3, key.data(), other.data(), key.data()), 0);
            des3_encrypt(&c3, p.data(), c.data());
            des3_decrypt(&c3, c.data(), back.data());
            ASSERT_EQ(to_hex(back), to_hex(p));
        }
    }

    // A weak key's schedule reads the same both ways: encrypting twice is the identity.
    for (const char* k : weak) {
        const Block key = from_hex(k);
        const Block p = random_block(rng);
        EXPECT_EQ(to_hex(des_enc(key, des_enc(key, p))), to_hex(p)) << k;
    }
    // A semi-weak pair undoes each other.
    for (const auto& pair : semi_weak) {
        const Block a = from_hex(pair[0]);
        const Block b = from_hex(pair[1]);
        const Block p = random_block(rng);
        EXPECT_EQ(to_hex(des_enc(b, des_enc(a, p))), to_hex(p)) << pair[0];
        EXPECT_EQ(to_hex(des_enc(a, des_enc(b, p))), to_hex(p)) << pair[0];
    }
}

}  // namespace
