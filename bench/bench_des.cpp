// SPDX-License-Identifier: MIT
// One-block DES and triple-DES encryption timings, set against OpenSSL's legacy DES API.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <benchmark/benchmark.h>

#include <cstring>

#include "cDes.h"

namespace {

// Three keys and a starting block; each iteration encrypts the previous iteration's output,
// so every block depends on the one before and no work can be hoisted out of the loop.
const uint8 kKey1[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
const uint8 kKey2[8] = {0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01};
const uint8 kKey3[8] = {0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23};
const uint8 kStart[8] = {0x54, 0x68, 0x65, 0x20, 0x71, 0x75, 0x66, 0x63};

// OpenSSL's schedule for one of the keys above (its key block type is not const-qualified).
void openssl_schedule(const uint8* key, DES_key_schedule* ks) {
    DES_cblock block;
    std::memcpy(block, key, 8);
    DES_set_key_unchecked(&block, ks);
}

void BM_des_encrypt(benchmark::State& state) {
    des_context ctx;
    des_set_key(&ctx, kKey1);
    uint8 block[8];
    std::memcpy(block, kStart, 8);
    for (auto _ : state) {
        des_encrypt(&ctx, block, block);
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 8);
}
BENCHMARK(BM_des_encrypt);

void BM_openssl_DES_ecb_encrypt(benchmark::State& state) {
    DES_key_schedule ks;
    openssl_schedule(kKey1, &ks);
    DES_cblock block;
    std::memcpy(block, kStart, 8);
    for (auto _ : state) {
        DES_ecb_encrypt(&block, &block, &ks, DES_ENCRYPT);
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 8);
}
BENCHMARK(BM_openssl_DES_ecb_encrypt);

void BM_des3_encrypt(benchmark::State& state) {
    des3_context ctx;
    des3_set_3keys(&ctx, kKey1, kKey2, kKey3);
    uint8 block[8];
    std::memcpy(block, kStart, 8);
    for (auto _ : state) {
        des3_encrypt(&ctx, block, block);
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 8);
}
BENCHMARK(BM_des3_encrypt);

void BM_openssl_DES_ecb3_encrypt(benchmark::State& state) {
    DES_key_schedule ks1;
    DES_key_schedule ks2;
    DES_key_schedule ks3;
    openssl_schedule(kKey1, &ks1);
    openssl_schedule(kKey2, &ks2);
    openssl_schedule(kKey3, &ks3);
    DES_cblock block;
    std::memcpy(block, kStart, 8);
    for (auto _ : state) {
        DES_ecb3_encrypt(&block, &block, &ks1, &ks2, &ks3, DES_ENCRYPT);
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 8);
}
BENCHMARK(BM_openssl_DES_ecb3_encrypt);

}  // namespace

BENCHMARK_MAIN();
