// SPDX-License-Identifier: MIT
// Fuzzes resuming the trace log from an existing file of any bytes and size: the bytes there
// are kept, and what is appended decrypts with the one-pass reader's rule.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "cDes.h"
#include "cLog.h"
#include "cLog_internal.h"

namespace {

std::string read_all(const char* name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The key stream of the block that starts at `offset`: E of the 8 bytes before it, or of
// the initial vector for the first block of the stream, which starts at `streamStart`.
void key_stream(const des3_context& ctx, const std::string& file, size_t offset, size_t streamStart,
                const uint8* iv, uint8 out[8]) {
    uint8 in[8];
    if (offset == streamStart) {
        memcpy(in, iv, 8);
    } else {
        memcpy(in, file.data() + offset - 8, 8);
    }
    des3_encrypt(&ctx, in, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string dir;
    static des3_context ctx;
    static uint8 iv[8];
    static uint8 header[16];
    if (dir.empty()) {
        char tmpl[] = "/tmp/fuzz-resume.XXXXXX";
        dir = mkdtemp(tmpl);
        atexit([] { std::filesystem::remove_all(dir); });
        uint8 k1[8], k2[8], k3[8];
        cLog_cipher_keys(k1, k2, k3, iv);
        des3_set_3keys(&ctx, k1, k2, k3);
        cLog_header(header);
    }
    if (size > 4096)
        return 0;
    cLog_restart_for_test(dir.c_str());
    if (!cCanLog())
        abort();
    const std::string name = cLog_filename();
    {
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    cLogTrace("resumed record");
    const std::string file = read_all(name.c_str());
    remove(name.c_str());

    if (file.compare(0, size, reinterpret_cast<const char*>(data), size) != 0)
        abort();
    // A file that begins with the header has its stream after it; any other from offset 0.
    const size_t streamStart = size >= 16 && memcmp(data, header, 16) == 0 ? 16 : 0;
    std::string plain;
    for (size_t p = size; p < file.size(); ++p) {
        uint8 ks[8];
        key_stream(ctx, file, p - p % 8, streamStart, iv, ks);
        plain += static_cast<char>(file[p] ^ ks[p % 8]);
    }
    const std::string tail = "] resumed record\n";
    if (plain.size() < tail.size() + 1 || plain[0] != '[' ||
        plain.compare(plain.size() - tail.size(), tail.size(), tail) != 0) {
        fprintf(stderr, "appended text does not decrypt: %zu bytes after %zu\n", plain.size(),
                size);
        abort();
    }
    return 0;
}
