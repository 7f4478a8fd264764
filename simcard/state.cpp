// SPDX-License-Identifier: MIT
// Reading, looking up, locking, writing and atomically rewriting the simulated card's state file.
#include "state.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace simcard {

const char* const kFunctionNames[kFunctionCount] = {
#define SIMCARD_NAME(name) "C_" #name,
    SIMCARD_FUNCTIONS(SIMCARD_NAME)
#undef SIMCARD_NAME
};

int function_index(std::string_view name) {
    for (int i = 0; i < kFunctionCount; ++i) {
        if (name == kFunctionNames[i]) {
            return i;
        }
    }
    return -1;
}

namespace {

constexpr long kMaxCertBytes = 1L << 20;    // no card stores more
constexpr long kMaxStateBytes = 16L << 20;  // nor a state file of more
constexpr const char* kTempInfix = ".tmp-";

// The keys of a [reader] section: what each sets and, for text, the field's width.
enum Kind { kText, kNumber, kFlags, kPin, kPuk, kPinTries, kPukTries, kCard, kCertKey };
struct Key {
    const char* name;
    Kind kind;
    std::string Reader::*text;
    CK_ULONG Reader::*number;
    size_t width;
};
const Key kKeys[] = {
    {"description", kText, &Reader::description, nullptr, 64},
    {"card", kCard, nullptr, nullptr, 0},
    {"label", kText, &Reader::label, nullptr, 32},
    {"serial", kText, &Reader::serial, nullptr, 16},
    {"model", kText, &Reader::model, nullptr, 16},
    {"manufacturer", kText, &Reader::manufacturer, nullptr, 32},
    {"min_pin", kNumber, nullptr, &Reader::min_pin, 0},
    {"max_pin", kNumber, nullptr, &Reader::max_pin, 0},
    {"pin", kPin, nullptr, nullptr, 0},
    {"puk", kPuk, nullptr, nullptr, 0},
    {"pin_tries", kPinTries, nullptr, nullptr, 0},
    {"pin_max_tries", kNumber, nullptr, &Reader::pin_max_tries, 0},
    {"puk_tries", kPukTries, nullptr, nullptr, 0},
    {"puk_max_tries", kNumber, nullptr, &Reader::puk_max_tries, 0},
    {"extra_flags", kFlags, nullptr, &Reader::extra_flags, 0},
    {"cert", kCertKey, nullptr, nullptr, 0},
};
constexpr int kKeyCount = sizeof kKeys / sizeof kKeys[0];

int key_index(std::string_view name) {
    for (int i = 0; i < kKeyCount; ++i) {
        if (name == kKeys[i].name) {
            return i;
        }
    }
    return -1;
}

// Misbehaviour knobs of the [fault] section.
struct KnobKey {
    const char* name;
    Knob Faults::*field;
};
const KnobKey kKnobKeys[] = {
    {"C_GetSlotList.count", &Faults::slot_count},
    {"C_FindObjects.count", &Faults::object_count},
    {"C_GetAttributeValue.length", &Faults::value_length},
    {"C_OpenSession.handle", &Faults::session_handle},
    {"C_GetFunctionList.missing", &Faults::missing_function},
};

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && is_blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// Where a comment starts: a '#' at the start or after a blank; npos when none.
size_t comment_start(std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '#' && (i == 0 || is_blank(s[i - 1]))) {
            return i;
        }
    }
    return std::string_view::npos;
}

int hex_digit(char c) {
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

// Control and non-ASCII bytes as \xHH, so that no raw byte of a file reaches a terminal.
std::string printable(std::string_view s) {
    std::string out;
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7e) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// Decodes the text after '=': quoted with \\, \" and \xHH escapes and followed only by a
// comment, or bare up to a comment and trimmed. Returns an error text, or nullptr.
const char* decode_value(std::string_view raw, std::string* value) {
    raw = trim(raw);
    value->clear();
    if (raw.empty() || raw.front() != '"') {
        value->assign(trim(raw.substr(0, comment_start(raw))));
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
        } else if (i < raw.size() && (raw[i] == '\\' || raw[i] == '"')) {
            value->push_back(raw[i++]);
        } else if (i + 2 < raw.size() && raw[i] == 'x' && hex_digit(raw[i + 1]) >= 0 &&
                   hex_digit(raw[i + 2]) >= 0) {
            value->push_back(static_cast<char>(hex_digit(raw[i + 1]) * 16 + hex_digit(raw[i + 2])));
            i += 3;
        } else if (i >= raw.size()) {
            return "quoted value without closing quote";
        } else {
            return "bad escape in quoted value (use \\\\, \\\" or \\xHH)";
        }
    }
    std::string_view rest = trim(raw.substr(i));
    return rest.empty() || rest.front() == '#' ? nullptr : "text after the closing quote";
}

// The value as the file writes it: bare when it reads back unchanged, else quoted.
std::string encode_value(const std::string& v) {
    bool bare = !v.empty() && !is_blank(v.front()) && !is_blank(v.back()) && v.front() != '"';
    for (char c : v) {
        bare = bare && c != '#' && static_cast<unsigned char>(c) >= 0x20 &&
               static_cast<unsigned char>(c) <= 0x7e;
    }
    if (bare) {
        return v;
    }
    std::string out = "\"";
    for (char c : v) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out += c == '"' || c == '\\' ? std::string(1, c) : printable(std::string_view(&c, 1));
    }
    return out + "\"";
}

// A decimal or 0x-hexadecimal CK_ULONG; false when it is not one or too big.
bool parse_number(std::string_view s, CK_ULONG* out) {
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    CK_ULONG v = 0;
    for (char c : s) {
        int d = base == 16 ? hex_digit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0 || v > (ULONG_MAX - static_cast<CK_ULONG>(d)) / base) {
            return false;
        }
        v = v * base + static_cast<CK_ULONG>(d);
    }
    *out = v;
    return !s.empty();
}

// Reads at most `limit` bytes of `fd`; returns 0 or an errno value.
int read_all(int fd, long limit, std::string* out) {
    out->clear();
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        if (n == 0) {
            return 0;
        }
        if (static_cast<long>(out->size()) + n > limit) {
            return EFBIG;
        }
        out->append(buf, static_cast<size_t>(n));
    }
}

int read_file(const std::string& path, long limit, std::string* out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int err = read_all(fd, limit, out);
    ::close(fd);
    return err;
}

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The section a line opens: 0 for [reader], -2 for [fault], -3 for another, -1 for none.
// `*header` is the trimmed text of a header line.
int section_of(std::string_view line, std::string_view* header) {
    std::string_view s = trim(line);
    if (s.empty() || s.front() != '[') {
        return -1;
    }
    *header = trim(s.substr(0, comment_start(s)));
    std::string_view name = trim(header->substr(1, header->size() - 1 - (header->back() == ']')));
    return name == "reader" ? 0 : name == "fault" ? -2 : -3;
}

// Parser state of one file; every error names the file and the line.
struct Parser {
    const std::string& path;
    State* st;
    std::string* error;
    Scope scope;
    enum { kNone, kReader, kFault } section = kNone;
    long section_line = 0;      // 1-based line of the current section header
    long seen[kKeyCount] = {};  // 1-based line of each reader key seen, 0 when not
    std::vector<long> cert_lines = {};

    bool fail(long line, const std::string& what) {
        *error = printable(path + (line > 0 ? ":" + std::to_string(line) : "") + ": " + what);
        return false;
    }

    bool reader_key(long line, std::string_view name, const std::string& value) {
        Reader& r = st->readers.back();
        int k = key_index(name);
        if (k < 0) {
            return fail(line, "unknown key '" + std::string(name) + "' in [reader]");
        }
        const Key& key = kKeys[k];
        if (key.kind != kCertKey && seen[k] != 0) {
            return fail(line, "key '" + std::string(name) + "' given twice (first on line " +
                                  std::to_string(seen[k]) + ")");
        }
        seen[k] = line;
        r.values.emplace_back(name, value);
        CK_ULONG* number = key.number              ? &(r.*key.number)
                           : key.kind == kPinTries ? &r.now.pin_tries
                           : key.kind == kPukTries ? &r.now.puk_tries
                                                   : nullptr;
        switch (key.kind) {
            case kCard:
                r.present = value == "present";
                return value == "present" || value == "absent" ||
                       fail(line, "card must be 'present' or 'absent'");
            case kPin:
                r.now.pin = value;
                return true;
            case kPuk:
                r.now.puk = value;
                return true;
            case kCertKey:
                r.cert_files.push_back(value);
                cert_lines.push_back(line);
                return !value.empty() || fail(line, "cert needs a file name");
            case kText:
                r.*key.text = value;
                return value.size() <= key.width ||
                       fail(line, std::string(key.name) + " is longer than " +
                                      std::to_string(key.width) + " characters");
            default:
                return parse_number(value, number) ||
                       fail(line, std::string(key.name) +
                                      " needs a number (decimal or 0x hex) that fits an "
                                      "unsigned long");
        }
    }

    bool fault_key(long line, std::string_view key, const std::string& value) {
        int fn = function_index(key);
        Knob* knob = fn >= 0 ? &st->faults.rv[fn] : nullptr;
        for (const KnobKey& k : kKnobKeys) {
            knob = key == k.name ? &(st->faults.*k.field) : knob;
        }
        if (knob == nullptr) {
            std::string knobs;
            for (const KnobKey& k : kKnobKeys) {
                knobs += (knobs.empty() ? "" : ", ") + std::string(k.name);
            }
            return fail(line, "unknown key '" + std::string(key) +
                                  "' in [fault] (a function name C_Xxx that the card "
                                  "implements, or one of " +
                                  knobs + ")");
        }
        if (knob->set) {
            return fail(line, "key '" + std::string(key) + "' given twice");
        }
        if (knob == &st->faults.missing_function) {
            // A function's name, kept as its Fn.
            const int missing = function_index(value);
            knob->value = static_cast<CK_ULONG>(missing);
            knob->set = missing >= 0;
            return knob->set || fail(line, std::string(key) +
                                               " needs the name of a function the card "
                                               "implements, e.g. C_Login");
        }
        if (!parse_number(value, &knob->value)) {
            return fail(line, std::string(key) +
                                  " needs a number (decimal or 0x hex) that fits an unsigned "
                                  "long");
        }
        knob->set = true;
        return true;
    }

    // Checks the finished [reader] section and reads its certificates.
    bool end_reader() {
        if (section != kReader || scope == kFaultsOnly) {
            return true;
        }
        Reader& r = st->readers.back();
        auto at = [this](const char* key) { return seen[key_index(key)]; };
        if (at("description") == 0) {
            r.description = "Simulated Reader " + std::to_string(st->readers.size() - 1);
        }
        if (!r.present) {
            return true;
        }
        if (at("pin") == 0 || at("puk") == 0) {
            return fail(section_line, std::string("reader with a card needs a '") +
                                          (at("pin") == 0 ? "pin" : "puk") + "' key");
        }
        if (r.min_pin > r.max_pin) {
            return fail(at("min_pin"), "min_pin is greater than max_pin");
        }
        if (r.pin_max_tries == 0 || r.puk_max_tries == 0) {
            const char* key = r.pin_max_tries == 0 ? "pin_max_tries" : "puk_max_tries";
            return fail(at(key), std::string(key) + " must be at least 1");
        }
        struct {
            const char* tries;
            CK_ULONG* now;
            CK_ULONG max;
        } counters[] = {{"pin_tries", &r.now.pin_tries, r.pin_max_tries},
                        {"puk_tries", &r.now.puk_tries, r.puk_max_tries}};
        for (auto& c : counters) {
            if (at(c.tries) == 0) {
                *c.now = c.max;
            } else if (*c.now > c.max) {
                return fail(at(c.tries), std::string(c.tries) + " is greater than " +
                                             std::string(c.tries, 3) + "_max_tries");
            }
        }
        for (size_t i = 0; scope == kEverything && i < r.cert_files.size(); ++i) {
            const std::string& name = r.cert_files[i];
            std::string file = name.front() == '/' ? name : directory_of(path) + "/" + name;
            Cert c;
            if (int err = read_file(file, kMaxCertBytes, &c.der)) {
                return fail(cert_lines[i],
                            "cannot read certificate '" + file + "': " + std::strerror(err));
            }
            c.label = name.substr(name.rfind('/') + 1);  // npos + 1 is 0
            size_t dot = c.label.rfind('.');
            c.label.resize(dot != std::string::npos && dot > 0 ? dot : c.label.size());
            r.certs.push_back(std::move(c));
        }
        return true;
    }

    bool read_line(long number, std::string_view text) {
        std::string_view s = trim(text), header;
        if (s.empty() || s.front() == '#') {
            return true;
        }
        int opened = section_of(s, &header);
        if (opened != -1) {
            if (header.back() != ']') {
                return fail(number, "section header without closing ']'");
            }
            if (!end_reader()) {
                return false;
            }
            std::fill(std::begin(seen), std::end(seen), 0);
            cert_lines.clear();
            section_line = number;
            section = opened == 0 ? kReader : kFault;
            if (opened == 0) {
                st->readers.emplace_back();
            } else if (opened == -3) {
                return fail(number, "unknown section '" + std::string(header) +
                                        "' (expected [reader] or [fault])");
            }
            return true;
        }
        size_t eq = s.find('=');
        if (eq == std::string_view::npos) {
            return fail(number, "expected 'key = value'");
        }
        std::string_view key = trim(s.substr(0, eq));
        if (key.empty()) {
            return fail(number, "missing key before '='");
        }
        if (section == kNone) {
            return fail(number, "key '" + std::string(key) +
                                    "' before the first [reader] or [fault] section");
        }
        if (scope == kFaultsOnly && section != kFault) {
            return true;
        }
        std::string value;
        if (const char* bad = decode_value(s.substr(eq + 1), &value)) {
            return fail(number, bad);
        }
        return section == kReader ? reader_key(number, key, value) : fault_key(number, key, value);
    }
};

// Calls `line(number, text)` for each line of `text` (without '\n' and a trailing CR).
template <typename LineFn>
bool for_each_line(std::string_view text, LineFn&& line) {
    for (long number = 1; !text.empty(); ++number) {
        size_t nl = text.find('\n');
        std::string_view l = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (!l.empty() && l.back() == '\r') {
            l.remove_suffix(1);
        }
        if (!line(number, l)) {
            return false;
        }
    }
    return true;
}

int write_all(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

// A number as the file writes it: decimal, or 0x hexadecimal for bits and codes.
std::string number_text(CK_ULONG value, bool hex) {
    char text[24];
    std::snprintf(text, sizeof text, hex ? "0x%lx" : "%lu", static_cast<unsigned long>(value));
    return text;
}

// The lines "key = value" that give `key` of `r` its value, each ended by `end`: one line,
// none or several for `cert`. Values are encoded to read back the same.
std::string key_lines(const Reader& r, const Key& key, std::string_view end) {
    const std::string start = std::string(key.name) + " = ";
    switch (key.kind) {
        case kText:
            return start + encode_value(r.*key.text) + std::string(end);
        case kCard:
            return start + (r.present ? "present" : "absent") + std::string(end);
        case kPin:
        case kPuk:
            return start + encode_value(key.kind == kPin ? r.now.pin : r.now.puk) +
                   std::string(end);
        case kPinTries:
        case kPukTries:
            return start +
                   number_text(key.kind == kPinTries ? r.now.pin_tries : r.now.puk_tries, false) +
                   std::string(end);
        case kCertKey: {
            std::string lines;
            for (const std::string& file : r.cert_files) {
                lines += start + encode_value(file) + std::string(end);
            }
            return lines;
        }
        default:
            return start + number_text(r.*key.number, key.kind == kFlags) + std::string(end);
    }
}

// The [fault] section that sets what `faults` sets; "" when it sets nothing.
std::string fault_section(const Faults& faults) {
    std::string lines;
    for (int fn = 0; fn < kFunctionCount; ++fn) {
        if (faults.rv[fn].set) {
            lines += std::string(kFunctionNames[fn]) + " = " +
                     number_text(faults.rv[fn].value, true) + "\n";
        }
    }
    for (const KnobKey& k : kKnobKeys) {
        const Knob& knob = faults.*k.field;
        if (!knob.set) {
            continue;
        }
        const bool function = k.field == &Faults::missing_function;
        if (function && knob.value >= static_cast<CK_ULONG>(kFunctionCount)) {
            continue;  // no function of the card: the file could not say it
        }
        lines +=
            std::string(k.name) + " = " +
            (function ? std::string(kFunctionNames[knob.value]) : number_text(knob.value, false)) +
            "\n";
    }
    return lines.empty() ? lines : "[fault]\n" + lines;
}

// Whether the file gave reader section `r` the key `name`.
bool has_key(const Reader& r, std::string_view name) {
    for (const auto& kv : r.values) {
        if (kv.first == name) {
            return true;
        }
    }
    return false;
}

// The line end that follows `line`, a view into `text`: CR LF or LF.
std::string_view line_end(const std::string& text, std::string_view line) {
    const size_t after = static_cast<size_t>(line.data() - text.data()) + line.size();
    return after < text.size() && text[after] == '\r' ? "\r\n" : "\n";
}

// What `line` of the section of `r` becomes when the Secrets are written back: a line of
// pin, puk, pin_tries or puk_tries gives the value of now (a pin or puk line is followed
// by the tries line the section lacks); any other line, and every line when `r` is null
// (no reader with a card), stays as it is.
std::string written_back(const Reader* r, std::string_view line, std::string_view end) {
    const size_t eq = line.find('=');
    const int k = r != nullptr && eq != std::string_view::npos && trim(line).front() != '#'
                      ? key_index(trim(line.substr(0, eq)))
                      : -1;
    const Kind kind = k >= 0 ? kKeys[k].kind : kText;
    if (kind != kPin && kind != kPuk && kind != kPinTries && kind != kPukTries) {
        return std::string(line) + std::string(end);
    }
    std::string out = key_lines(*r, kKeys[k], end);
    const std::string tries = std::string(kKeys[k].name) + "_tries";
    if ((kind == kPin || kind == kPuk) && !has_key(*r, tries)) {
        out += key_lines(*r, kKeys[key_index(tries)], end);
    }
    return out;
}

// The text of `st.text` with the Secrets of every reader with a card written in.
std::string with_secrets_written(const State& st) {
    std::string out;
    size_t readers = 0;
    const Reader* r = nullptr;  // the section of the line, when a reader with a card
    for_each_line(st.text, [&](long, std::string_view l) {
        std::string_view header;
        const int opened = section_of(l, &header);
        if (opened != -1) {
            r = opened == 0 && readers < st.readers.size() && st.readers[readers].present
                    ? &st.readers[readers]
                    : nullptr;
            readers += opened == 0;
        }
        out += written_back(opened == -1 ? r : nullptr, l, line_end(st.text, l));
        return true;
    });
    if (!st.text.empty() && st.text.back() != '\n') {
        out.pop_back();  // the last line had no line end, and keeps none
    }
    return out;
}

}  // namespace

bool parse_state(const std::string& path, const std::string& text, State* out, std::string* error,
                 Scope scope) {
    *out = State();
    out->path = path;
    out->text = text;
    Parser p{path, out, error, scope};
    return for_each_line(text, [&p](long n, std::string_view l) { return p.read_line(n, l); }) &&
           p.end_reader();
}

bool load_state(const std::string& path, State* out, std::string* error, Scope scope) {
    std::string text;
    if (int err = read_file(path, kMaxStateBytes, &text)) {
        *error = printable(path + ": cannot read the state file: " + std::strerror(err));
        return false;
    }
    return parse_state(path, text, out, error, scope);
}

bool save_state(State* st) {
    if (::faccessat(AT_FDCWD, st->path.c_str(), W_OK, AT_EACCESS) != 0) {
        return false;  // read-only means read-only, even where the folder would allow a rename
    }
    std::string out = with_secrets_written(*st);
    if (replace_file(st->path, out, 0600, false) != 0) {
        return false;
    }
    st->text = std::move(out);
    return true;
}

std::string encode_state(const State& st) {
    std::string out;
    for (const Reader& r : st.readers) {
        out += "[reader]\n";
        for (const Key& key : kKeys) {
            const bool description = key.text == &Reader::description;
            if (description ? !r.description.empty() : r.present || key.kind == kCard) {
                out += key_lines(r, key, "\n");
            }
        }
    }
    return out + fault_section(st.faults);
}

bool look_up(const std::string& path, size_t reader, std::string_view key,
             std::vector<std::string>* values, std::string* error) {
    values->clear();
    State st;
    if (!load_state(path, &st, error, kWithoutCerts)) {
        return false;
    }
    for (size_t i = 0; reader < st.readers.size() && i < st.readers[reader].values.size(); ++i) {
        const auto& [name, value] = st.readers[reader].values[i];
        if (name == key) {
            values->push_back(value);
        }
    }
    return true;
}

int replace_file(const std::string& path, const std::string& data, unsigned mode, bool keep) {
    if (keep && ::access(path.c_str(), F_OK) == 0) {
        return EEXIST;
    }
    std::string tmp = path + kTempInfix + "XXXXXX";
    int fd = ::mkostemp(&tmp[0], O_CLOEXEC);  // mode 0600
    if (fd < 0) {
        return errno;
    }
    int err = write_all(fd, data);
    err = err == 0 && ::fsync(fd) != 0 ? errno : err;
    struct stat old {};
    if (err == 0 && ::stat(path.c_str(), &old) == 0) {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Not permitted: an ordinary user keeps the file as their own.
        }
        mode = old.st_mode & 07777;
    }
    // The temporary name keeps 0600 to the end: the file gets its final mode only once it
    // has taken the state file's place, so a kill at any moment leaves no copy of the
    // secrets that others may read (at worst the state file itself stays 0600).
    bool renamed = false;
    if (err == 0) {
        renamed =
            (keep ? ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE)
                  : ::rename(tmp.c_str(), path.c_str())) == 0;
        err = !renamed ? errno : ::fchmod(fd, mode) != 0 ? errno : 0;
    }
    if (!renamed) {
        ::unlink(tmp.c_str());
    }
    err = ::close(fd) != 0 && err == 0 ? errno : err;
    if (err != 0) {
        return err;
    }
    int dir = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

void remove_stale_temporaries(const std::string& path) {
    const std::string dir = directory_of(path);
    const std::string prefix = path.substr(path.rfind('/') + 1) + kTempInfix;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    while (const dirent* e = ::readdir(d)) {
        std::string_view name = e->d_name;
        if (name.size() == prefix.size() + 6 && name.substr(0, prefix.size()) == prefix) {
            ::unlinkat(::dirfd(d), e->d_name, 0);
        }
    }
    ::closedir(d);
}

namespace {

long long monotonic_millis() {
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Takes an exclusive flock on `fd` unless the monotonic clock passes `deadline` (ms) first:
// a lock held for ever, by another user who can read the file, must not freeze the card.
// Returns 0, ETIMEDOUT or an errno value.
int lock_before(int fd, long long deadline) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return 0;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return errno;
        }
        // Past the deadline's whole millisecond: the clock is read in whole milliseconds, so
        // reaching it could still be up to one short of the wait asked for.
        if (monotonic_millis() > deadline) {
            return ETIMEDOUT;
        }
        const struct timespec pause = {0, 10 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
}

}  // namespace

int lock_state(const std::string& path, State* out, std::string* error, Scope scope, int wait_ms) {
    int err = EAGAIN;
    const long long deadline = monotonic_millis() + wait_ms;
    for (int attempt = 0; attempt < 1000 && err == EAGAIN; ++attempt) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        err = fd < 0 ? errno : lock_before(fd, deadline);
        // Another process may have replaced the file while this one waited for the lock.
        struct stat locked {
        }, now{};
        if (err == 0 && ::fstat(fd, &locked) == 0 && ::stat(path.c_str(), &now) == 0 &&
            (locked.st_dev != now.st_dev || locked.st_ino != now.st_ino)) {
            err = EAGAIN;
        }
        std::string text;
        err = err == 0 ? read_all(fd, kMaxStateBytes, &text) : err;
        if (err == 0) {
            if (parse_state(path, text, out, error, scope)) {
                return fd;
            }
            ::close(fd);
            return -1;
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (err == ETIMEDOUT) {
        *error = printable(path + ": the state file stayed locked by another process for " +
                           std::to_string(wait_ms) + " ms");
        return kLockBusy;
    }
    *error = printable(path + ": cannot read the state file: " + std::strerror(err));
    return -1;
}

}  // namespace simcard
