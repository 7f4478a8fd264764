// Reading and atomically rewriting the simulated card's state file.
#include "state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace simcard {

const char* const kFunctionNames[kFunctionCount] = {
    "C_Initialize",
    "C_Finalize",
    "C_GetInfo",
    "C_GetFunctionList",
    "C_GetSlotList",
    "C_GetSlotInfo",
    "C_GetTokenInfo",
    "C_GetMechanismList",
    "C_GetMechanismInfo",
    "C_InitToken",
    "C_InitPIN",
    "C_SetPIN",
    "C_OpenSession",
    "C_CloseSession",
    "C_CloseAllSessions",
    "C_GetSessionInfo",
    "C_GetOperationState",
    "C_SetOperationState",
    "C_Login",
    "C_Logout",
    "C_CreateObject",
    "C_CopyObject",
    "C_DestroyObject",
    "C_GetObjectSize",
    "C_GetAttributeValue",
    "C_SetAttributeValue",
    "C_FindObjectsInit",
    "C_FindObjects",
    "C_FindObjectsFinal",
    "C_EncryptInit",
    "C_Encrypt",
    "C_EncryptUpdate",
    "C_EncryptFinal",
    "C_DecryptInit",
    "C_Decrypt",
    "C_DecryptUpdate",
    "C_DecryptFinal",
    "C_DigestInit",
    "C_Digest",
    "C_DigestUpdate",
    "C_DigestKey",
    "C_DigestFinal",
    "C_SignInit",
    "C_Sign",
    "C_SignUpdate",
    "C_SignFinal",
    "C_SignRecoverInit",
    "C_SignRecover",
    "C_VerifyInit",
    "C_Verify",
    "C_VerifyUpdate",
    "C_VerifyFinal",
    "C_VerifyRecoverInit",
    "C_VerifyRecover",
    "C_DigestEncryptUpdate",
    "C_DecryptDigestUpdate",
    "C_SignEncryptUpdate",
    "C_DecryptVerifyUpdate",
    "C_GenerateKey",
    "C_GenerateKeyPair",
    "C_WrapKey",
    "C_UnwrapKey",
    "C_DeriveKey",
    "C_SeedRandom",
    "C_GenerateRandom",
    "C_GetFunctionStatus",
    "C_CancelFunction",
    "C_WaitForSlotEvent",
};

int FunctionIndex(std::string_view name) {
    for (int i = 0; i < kFunctionCount; ++i) {
        if (name == kFunctionNames[i]) {
            return i;
        }
    }
    return -1;
}

namespace {

// Certificate files larger than this are refused: no card stores more.
constexpr long kMaxCertBytes = 1L << 20;

// Names of the mutable keys, indexed by Mutable.
constexpr const char* kMutableNames[kMutableCount] = {"pin", "puk", "pin_tries", "puk_tries"};

// Text keys of a reader and the width of the token or slot field each fills.
struct TextKey {
    const char* name;
    std::string Reader::*field;
    size_t width;
};
const TextKey kTextKeys[] = {
    {"description", &Reader::description, 64},
    {"label", &Reader::label, 32},
    {"serial", &Reader::serial, 16},
    {"model", &Reader::model, 16},
    {"manufacturer", &Reader::manufacturer, 32},
};

// Number keys of a reader.
struct NumberKey {
    const char* name;
    CK_ULONG Reader::*field;
};
const NumberKey kNumberKeys[] = {
    {"min_pin", &Reader::min_pin},         {"max_pin", &Reader::max_pin},
    {"pin_tries", &Reader::pin_tries},     {"pin_max_tries", &Reader::pin_max_tries},
    {"puk_tries", &Reader::puk_tries},     {"puk_max_tries", &Reader::puk_max_tries},
    {"extra_flags", &Reader::extra_flags},
};

// Misbehaviour knobs of the [fault] section and the Faults member each sets.
struct KnobKey {
    const char* name;
    Knob Faults::*field;
};
const KnobKey kKnobKeys[] = {
    {"C_GetSlotList.count", &Faults::slot_count},
    {"C_FindObjects.count", &Faults::object_count},
    {"C_GetAttributeValue.length", &Faults::value_length},
    {"C_OpenSession.handle", &Faults::session_handle},
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// Position where a comment starts: a '#' at the start or after a blank; npos when none.
size_t CommentStart(std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '#' && (i == 0 || IsBlank(s[i - 1]))) {
            return i;
        }
    }
    return std::string_view::npos;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Decodes the text after '=' into *value. A value in double quotes may hold \\, \" and
// \xHH escapes and is followed only by blanks or a comment; any other value runs up to a
// comment and is trimmed. Returns an error text, or nullptr on success.
const char* DecodeValue(std::string_view raw, std::string* value) {
    raw = Trim(raw);
    value->clear();
    if (raw.empty() || raw.front() != '"') {
        size_t c = CommentStart(raw);
        if (c != std::string_view::npos) {
            raw = raw.substr(0, c);
        }
        value->assign(Trim(raw));
        return nullptr;
    }
    size_t i = 1;
    for (;;) {
        if (i >= raw.size()) {
            return "quoted value without closing quote";
        }
        char c = raw[i++];
        if (c == '"') {
            break;
        }
        if (c != '\\') {
            value->push_back(c);
            continue;
        }
        if (i >= raw.size()) {
            return "quoted value without closing quote";
        }
        char e = raw[i++];
        if (e == '\\' || e == '"') {
            value->push_back(e);
        } else if (e == 'x' && i + 1 < raw.size() && HexDigit(raw[i]) >= 0 &&
                   HexDigit(raw[i + 1]) >= 0) {
            value->push_back(static_cast<char>(HexDigit(raw[i]) * 16 + HexDigit(raw[i + 1])));
            i += 2;
        } else {
            return "bad escape in quoted value (use \\\\, \\\" or \\xHH)";
        }
    }
    std::string_view rest = Trim(raw.substr(i));
    if (!rest.empty() && rest.front() != '#') {
        return "text after the closing quote";
    }
    return nullptr;
}

// The value as the file writes it: bare when it reads back unchanged, else quoted.
std::string EncodeValue(const std::string& v) {
    bool bare = !v.empty() && !IsBlank(v.front()) && !IsBlank(v.back()) && v.front() != '"';
    for (char c : v) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7e || c == '#') {
            bare = false;
        }
    }
    if (bare) {
        return v;
    }
    std::string out = "\"";
    for (char c : v) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (u < 0x20 || u > 0x7e) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

// Parses a decimal or 0x-hexadecimal CK_ULONG. Returns false when it is not one or too big.
bool ParseNumber(std::string_view s, CK_ULONG* out) {
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) {
        return false;
    }
    CK_ULONG v = 0;
    for (char c : s) {
        int d = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) {
            return false;
        }
        if (v > (ULONG_MAX - static_cast<CK_ULONG>(d)) / base) {
            return false;
        }
        v = v * base + static_cast<CK_ULONG>(d);
    }
    *out = v;
    return true;
}

bool ReadWholeFile(const std::string& path, long limit, std::string* out, int* err) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        *err = errno;
        return false;
    }
    out->clear();
    char buf[8192];
    size_t n;
    bool ok = true;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        if (static_cast<long>(out->size() + n) > limit) {
            *err = EFBIG;
            ok = false;
            break;
        }
        out->append(buf, n);
    }
    if (ok && std::ferror(f)) {
        *err = EIO;
        ok = false;
    }
    std::fclose(f);
    return ok;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Parser state of one file; every error names the file and the line.
struct Parser {
    const std::string& path;
    State* st;
    std::string* error;
    enum { kNone, kReader, kFault } section = kNone;
    long section_line = 0;  // 1-based line of the current section header
    long seen[32] = {};     // 1-based line of each reader key seen, 0 when not
    std::vector<std::pair<std::string, long>> cert_files = {};  // of the current reader

    bool Fail(long line, const std::string& what) {
        *error = path + ":" + std::to_string(line) + ": " + what;
        return false;
    }

    // Index of a reader key in `seen`, -1 for an unknown key.
    static int ReaderKeyIndex(std::string_view key) {
        static const char* const names[] = {
            "description", "card",          "label",       "serial", "model",     "manufacturer",
            "min_pin",     "max_pin",       "pin",         "puk",    "pin_tries", "pin_max_tries",
            "puk_tries",   "puk_max_tries", "extra_flags", "cert"};
        for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
            if (key == names[i]) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    long Seen(const char* key) const { return seen[ReaderKeyIndex(key)]; }

    bool ReaderKey(long line, std::string_view key, const std::string& value) {
        Reader& r = st->readers.back();
        int k = ReaderKeyIndex(key);
        if (k < 0) {
            return Fail(line, "unknown key '" + std::string(key) + "' in [reader]");
        }
        if (key != "cert" && seen[k] != 0) {
            return Fail(line, "key '" + std::string(key) + "' given twice (first on line " +
                                  std::to_string(seen[k]) + ")");
        }
        seen[k] = line;
        r.last_line = line - 1;
        for (int m = 0; m < kMutableCount; ++m) {
            if (key == kMutableNames[m]) {
                r.line[m] = line - 1;
            }
        }
        if (key == "card") {
            if (value == "present") {
                r.present = true;
            } else if (value == "absent") {
                r.present = false;
            } else {
                return Fail(line, "card must be 'present' or 'absent'");
            }
            return true;
        }
        if (key == "pin") {
            r.pin = value;
            return true;
        }
        if (key == "puk") {
            r.puk = value;
            return true;
        }
        if (key == "cert") {
            if (value.empty()) {
                return Fail(line, "cert needs a file name");
            }
            cert_files.emplace_back(value, line);
            return true;
        }
        for (const TextKey& t : kTextKeys) {
            if (key == t.name) {
                if (value.size() > t.width) {
                    return Fail(line, std::string(t.name) + " is longer than " +
                                          std::to_string(t.width) + " characters");
                }
                r.*t.field = value;
                return true;
            }
        }
        for (const NumberKey& n : kNumberKeys) {
            if (key == n.name) {
                if (!ParseNumber(value, &(r.*n.field))) {
                    return Fail(line, std::string(n.name) +
                                          " needs a number (decimal or 0x hex) that fits "
                                          "an unsigned long");
                }
                return true;
            }
        }
        return Fail(line, "unknown key '" + std::string(key) + "' in [reader]");
    }

    bool FaultKey(long line, std::string_view key, const std::string& value) {
        Knob* knob = nullptr;
        int fn = FunctionIndex(key);
        if (fn >= 0) {
            knob = &st->faults.rv[fn];
        }
        for (const KnobKey& k : kKnobKeys) {
            if (key == k.name) {
                knob = &(st->faults.*k.field);
            }
        }
        if (knob == nullptr) {
            return Fail(line, "unknown key '" + std::string(key) +
                                  "' in [fault] (a function name C_Xxx, or one of "
                                  "C_GetSlotList.count, C_FindObjects.count, "
                                  "C_GetAttributeValue.length, C_OpenSession.handle)");
        }
        if (knob->set) {
            return Fail(line, "key '" + std::string(key) + "' given twice");
        }
        if (!ParseNumber(value, &knob->value)) {
            return Fail(line, std::string(key) +
                                  " needs a number (decimal or 0x hex) that fits an "
                                  "unsigned long");
        }
        knob->set = true;
        return true;
    }

    // Checks the finished [reader] section and reads its certificates.
    bool EndReader() {
        if (section != kReader) {
            return true;
        }
        Reader& r = st->readers.back();
        if (r.description.empty() && Seen("description") == 0) {
            r.description = "Simulated Reader " + std::to_string(st->readers.size() - 1);
        }
        if (!r.present) {
            return true;
        }
        if (Seen("pin") == 0) {
            return Fail(section_line, "reader with a card needs a 'pin' key");
        }
        if (Seen("puk") == 0) {
            return Fail(section_line, "reader with a card needs a 'puk' key");
        }
        if (r.min_pin > r.max_pin) {
            return Fail(Seen("min_pin"), "min_pin is greater than max_pin");
        }
        if (r.pin_max_tries == 0) {
            return Fail(Seen("pin_max_tries"), "pin_max_tries must be at least 1");
        }
        if (r.puk_max_tries == 0) {
            return Fail(Seen("puk_max_tries"), "puk_max_tries must be at least 1");
        }
        if (Seen("pin_tries") == 0) {
            r.pin_tries = r.pin_max_tries;
        } else if (r.pin_tries > r.pin_max_tries) {
            return Fail(Seen("pin_tries"), "pin_tries is greater than pin_max_tries");
        }
        if (Seen("puk_tries") == 0) {
            r.puk_tries = r.puk_max_tries;
        } else if (r.puk_tries > r.puk_max_tries) {
            return Fail(Seen("puk_tries"), "puk_tries is greater than puk_max_tries");
        }
        const std::string dir = DirectoryOf(path);
        for (const auto& [name, line] : cert_files) {
            std::string file = name.front() == '/' ? name : dir + "/" + name;
            Cert c;
            int err = 0;
            if (!ReadWholeFile(file, kMaxCertBytes, &c.der, &err)) {
                return Fail(line, "cannot read certificate '" + file + "': " + std::strerror(err));
            }
            size_t slash = name.rfind('/');
            c.label = name.substr(slash == std::string::npos ? 0 : slash + 1);
            size_t dot = c.label.rfind('.');
            if (dot != std::string::npos && dot > 0) {
                c.label.resize(dot);
            }
            r.certs.push_back(std::move(c));
        }
        return true;
    }

    bool Line(long number, std::string_view text) {
        std::string_view s = Trim(text);
        if (s.empty() || s.front() == '#') {
            return true;
        }
        if (s.front() == '[') {
            size_t c = CommentStart(s);
            if (c != std::string_view::npos) {
                s = Trim(s.substr(0, c));
            }
            if (s.back() != ']') {
                return Fail(number, "section header without closing ']'");
            }
            std::string_view name = Trim(s.substr(1, s.size() - 2));
            if (!EndReader()) {
                return false;
            }
            cert_files.clear();
            std::fill(std::begin(seen), std::end(seen), 0);
            section_line = number;
            if (name == "reader") {
                section = kReader;
                st->readers.emplace_back();
                st->readers.back().last_line = number - 1;
            } else if (name == "fault") {
                section = kFault;
            } else {
                return Fail(number, "unknown section '[" + std::string(name) +
                                        "]' (expected [reader] or [fault])");
            }
            return true;
        }
        size_t eq = s.find('=');
        if (eq == std::string_view::npos) {
            return Fail(number, "expected 'key = value'");
        }
        std::string_view key = Trim(s.substr(0, eq));
        if (key.empty()) {
            return Fail(number, "missing key before '='");
        }
        std::string value;
        if (const char* bad = DecodeValue(s.substr(eq + 1), &value)) {
            return Fail(number, bad);
        }
        switch (section) {
            case kReader:
                return ReaderKey(number, key, value);
            case kFault:
                return FaultKey(number, key, value);
            default:
                return Fail(number, "key '" + std::string(key) +
                                        "' before the first [reader] or [fault] section");
        }
    }
};

}  // namespace

bool LoadState(const std::string& path, State* out, std::string* error) {
    *out = State();
    out->path = path;
    std::string text;
    int err = 0;
    if (!ReadWholeFile(path, 16L << 20, &text, &err)) {
        *error = path + ": cannot read the state file: " + std::strerror(err);
        return false;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            nl = text.size();
        }
        out->lines.emplace_back(text, start, nl - start);
        start = nl + 1;
    }
    Parser p{path, out, error};
    for (size_t i = 0; i < out->lines.size(); ++i) {
        std::string_view line = out->lines[i];
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!p.Line(static_cast<long>(i + 1), line)) {
            return false;
        }
    }
    return p.EndReader();
}

namespace {

// The line "key = value" that replaces `old`, keeping its indent, its comment and its CR.
std::string RewriteLine(const std::string& old, const char* key, const std::string& value) {
    std::string_view s = old;
    bool cr = !s.empty() && s.back() == '\r';
    if (cr) {
        s.remove_suffix(1);
    }
    size_t indent = 0;
    while (indent < s.size() && IsBlank(s[indent])) {
        ++indent;
    }
    std::string out(s.substr(0, indent));
    out += key;
    out += " = ";
    out += EncodeValue(value);
    // A comment after the old value stays. A quoted old value may hold " #" itself, so
    // look for the comment after its closing quote.
    size_t eq = s.find('=');
    std::string_view rest = eq == std::string_view::npos ? std::string_view() : s.substr(eq + 1);
    size_t lead = 0;
    while (lead < rest.size() && IsBlank(rest[lead])) {
        ++lead;
    }
    size_t from = 0;
    if (lead < rest.size() && rest[lead] == '"') {
        from = lead + 1;
        while (from < rest.size() && rest[from] != '"') {
            from += rest[from] == '\\' ? 2 : 1;
        }
        from = from < rest.size() ? from + 1 : rest.size();
    }
    size_t c = CommentStart(rest.substr(from));
    if (c != std::string_view::npos) {
        size_t begin = from + c;
        while (begin > from && IsBlank(rest[begin - 1])) {
            --begin;
        }
        out += rest.substr(begin);
    }
    if (cr) {
        out += '\r';
    }
    return out;
}

std::string MutableValue(const Reader& r, int key) {
    switch (key) {
        case kPinKey:
            return r.pin;
        case kPukKey:
            return r.puk;
        case kPinTriesKey:
            return std::to_string(r.pin_tries);
        default:
            return std::to_string(r.puk_tries);
    }
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool SaveState(State* st) {
    // Build the new lines: mutable keys rewritten in place, missing ones added at the end
    // of their section. New positions are recorded so that the next save finds them.
    std::vector<std::string> lines;
    lines.reserve(st->lines.size() + 4);
    struct Place {
        long line[kMutableCount];
        long last_line;
    };
    std::vector<Place> placed(st->readers.size());
    for (size_t r = 0; r < st->readers.size(); ++r) {
        std::copy(std::begin(st->readers[r].line), std::end(st->readers[r].line), placed[r].line);
        placed[r].last_line = st->readers[r].last_line;
    }
    for (size_t i = 0; i < st->lines.size(); ++i) {
        std::string line = st->lines[i];
        for (size_t r = 0; r < st->readers.size(); ++r) {
            const Reader& reader = st->readers[r];
            if (!reader.present) {
                continue;
            }
            for (int k = 0; k < kMutableCount; ++k) {
                if (reader.line[k] == static_cast<long>(i)) {
                    line = RewriteLine(st->lines[i], kMutableNames[k], MutableValue(reader, k));
                    placed[r].line[k] = static_cast<long>(lines.size());
                }
            }
        }
        lines.push_back(line);
        for (size_t r = 0; r < st->readers.size(); ++r) {
            const Reader& reader = st->readers[r];
            if (reader.last_line != static_cast<long>(i)) {
                continue;
            }
            for (int k = 0; k < kMutableCount && reader.present; ++k) {
                if (reader.line[k] < 0) {
                    placed[r].line[k] = static_cast<long>(lines.size());
                    lines.push_back(RewriteLine("", kMutableNames[k], MutableValue(reader, k)));
                }
            }
            placed[r].last_line = static_cast<long>(lines.size()) - 1;
        }
    }
    std::string data;
    for (const std::string& l : lines) {
        data += l;
        data += '\n';
    }

    std::string tmp = st->path + ".XXXXXX";
    int fd = ::mkstemp(&tmp[0]);
    if (fd < 0) {
        return false;
    }
    struct stat old {};
    if (::stat(st->path.c_str(), &old) == 0) {
        ::fchmod(fd, old.st_mode & 07777);
    }
    bool ok = WriteAll(fd, data) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), st->path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    int dir = ::open(DirectoryOf(st->path).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    st->lines = std::move(lines);
    for (size_t r = 0; r < st->readers.size(); ++r) {
        for (int k = 0; k < kMutableCount; ++k) {
            st->readers[r].line[k] = placed[r].line[k];
        }
        st->readers[r].last_line = placed[r].last_line;
    }
    return true;
}

}  // namespace simcard
