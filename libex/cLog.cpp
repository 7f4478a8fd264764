// SPDX-License-Identifier: MIT
// The trace log: one file per process in /log, a 16-byte clear header, then one triple-DES
// CFB-64 stream that every record reopens and continues from the file's tail.
#include "cLog.h"
#include "cLog_internal.h"
#include "cDes.h"
#include "cFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

clock_t g_start_time = 0;

namespace {

// The three triple-DES keys, in the order des3_set_3keys applies them (key1 first).
constexpr uint8 kKey1[8] = {0x3A, 0x91, 0x5C, 0xE7, 0x28, 0x6D, 0xB4, 0x0F};
constexpr uint8 kKey2[8] = {0xC5, 0x17, 0x8E, 0x43, 0xF9, 0x2B, 0x70, 0xD6};
constexpr uint8 kKey3[8] = {0x64, 0xAF, 0x13, 0x9B, 0x57, 0xE2, 0x3C, 0x88};
// The feedback of the first ciphertext block of every stream.
constexpr uint8 kInitialVector[8] = {0x9D, 0x4E, 0x21, 0xB7, 0x6A, 0xF0, 0x35, 0xC8};
// The clear header of a new file: the magic, then a fixed value the cipher never uses.
constexpr char kMagic[8] = {'S', 'a', 'l', 't', 'e', 'd', '_', '_'};
constexpr uint8 kHeaderValue[8] = {0x7C, 0x05, 0xD3, 0x6E, 0xA1, 0x48, 0xBF, 0x12};

constexpr int kHeaderSize = 16;
constexpr int kBlock = 8;

// True when the 8-byte values differ, ignoring the DES parity bit of every byte.
constexpr bool differ_as_keys(const uint8* a, const uint8* b) {
    for (int i = 0; i < 8; ++i) {
        if ((a[i] & 0xFE) != (b[i] & 0xFE)) {
            return true;
        }
    }
    return false;
}
static_assert(differ_as_keys(kKey1, kKey2) && differ_as_keys(kKey2, kKey3) &&
                  differ_as_keys(kKey1, kKey3),
              "the three log keys must all differ");
static_assert(differ_as_keys(kHeaderValue, kInitialVector) && differ_as_keys(kHeaderValue, kKey1) &&
                  differ_as_keys(kHeaderValue, kKey2) && differ_as_keys(kHeaderValue, kKey3),
              "the header value must differ from the initial vector and the keys");

constexpr char szSystemName[] = "Linux";
constexpr char kNull[] = "(null)";  // written for a null text or format

std::atomic<int> s_log_enabled{1};  // the switch; read without the lock
int log_init = 0;                   // 1 once do_loginit has run
char log_ext_filename[512];
char* log_filename = nullptr;
des3_context ctx3;
// The record state below is touched only with the log lock held, between cLogOpen and
// cLogClose. The writing and formatting helpers that run only there end in _inlock; the
// opening steps that open_bracket calls run there too.
FILE* fout = nullptr;
uint8 iv[16];               // 0-7: key stream of the current block; 8-15: its ciphertext
uint8* const iv8 = iv + 8;  // the feedback half of the register
int spare_bytes = 0;        // bytes of the current block already used, 0..7
char szInfo[64];
char itoa_buff[64];
char process_info[8192];

// The log lock, created on first use; readers that find it null take no lock.
std::atomic<pthread_mutex_t*> g_mutex_clog{nullptr};
// Serialises creating and destroying the log lock, so two first users create one lock.
pthread_mutex_t s_mutex_guard = PTHREAD_MUTEX_INITIALIZER;
// The lock this thread's open bracket holds; null when its cLogOpen took none.
thread_local pthread_mutex_t* s_bracket_lock = nullptr;
// Set by cLogOpen when this bracket ran the one-time initialisation.
int s_bracket_initialised = 0;
// Tests only: creating the lock behaves as if the allocation failed.
std::atomic<int> s_fail_lock_alloc{0};

// The directory of the log; "/log" unless a test moved it.
char s_log_dir[256] = "/log";
int s_log_dir_ok = 1;

void do_loginit() {
    memset(log_ext_filename, 0, sizeof(log_ext_filename));
    const time_t now = time(nullptr);
    const unsigned int pid = static_cast<unsigned int>(getpid());
    struct tm tmNow;
    int len = 0;
    if (localtime_r(&now, &tmNow) != nullptr) {
        len = snprintf(log_ext_filename, sizeof(log_ext_filename),
                       "%s/zorvex.%04d-%02d-%02d_%02d.%02d.%02d.pid_%08X.log.bin", s_log_dir,
                       tmNow.tm_year + 1900, tmNow.tm_mon + 1, tmNow.tm_mday, tmNow.tm_hour,
                       tmNow.tm_min, tmNow.tm_sec, pid);
    } else {
        len = snprintf(log_ext_filename, sizeof(log_ext_filename), "%s/zorvex.pid%08X.log.bin",
                       s_log_dir, pid);
    }
    if (!s_log_dir_ok || len < 0 || len >= static_cast<int>(sizeof(log_ext_filename))) {
        // A cut name would point somewhere else: an empty name makes every opening fail.
        memset(log_ext_filename, 0, sizeof(log_ext_filename));
    }
    log_filename = log_ext_filename;
    des3_set_3keys(&ctx3, kKey1, kKey2, kKey3);
    g_start_time = clock();
    init_clog_mutex();
    log_init = 1;
}

// Appends `text` to the zero-terminated `buffer` of `size` bytes, cutting what does not fit.
void append_text(char* buffer, size_t size, const char* text) {
    const size_t used = strnlen(buffer, size);
    if (used + 1 < size) {
        snprintf(buffer + used, size - used, "%s", text);
    }
}

// The process information of a new file's first record; the next call overwrites it.
const char* get_process_info() {
    memset(process_info, 0, sizeof(process_info));
    const time_t now = time(nullptr);
    char szLine[512] = {0};
    snprintf(szLine, sizeof(szLine), "System: %s\nPid=%d\n", szSystemName,
             static_cast<int>(getpid()));
    append_text(process_info, sizeof(process_info), szLine);
    char szDate[64] = {0};
    if (ctime_r(&now, szDate) == nullptr) {
        snprintf(szDate, sizeof(szDate), "?\n");
    }
    memset(szLine, 0, sizeof(szLine));
    snprintf(szLine, sizeof(szLine), "date: %s\n\n", szDate);
    append_text(process_info, sizeof(process_info), szLine);
    return process_info;
}

// Encrypts `len` bytes into the open file, one byte at a time through stdio.
void encrypt_write_inlock(const uint8* bytes, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        if (spare_bytes == 0) {
            des3_encrypt(&ctx3, iv8, iv);
        }
        const uint8 c = static_cast<uint8>(iv[spare_bytes] ^ bytes[i]);
        iv8[spare_bytes] = c;
        putc_unlocked(c, fout);
        spare_bytes = (spare_bytes + 1) % kBlock;
    }
}

// True when the `size` bytes at `data` begin with the 16-byte header. Only such a file
// starts its stream at offset 16; every other one (an existing empty file continued, clean
// text written first) starts it at offset 0. The writer and the reader both decide by this.
bool has_header(const uint8* data, long size) {
    return size >= kHeaderSize && memcmp(data, kMagic, sizeof(kMagic)) == 0 &&
           memcmp(data + sizeof(kMagic), kHeaderValue, sizeof(kHeaderValue)) == 0;
}

// Makes the open descriptor `fd` the stream `fout`, with the caller's `szStream` as its
// buffer when given (it must outlive the stream: a buffer from the caller's frame spares
// stdio allocating one and asking its size). A failure closes `fd` and leaves `fout` null.
void attach_fout_inlock(int fd, char* szStream, size_t streamSize) {
    fout = fdopen(fd, "ab");
    if (fout == nullptr) {
        close(fd);
        return;
    }
    if (szStream != nullptr) {
        setvbuf(fout, szStream, _IOFBF, streamSize);
    }
}

// Opens the log file for appending into `fout`, creating it; a failure leaves it null.
void open_for_append(char* szStream, size_t streamSize) {
    struct stat st;
    const int fd = cOpenOwnAppend(log_filename, &st);
    if (fd < 0) {
        return;
    }
    attach_fout_inlock(fd, szStream, streamSize);
}

// A missing file: header and first record, the stream starting from the initial vector.
void start_new_file(char* szStream, size_t streamSize) {
    memcpy(iv8, kInitialVector, kBlock);
    spare_bytes = 0;
    open_for_append(szStream, streamSize);
    if (fout == nullptr) {
        return;
    }
    fwrite(kMagic, 1, sizeof(kMagic), fout);
    fwrite(kHeaderValue, 1, sizeof(kHeaderValue), fout);
    cLogPutmem("Log file initialized...", -1);
    fflush(fout);
    cLogPutmem(get_process_info(), -1);
    fflush(fout);
}

// Opens an existing log file for reading its tail and then appending to it, or returns -1.
// One descriptor serves both, so the file appended to is the one the cipher state was read
// from, and a record opens the file once. Only the size and a few tail bytes are read, so a
// bare descriptor serves (one fstat, one positioned read; stdio would seek twice and fill a
// buffer). The access time is left alone where the system allows it (O_NOATIME, for the
// file's owner): with relatime every record would otherwise write the inode once more just
// for this bookkeeping read. A file that cannot be opened so (missing, or not both readable
// and writable) is treated as new, as one that cannot be read.
int open_for_reading() {
    int fd = open(log_filename, O_RDWR | O_APPEND | C_OWN_FILE_FLAGS | O_NOATIME);
    if (fd < 0 && errno == EPERM) {
        fd = open(log_filename, O_RDWR | O_APPEND | C_OWN_FILE_FLAGS);
    }
    return fd;
}

// An existing file: rebuilds the register from its tail and appends through `fd`. The
// feedback is the last complete block before the partial tail (block boundaries on
// multiples of 8 from offset 0); the initial vector where there is none, that is below 8
// bytes, and in a file with the header below 24 bytes (no complete block after the header).
// The bytes of a partial last block (size mod 8) are kept and that block is completed;
// nothing before offset 0 is ever read. A file whose size or tail cannot be read, or that
// is not one of ours (cIsOwnFile), gets no record. `fd` is the file opened by
// open_for_reading; it becomes `fout`, or is closed here.
void resume_file(int fd, char* szStream, size_t streamSize) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !cIsOwnFile(&st)) {
        close(fd);
        return;
    }
    const off_t n = st.st_size;
    const int s = static_cast<int>(n % kBlock);
    memset(iv, 0, sizeof(iv));
    bool bRead = true;
    if (n >= kHeaderSize + kBlock) {
        const ssize_t want = s + kBlock;
        bRead = pread(fd, iv, static_cast<size_t>(want), n - want) == want;
    } else {
        // A short file is read whole: whether it begins with the header decides its feedback.
        uint8 head[kHeaderSize + kBlock] = {0};
        const ssize_t want = static_cast<ssize_t>(n);
        bRead = want == 0 || pread(fd, head, static_cast<size_t>(want), 0) == want;
        if (n >= kBlock && !has_header(head, static_cast<long>(n))) {
            memcpy(iv, head + n - s - kBlock, static_cast<size_t>(s + kBlock));
        } else {
            memcpy(iv, kInitialVector, kBlock);
            memcpy(iv8, head + n - s, static_cast<size_t>(s));
        }
    }
    if (!bRead) {
        close(fd);
        return;
    }
    spare_bytes = s;
    if (s != 0) {
        uint8 feedback[kBlock];
        memcpy(feedback, iv, kBlock);
        des3_encrypt(&ctx3, feedback, iv);
    } else {
        memcpy(iv8, iv, kBlock);
    }
    attach_fout_inlock(fd, szStream, streamSize);
}

// Writes `len` bytes of `bytes` between double quotes: printable ones as they are unless
// `is_printable` is false, every other one as "\x" and two lower-case hex digits.
void put_quoted_inlock(const uint8* bytes, size_t s_buff_len, bool is_printable) {
    static constexpr char kHex[] = "0123456789abcdef";  // nibble value -> hex digit
    cLogPutmem("\"", 1);
    size_t run = 0;  // start of the printable bytes not yet written
    for (size_t i = 0; i < s_buff_len; ++i) {
        const uint8 b = bytes[i];
        if (is_printable && b >= 0x20 && b <= 0x7E) {
            continue;
        }
        cLogPutmem(bytes + run, static_cast<int>(i - run));
        const char escaped[4] = {'\\', 'x', kHex[b >> 4], kHex[b & 0x0F]};
        cLogPutmem(escaped, 4);
        run = i + 1;
    }
    cLogPutmem(bytes + run, static_cast<int>(s_buff_len - run));
    cLogPutmem("\"", 1);
}

// Writes the decimal form of `value` for "d" and "D", as printf's "%d" does, and for "x"
// and "X" "0x" followed by printf's "%x" of it.
void put_number_inlock(char c, int value) {
    memset(itoa_buff, 0, sizeof(itoa_buff));
    if (c == 'd' || c == 'D') {
        snprintf(itoa_buff, sizeof(itoa_buff), "%d", value);
    } else {
        snprintf(itoa_buff, sizeof(itoa_buff), "0x%x", static_cast<unsigned int>(value));
    }
    cLogPutmem(itoa_buff, -1);
}

// Writes `s_buff_len` bytes of `data` quoted (put_quoted_inlock), or "(null)" for a null
// pointer.
void put_bytes_inlock(const void* data, size_t s_buff_len, bool is_printable) {
    if (data == nullptr) {
        cLogPutmem(kNull, -1);
        return;
    }
    put_quoted_inlock(static_cast<const uint8*>(data), s_buff_len, is_printable);
}

// Writes the conversion `c` that followed a "%", reading its arguments, if any, from `ap`:
// %% %d %x %s %p %b in either case. Any other byte is written with its "%".
void put_conversion_inlock(char c, va_list* ap) {
    switch (c) {
        case '%':
            cLogPutmem("%", 1);
            break;
        case 'd':
        case 'D':
        case 'x':
        case 'X':
            put_number_inlock(c, va_arg(*ap, int));
            break;
        case 's':
        case 'S': {
            const char* text = va_arg(*ap, const char*);
            put_bytes_inlock(text, text != nullptr ? strlen(text) : 0, true);
            break;
        }
        case 'p':
        case 'P':
        case 'b':
        case 'B': {
            const void* data = va_arg(*ap, const void*);
            const int len = va_arg(*ap, int);
            put_bytes_inlock(data, len > 0 ? static_cast<size_t>(len) : 0, c == 'p' || c == 'P');
            break;
        }
        default: {  // digits, flags and unknown letters: both bytes unchanged
            const char both[2] = {'%', c};
            cLogPutmem(both, 2);
            break;
        }
    }
}

// The record text of cLogTracef: the ordinary bytes of `format` as they are, each "%" and
// the byte after it through put_conversion_inlock. Nothing past the terminator is read: a
// lone "%" at the end is written as it is.
void format_record_inlock(const char* format, va_list* ap) {
    if (format == nullptr) {
        cLogPutmem(kNull, -1);
        return;
    }
    const char* run = format;  // start of the ordinary bytes not yet written
    for (const char* p = strchr(run, '%'); p != nullptr; p = strchr(run, '%')) {
        cLogPutmem(run, static_cast<int>(p - run));
        if (p[1] == '\0') {
            cLogPutmem("%", 1);
            return;
        }
        put_conversion_inlock(p[1], ap);
        run = p + 2;
    }
    cLogPutmem(run, -1);
}

// Writes the "[%08d] " stamp of `ticks` processor-clock units.
void put_stamp_inlock(clock_t ticks) {
    memset(szInfo, 0, sizeof(szInfo));
    snprintf(szInfo, sizeof(szInfo), "[%08ld] ", static_cast<long>(ticks));
    cLogPutmem(szInfo, -1);
}

bool bracket_has_file() {
    return s_bracket_lock != nullptr && fout != nullptr;
}

// cLogOpen, with an optional stdio buffer for the file (see attach_fout_inlock).
void open_bracket(char* szStream, size_t streamSize) {
    if (s_log_enabled.load() == 0) {
        return;
    }
    init_clog_mutex();
    pthread_mutex_t* pMutex = g_mutex_clog.load(std::memory_order_acquire);
    if (pMutex == nullptr) {
        return;  // no lock could be made: this record is dropped, the next one tries again
    }
    pthread_mutex_lock(pMutex);
    s_bracket_lock = pMutex;
    s_bracket_initialised = 0;
    if (fout != nullptr) {
        return;
    }
    if (log_init == 0) {
        do_loginit();
        s_bracket_initialised = 1;
    }
    const int fd = open_for_reading();
    if (fd < 0) {
        start_new_file(szStream, streamSize);
    } else {
        resume_file(fd, szStream, streamSize);
    }
}

// The stdio buffer of a record written by one function (cLogTrace, cLogTracef).
constexpr size_t kStreamBuffer = 1024;

}  // namespace

int cEnableLog(int enabled) {
    return s_log_enabled.exchange(enabled);
}

int cCanLog(void) {
    if (s_log_enabled.load() == 0) {
        return 0;
    }
    cLogOpen();
    const int bOpen = bracket_has_file() ? 1 : 0;
    cLogClose();
    return bOpen;
}

void cLogOpen(void) {
    open_bracket(nullptr, 0);
}

void cLogClose(void) {
    pthread_mutex_t* pMutex = s_bracket_lock;
    if (pMutex == nullptr) {
        return;  // logging was off at cLogOpen: the file, if any, belongs to another bracket
    }
    if (fout != nullptr) {
        fclose(fout);
        fout = nullptr;
    }
    s_bracket_lock = nullptr;
    pthread_mutex_unlock(pMutex);
}

void cLogPutmem(const void* string, int string_len) {
    if (!bracket_has_file() || string == nullptr) {
        return;
    }
    size_t len = 0;
    if (string_len == -1) {
        len = strlen(static_cast<const char*>(string));
    } else if (string_len > 0) {
        len = static_cast<size_t>(string_len);
    }
    encrypt_write_inlock(static_cast<const uint8*>(string), len);
}

void cLogChar(char c) {
    cLogPutmem(&c, 1);
}

void cLogTrace(const char* string) {
    char szStream[kStreamBuffer];
    open_bracket(szStream, sizeof(szStream));
    if (bracket_has_file()) {
        // Before the first initialisation the origin is 0: the whole processor time so far.
        const clock_t origin = s_bracket_initialised ? 0 : g_start_time;
        put_stamp_inlock(clock() - origin);
        cLogPutmem(string != nullptr ? string : kNull, -1);
        cLogPutmem("\n", 1);
    }
    cLogClose();
}

void cLogTracef(const char* format, ...) {
    char szStream[kStreamBuffer];
    open_bracket(szStream, sizeof(szStream));
    if (bracket_has_file()) {
        put_stamp_inlock(clock() - g_start_time);
        va_list ap;
        va_start(ap, format);
        format_record_inlock(format, &ap);
        va_end(ap);
        cLogPutmem("\n", 1);
    }
    cLogClose();
}

void cLogTrace_clean(const char* string) {
    if (log_init == 0) {
        do_loginit();
    }
    struct stat st;
    const int fd = cOpenOwnAppend(log_filename, &st);
    if (fd < 0) {
        return;
    }
    FILE* f = fdopen(fd, "a");
    if (f == nullptr) {
        close(fd);
        return;
    }
    if (string != nullptr) {
        fputs(string, f);
    }
    fclose(f);
}

void init_clog_mutex(void) {
    if (g_mutex_clog.load(std::memory_order_acquire) != nullptr) {
        return;
    }
    pthread_mutex_lock(&s_mutex_guard);
    if (g_mutex_clog.load(std::memory_order_relaxed) == nullptr && s_fail_lock_alloc.load() == 0) {
        pthread_mutex_t* pMutex = new (std::nothrow) pthread_mutex_t;
        if (pMutex != nullptr) {
            if (pthread_mutex_init(pMutex, nullptr) == 0) {
                g_mutex_clog.store(pMutex, std::memory_order_release);
            } else {
                delete pMutex;
            }
        }
    }
    pthread_mutex_unlock(&s_mutex_guard);
}

void close_clog_mutex(void) {
    pthread_mutex_lock(&s_mutex_guard);
    pthread_mutex_t* pMutex = g_mutex_clog.exchange(nullptr);
    if (pMutex != nullptr) {
        pthread_mutex_destroy(pMutex);
        delete pMutex;
    }
    pthread_mutex_unlock(&s_mutex_guard);
}

void lock_clog_mutex(void) {
    pthread_mutex_t* pMutex = g_mutex_clog.load(std::memory_order_acquire);
    if (pMutex != nullptr) {
        pthread_mutex_lock(pMutex);
    }
}

void unlock_clog_mutex(void) {
    pthread_mutex_t* pMutex = g_mutex_clog.load(std::memory_order_acquire);
    if (pMutex != nullptr) {
        pthread_mutex_unlock(pMutex);
    }
}

void cLog_restart_for_test(const char* dir) {
    lock_clog_mutex();
    const char* szDir = dir != nullptr ? dir : "/log";
    memset(s_log_dir, 0, sizeof(s_log_dir));
    s_log_dir_ok = strlen(szDir) < sizeof(s_log_dir) ? 1 : 0;
    if (s_log_dir_ok) {
        snprintf(s_log_dir, sizeof(s_log_dir), "%s", szDir);
    }
    memset(log_ext_filename, 0, sizeof(log_ext_filename));
    log_filename = nullptr;
    log_init = 0;
    g_start_time = 0;
    memset(iv, 0, sizeof(iv));
    spare_bytes = 0;
    unlock_clog_mutex();
}

void cLog_fail_lock_alloc_for_test(int fail) {
    s_fail_lock_alloc.store(fail);
}

const char* cLog_filename(void) {
    return log_filename;
}

void cLog_cipher_keys(uint8 key1[8], uint8 key2[8], uint8 key3[8], uint8 iv_out[8]) {
    memcpy(key1, kKey1, sizeof(kKey1));
    memcpy(key2, kKey2, sizeof(kKey2));
    memcpy(key3, kKey3, sizeof(kKey3));
    memcpy(iv_out, kInitialVector, sizeof(kInitialVector));
}

void cLog_header(uint8 header[16]) {
    memcpy(header, kMagic, sizeof(kMagic));
    memcpy(header + sizeof(kMagic), kHeaderValue, sizeof(kHeaderValue));
}

long cLog_decrypt_image(const unsigned char* data, long size, unsigned char* out) {
    if (data == nullptr || size <= 0) {
        return -1;
    }
    const long start = has_header(data, size) ? kHeaderSize : 0;
    if (size > start && out == nullptr) {
        return -1;
    }
    des3_context ctx;
    des3_set_3keys(&ctx, kKey1, kKey2, kKey3);
    uint8 feedback[kBlock];
    memcpy(feedback, kInitialVector, kBlock);
    for (long pos = start; pos < size; pos += kBlock) {
        uint8 keystream[kBlock];
        des3_encrypt(&ctx, feedback, keystream);
        const long n = size - pos < kBlock ? size - pos : kBlock;
        for (long i = 0; i < n; ++i) {
            out[pos - start + i] = static_cast<unsigned char>(data[pos + i] ^ keystream[i]);
        }
        if (n == kBlock) {
            memcpy(feedback, data + pos, kBlock);
        }
    }
    return size - start;
}
