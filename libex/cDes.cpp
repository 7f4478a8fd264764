// SPDX-License-Identifier: MIT
// DES and triple DES (EDE) on 8-byte blocks: table-driven key schedules and block functions.
#include "cDes.h"

#include <cstdint>

namespace {

// ---------------------------------------------------------------------------
// The tables of the standard, written as it prints them. Bits are numbered
// from 1, bit 1 being the most significant bit of the first byte.
// ---------------------------------------------------------------------------

// S-boxes S1..S8: [box][row][column] -> four-bit output.
constexpr uint8 kSBox[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}},
};

// Every row of every S-box is a permutation of 0..15.
constexpr bool sboxes_well_formed() {
    for (const auto& box : kSBox) {
        for (const auto& row : box) {
            unsigned seen = 0;
            for (uint8 v : row) {
                seen |= 1u << v;
            }
            if (seen != 0xFFFF) {
                return false;
            }
        }
    }
    return true;
}
static_assert(sboxes_well_formed(), "S-box rows");

// Permutation P: output bit i+1 of f is input bit kP[i] of the S-box output word.
constexpr uint8 kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                          2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

// Initial permutation IP: output bit i+1 is input bit kIP[i].
constexpr uint8 kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                           62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                           57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                           61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

// Permuted choice 1: key register C (entries 0-27) and D (entries 28-55) from key bits.
constexpr uint8 kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                            10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                            63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                            14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

// Permuted choice 2: subkey bit i+1 is bit kPC2[i] of C followed by D (1-28 C, 29-56 D).
constexpr uint8 kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                            26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                            51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

// Round number - 1 -> places C and D are rotated left before that round's PC-2.
constexpr int kKeyShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// ---------------------------------------------------------------------------
// Small helpers.
// ---------------------------------------------------------------------------

constexpr uint32 rol(uint32 x, int n) {
    return (x << n) | (x >> (32 - n));
}
constexpr uint32 ror(uint32 x, int n) {
    return (x >> n) | (x << (32 - n));
}

// Bit `n` (1 = most significant) of a 32-bit word, as a mask.
constexpr uint32 bit32(int n) {
    return 0x80000000u >> (n - 1);
}

inline uint32 load_be(const uint8* p) {
    return (static_cast<uint32>(p[0]) << 24) | (static_cast<uint32>(p[1]) << 16) |
           (static_cast<uint32>(p[2]) << 8) | static_cast<uint32>(p[3]);
}

inline void store_be(uint8* p, uint32 v) {
    p[0] = static_cast<uint8>(v >> 24);
    p[1] = static_cast<uint8>(v >> 16);
    p[2] = static_cast<uint8>(v >> 8);
    p[3] = static_cast<uint8>(v);
}

// ---------------------------------------------------------------------------
// Combined S-box and P tables.
// ---------------------------------------------------------------------------

struct SpTables {
    uint32 sb[8][64];
};

// The 32-bit word P(w) for an f output word w (bit 1 = most significant).
constexpr uint32 permute_p(uint32 w) {
    uint32 r = 0;
    for (int i = 0; i < 32; ++i) {
        if (w & bit32(kP[i])) {
            r |= bit32(i + 1);
        }
    }
    return r;
}

// Entry i of table k: six-bit input i (first input bit most significant) through S-box k+1,
// its four output bits at that box's place in f (S1 topmost), permuted by P, rotated left one.
constexpr SpTables make_sp_tables() {
    SpTables t{};
    for (int k = 0; k < 8; ++k) {
        for (int i = 0; i < 64; ++i) {
            const int row = ((i >> 4) & 2) | (i & 1);
            const int col = (i >> 1) & 0xF;
            const uint32 out = static_cast<uint32>(kSBox[k][row][col]) << (28 - 4 * k);
            t.sb[k][i] = rol(permute_p(out), 1);
        }
    }
    return t;
}

// One block of storage for all eight tables, so that the round code addresses every table
// from a single base register.
constexpr SpTables kSp = make_sp_tables();

// SBk: six-bit group k of a round (XORed with its subkey group) -> f contribution of S-box k
// after P, rotated left by one bit like the data halves.
constexpr const uint32 (&SB1)[64] = kSp.sb[0];
constexpr const uint32 (&SB2)[64] = kSp.sb[1];
constexpr const uint32 (&SB3)[64] = kSp.sb[2];
constexpr const uint32 (&SB4)[64] = kSp.sb[3];
constexpr const uint32 (&SB5)[64] = kSp.sb[4];
constexpr const uint32 (&SB6)[64] = kSp.sb[5];
constexpr const uint32 (&SB7)[64] = kSp.sb[6];
constexpr const uint32 (&SB8)[64] = kSp.sb[7];

// Entries of the classic combined tables; the last entries of SB5 and SB6 worked by hand.
static_assert(SB1[0] == 0x01010400 && SB1[1] == 0x00000000 && SB1[2] == 0x00010000 &&
                  SB1[3] == 0x01010404 && SB1[63] == 0x01010004,
              "SB1");
static_assert(SB2[0] == 0x80108020 && SB2[1] == 0x80008000 && SB2[63] == 0x00108000, "SB2");
static_assert(SB3[0] == 0x00000208 && SB3[1] == 0x08020200 && SB3[63] == 0x00020200, "SB3");
static_assert(SB4[0] == 0x00802001 && SB4[1] == 0x00002081 && SB4[63] == 0x00802080, "SB4");
static_assert(SB5[0] == 0x00000100 && SB5[1] == 0x02080100 && SB5[63] == 0x40000100, "SB5");
static_assert(SB6[0] == 0x20000010 && SB6[1] == 0x20400000 && SB6[63] == 0x20004010, "SB6");
static_assert(SB7[0] == 0x00200000 && SB7[1] == 0x04200002 && SB7[63] == 0x00200002, "SB7");
static_assert(SB8[0] == 0x10001040 && SB8[1] == 0x00001000 && SB8[63] == 0x10041000, "SB8");

// Each table sets only its own S-box's four output bits, and no two tables share a bit.
constexpr bool sp_tables_disjoint() {
    uint32 all = 0;
    for (const auto& table : kSp.sb) {
        uint32 bits = 0;
        for (uint32 v : table) {
            bits |= v;
        }
        int n = 0;
        for (uint32 b = bits; b != 0; b &= b - 1) {
            ++n;
        }
        if (n != 4 || (bits & all) != 0) {
            return false;
        }
        all |= bits;
    }
    return all == 0xFFFFFFFF;
}
static_assert(sp_tables_disjoint(), "SB1..SB8 bit positions");

// ---------------------------------------------------------------------------
// Initial and final permutations as swap networks on the two halves.
// ---------------------------------------------------------------------------

struct Halves {
    uint32 l;
    uint32 r;
};

// One swap of the networks: exchanges the bits of A >> S under the mask M with the bits of B
// under M. Written as two bit selects rather than the usual XOR-and-shift exchange, so that
// the new A and the new B are computed side by side, three operations deep instead of five.
#define DES_SWAP(A, B, S, M)                                                     \
    do {                                                                         \
        const uint32 a_ = ((A) & ~((M) << (S))) | (((B) << (S)) & ((M) << (S))); \
        B = ((B) & ~(M)) | (((A) >> (S)) & (M));                                 \
        A = a_;                                                                  \
    } while (0)

// IP, leaving both halves rotated left by one bit.
#define DES_IP(L, R)                     \
    do {                                 \
        DES_SWAP(L, R, 4, 0x0F0F0F0Fu);  \
        DES_SWAP(L, R, 16, 0x0000FFFFu); \
        DES_SWAP(R, L, 2, 0x33333333u);  \
        DES_SWAP(R, L, 8, 0x00FF00FFu);  \
        R = rol(R, 1);                   \
        DES_SWAP(L, R, 0, 0xAAAAAAAAu);  \
        L = rol(L, 1);                   \
    } while (0)

// The inverse of DES_IP: the same steps in reverse order (each swap undoes itself).
#define DES_FP(L, R)                     \
    do {                                 \
        L = ror(L, 1);                   \
        DES_SWAP(L, R, 0, 0xAAAAAAAAu);  \
        R = ror(R, 1);                   \
        DES_SWAP(R, L, 8, 0x00FF00FFu);  \
        DES_SWAP(R, L, 2, 0x33333333u);  \
        DES_SWAP(L, R, 16, 0x0000FFFFu); \
        DES_SWAP(L, R, 4, 0x0F0F0F0Fu);  \
    } while (0)

constexpr Halves ip_network(Halves h) {
    DES_IP(h.l, h.r);
    return h;
}

constexpr Halves fp_network(Halves h) {
    DES_FP(h.l, h.r);
    return h;
}

// The networks are linear, so checking every single-bit block checks them completely:
// DES_IP is IP followed by a one-bit left rotation of each half, and DES_FP undoes it.
constexpr bool ip_network_matches_standard() {
    for (int out = 1; out <= 64; ++out) {
        const int in = kIP[out - 1];
        Halves h{in <= 32 ? bit32(in) : 0, in > 32 ? bit32(in - 32) : 0};
        h = ip_network(h);
        const Halves want{out <= 32 ? rol(bit32(out), 1) : 0,
                          out > 32 ? rol(bit32(out - 32), 1) : 0};
        if (h.l != want.l || h.r != want.r) {
            return false;
        }
        h = fp_network(h);
        if (h.l != (in <= 32 ? bit32(in) : 0) || h.r != (in > 32 ? bit32(in - 32) : 0)) {
            return false;
        }
    }
    return true;
}
static_assert(ip_network_matches_standard(), "IP/FP swap networks");

// ---------------------------------------------------------------------------
// Key schedule.
// ---------------------------------------------------------------------------

// LHs: four-bit value i -> bit j of i moved to bit 8j (lowest bit of byte j).
// RHs: four-bit value i -> bit j of i moved to bit 8(3-j) (the opposite byte order).
struct SpreadTables {
    uint32 lhs[16];
    uint32 rhs[16];
};

constexpr SpreadTables make_spread_tables() {
    SpreadTables t{};
    for (int i = 0; i < 16; ++i) {
        for (int j = 0; j < 4; ++j) {
            if (i & (1 << j)) {
                t.lhs[i] |= 1u << (8 * j);
                t.rhs[i] |= 1u << (8 * (3 - j));
            }
        }
    }
    return t;
}

constexpr SpreadTables kSpread = make_spread_tables();
constexpr const uint32 (&LHs)[16] = kSpread.lhs;
constexpr const uint32 (&RHs)[16] = kSpread.rhs;

static_assert(LHs[1] == 0x00000001 && LHs[2] == 0x00000100 && LHs[0xF] == 0x01010101, "LHs");
static_assert(RHs[1] == 0x01000000 && RHs[2] == 0x00010000 && RHs[0xF] == 0x01010101, "RHs");

struct KeyRegisters {
    uint32 c;  // C1..C28 in bits 27..0
    uint32 d;  // D1..D28 in bits 27..0
};

// PC-1 on the key read big-endian into X (bytes 0-3) and Y (bytes 4-7): two masked swaps
// gather each key byte's bits into place, then LHs/RHs collect one column of bits per lookup.
constexpr KeyRegisters pc1(uint32 x, uint32 y) {
    uint32 t = ((y >> 4) ^ x) & 0x0F0F0F0F;
    x ^= t;
    y ^= t << 4;
    t = (y ^ x) & 0x10101010;
    x ^= t;
    y ^= t;

    uint32 c = (LHs[x & 0xF] << 3) | (LHs[(x >> 8) & 0xF] << 2) | (LHs[(x >> 16) & 0xF] << 1) |
               LHs[(x >> 24) & 0xF] | (LHs[(x >> 5) & 0xF] << 7) | (LHs[(x >> 13) & 0xF] << 6) |
               (LHs[(x >> 21) & 0xF] << 5) | (LHs[(x >> 29) & 0xF] << 4);
    uint32 d = (RHs[(y >> 1) & 0xF] << 3) | (RHs[(y >> 9) & 0xF] << 2) |
               (RHs[(y >> 17) & 0xF] << 1) | RHs[(y >> 25) & 0xF] | (RHs[(y >> 4) & 0xF] << 7) |
               (RHs[(y >> 12) & 0xF] << 6) | (RHs[(y >> 20) & 0xF] << 5) |
               (RHs[(y >> 28) & 0xF] << 4);
    return KeyRegisters{c & 0x0FFFFFFF, d & 0x0FFFFFFF};
}

// Every key bit, alone, lands where PC-1 puts it; parity bits are dropped.
constexpr bool pc1_matches_standard() {
    for (int k = 1; k <= 64; ++k) {
        const KeyRegisters r = pc1(k <= 32 ? bit32(k) : 0, k > 32 ? bit32(k - 32) : 0);
        uint32 want_c = 0;
        uint32 want_d = 0;
        for (int i = 0; i < 28; ++i) {
            if (kPC1[i] == k) {
                want_c |= 1u << (27 - i);
            }
            if (kPC1[28 + i] == k) {
                want_d |= 1u << (27 - i);
            }
        }
        if (r.c != want_c || r.d != want_d) {
            return false;
        }
    }
    return true;
}
static_assert(pc1_matches_standard(), "PC-1 masked swaps and LHs/RHs");

// PC-2 on the rotated registers: subkey bit i + 1 is bit kPC2[i] of C followed by D, and
// its six-bit group g = i / 6 (G1 = 0) sits in the low six bits of one byte of the round's
// words: groups 2, 4, 6, 8 in word 0 and groups 1, 3, 5, 7 in word 1, the lower-numbered
// group in the higher byte, the group's first bit in its byte's bit 5. Run 16 times a key,
// once per process in the trace log, so a plain loop over the standard's table does.
constexpr void pc2(const KeyRegisters& r, uint32* w) {
    const uint64_t cd = (static_cast<uint64_t>(r.c) << 28) | r.d;  // bit 1 of C topmost of 56
    w[0] = 0;
    w[1] = 0;
    for (int i = 0; i < 48; ++i) {
        const int group = i / 6;
        const uint32 bit = static_cast<uint32>(cd >> (56 - kPC2[i])) & 1u;
        w[(group + 1) % 2] |= bit << (8 * (3 - group / 2) + 5 - i % 6);
    }
}

// The standard's worked example, key 133457799BBCDFF1: PC-1 and the first rotation give
// C1 = E19955F and D1 = AACCF1E, and PC-2 the subkey K1 = 000110 110000 001011 101111
// 111111 000111 000001 110010 (groups G1..G8).
constexpr bool key_schedule_matches_worked_example() {
    KeyRegisters r = pc1(0x13345779, 0x9BBCDFF1);
    r.c = ((r.c << 1) | (r.c >> 27)) & 0x0FFFFFFF;
    r.d = ((r.d << 1) | (r.d >> 27)) & 0x0FFFFFFF;
    uint32 w[2] = {0, 0};
    pc2(r, w);
    return r.c == 0xE19955F && r.d == 0xAACCF1E && w[0] == 0x302F0732 && w[1] == 0x060B3F01;
}
static_assert(key_schedule_matches_worked_example(), "PC-2 on the worked example");

}  // namespace

// ---------------------------------------------------------------------------
// Key setting.
// ---------------------------------------------------------------------------

/* see cDes.h */
int des_main_ks(uint32 SK[32], const uint8 key[8]) {
    KeyRegisters r = pc1(load_be(key), load_be(key + 4));
    for (int round = 0; round < 16; ++round) {
        const int n = kKeyShifts[round];
        r.c = ((r.c << n) | (r.c >> (28 - n))) & 0x0FFFFFFF;
        r.d = ((r.d << n) | (r.d >> (28 - n))) & 0x0FFFFFFF;
        pc2(r, SK + 2 * round);
    }
    return 0;
}

namespace {

// Copies the 16 rounds of `from` into `to` in reverse order, each round's two words kept
// in their order.
void reverse_rounds(uint32* to, const uint32* from) {
    for (int i = 0; i < 32; i += 2) {
        to[i] = from[30 - i];
        to[i + 1] = from[31 - i];
    }
}

void copy_rounds(uint32* to, const uint32* from) {
    for (int i = 0; i < 32; ++i) {
        to[i] = from[i];
    }
}

void des3_fill(des3_context* ctx, const uint32* sk1, const uint32* sk2, const uint32* sk3) {
    copy_rounds(ctx->esk, sk1);
    reverse_rounds(ctx->esk + 32, sk2);
    copy_rounds(ctx->esk + 64, sk3);
    reverse_rounds(ctx->dsk, sk3);
    copy_rounds(ctx->dsk + 32, sk2);
    reverse_rounds(ctx->dsk + 64, sk1);
}

}  // namespace

/* see cDes.h */
int des_set_key(des_context* ctx, const uint8 key[8]) {
    des_main_ks(ctx->esk, key);
    reverse_rounds(ctx->dsk, ctx->esk);
    return 0;
}

/* see cDes.h */
int des3_set_2keys(des3_context* ctx, const uint8 key1[8], const uint8 key2[8]) {
    uint32 sk1[32];
    uint32 sk2[32];
    des_main_ks(sk1, key1);
    des_main_ks(sk2, key2);
    des3_fill(ctx, sk1, sk2, sk1);
    return 0;
}

/* see cDes.h */
int des3_set_3keys(des3_context* ctx, const uint8 key1[8], const uint8 key2[8],
                   const uint8 key3[8]) {
    uint32 sk1[32];
    uint32 sk2[32];
    uint32 sk3[32];
    des_main_ks(sk1, key1);
    des_main_ks(sk2, key2);
    des_main_ks(sk3, key3);
    des3_fill(ctx, sk1, sk2, sk3);
    return 0;
}

// ---------------------------------------------------------------------------
// Block functions.
// ---------------------------------------------------------------------------

// One round with the subkey words SK[N] (groups 2, 4, 6, 8) and SK[N + 1] (groups 1, 3, 5, 7):
// U ^= f(D).
//
// Both T values are formed first, so all eight indices are ready together. The eight table
// words cover disjoint bits (see sp_tables_disjoint), so OR and XOR agree between them; the
// mix of the two operators fixes the order in which the words are combined, since the
// compiler turns a chain of one operator into a straight sequence. U first meets the SB8 and
// SB7 words, whose indices need no shift, and then two partial results built side by side,
// instead of waiting on eight XORs in a row. (Moving the rotation of D onto the subkey word,
// k1 ^ ror(D, 4) = ror(rol(k1, 4) ^ D, 4), measured no faster, so the plain form stays.)
#define DES_ROUND(D, U, N)                                                     \
    do {                                                                       \
        const uint32 t0_ = SK[N] ^ D;                                          \
        const uint32 t1_ = SK[(N) + 1] ^ ror(D, 4);                            \
        const uint32 x_ = (SB6[(t0_ >> 8) & 0x3F] ^ SB4[(t0_ >> 16) & 0x3F]) | \
                          (SB2[(t0_ >> 24) & 0x3F] ^ SB5[(t1_ >> 8) & 0x3F]);  \
        const uint32 y_ = SB3[(t1_ >> 16) & 0x3F] | SB1[(t1_ >> 24) & 0x3F];   \
        U = U ^ SB8[t0_ & 0x3F] ^ SB7[t1_ & 0x3F] ^ x_ ^ y_;                   \
    } while (0)

// Rounds N/2+1 and N/2+2 of a schedule: A from B, then B from A.
#define DES_2ROUNDS(A, B, N)      \
    do {                          \
        DES_ROUND(B, A, N);       \
        DES_ROUND(A, B, (N) + 2); \
    } while (0)

/* see cDes.h */
void des_crypt(const uint32 SK[32], const uint8 input[8], uint8 output[8]) {
    uint32 L = load_be(input);
    uint32 R = load_be(input + 4);

    DES_IP(L, R);
    DES_2ROUNDS(L, R, 0);
    DES_2ROUNDS(L, R, 4);
    DES_2ROUNDS(L, R, 8);
    DES_2ROUNDS(L, R, 12);
    DES_2ROUNDS(L, R, 16);
    DES_2ROUNDS(L, R, 20);
    DES_2ROUNDS(L, R, 24);
    DES_2ROUNDS(L, R, 28);
    DES_FP(R, L);

    store_be(output, R);
    store_be(output + 4, L);
}

/* see cDes.h */
void des_encrypt(const des_context* ctx, const uint8 input[8], uint8 output[8]) {
    des_crypt(ctx->esk, input, output);
}

/* see cDes.h */
void des_decrypt(const des_context* ctx, const uint8 input[8], uint8 output[8]) {
    des_crypt(ctx->dsk, input, output);
}

/* see cDes.h */
void des3_crypt(const uint32 SK[96], const uint8 input[8], uint8 output[8]) {
    uint32 L = load_be(input);
    uint32 R = load_be(input + 4);

    DES_IP(L, R);
    DES_2ROUNDS(L, R, 0);
    DES_2ROUNDS(L, R, 4);
    DES_2ROUNDS(L, R, 8);
    DES_2ROUNDS(L, R, 12);
    DES_2ROUNDS(L, R, 16);
    DES_2ROUNDS(L, R, 20);
    DES_2ROUNDS(L, R, 24);
    DES_2ROUNDS(L, R, 28);
    // Second stage: the final and initial permutations between the stages cancel, and the
    // first round of the stage updates R from L.
    DES_2ROUNDS(R, L, 32);
    DES_2ROUNDS(R, L, 36);
    DES_2ROUNDS(R, L, 40);
    DES_2ROUNDS(R, L, 44);
    DES_2ROUNDS(R, L, 48);
    DES_2ROUNDS(R, L, 52);
    DES_2ROUNDS(R, L, 56);
    DES_2ROUNDS(R, L, 60);
    // Third stage, in the first stage's pattern.
    DES_2ROUNDS(L, R, 64);
    DES_2ROUNDS(L, R, 68);
    DES_2ROUNDS(L, R, 72);
    DES_2ROUNDS(L, R, 76);
    DES_2ROUNDS(L, R, 80);
    DES_2ROUNDS(L, R, 84);
    DES_2ROUNDS(L, R, 88);
    DES_2ROUNDS(L, R, 92);
    DES_FP(R, L);

    store_be(output, R);
    store_be(output + 4, L);
}

/* see cDes.h */
void des3_encrypt(const des3_context* ctx, const uint8 input[8], uint8 output[8]) {
    des3_crypt(ctx->esk, input, output);
}

/* see cDes.h */
void des3_decrypt(const des3_context* ctx, const uint8 input[8], uint8 output[8]) {
    des3_crypt(ctx->dsk, input, output);
}

#undef DES_2ROUNDS
#undef DES_ROUND
#undef DES_FP
#undef DES_IP
#undef DES_SWAP
