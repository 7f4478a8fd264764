// SPDX-License-Identifier: MIT
// The C++ tests' support without GTK (see harness.h).
#include "harness.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace support {

std::string make_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/pinman-test.XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) {
        return "";
    }
    return tmpl;
}

void remove_tree(const std::string& dir) {
    if (dir.empty()) {
        return;
    }
    nftw(
        dir.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    return static_cast<bool>(out);
}

bool copy_file(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    return static_cast<bool>(out);
}

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return names;
    }
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            names.emplace_back(e->d_name);
        }
    }
    closedir(d);
    return names;
}

std::vector<std::pair<std::string, std::string>> read_exports(const std::string& path) {
    std::vector<std::pair<std::string, std::string>> exports;
    std::istringstream lines(read_file(path));
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find("='");
        if (line.rfind("export ", 0) != 0 || eq == std::string::npos || line.back() != '\'') {
            ADD_FAILURE() << "not an export line in " << path << ": " << line;
            continue;
        }
        exports.emplace_back(line.substr(7, eq - 7), line.substr(eq + 2, line.size() - eq - 3));
    }
    return exports;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) {
        old_ = old;
    }
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (had_) {
        setenv(name_.c_str(), old_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

bool Module::load(const std::string& path, std::string* why) {
    unload();
    lib_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib_ == nullptr) {
        *why = std::string("dlopen: ") + dlerror();
        return false;
    }
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib_, "C_GetFunctionList"));
    if (get == nullptr) {
        *why = "no C_GetFunctionList in " + path;
        return false;
    }
    list_rv = get(&f);
    if (list_rv != CKR_OK || f == nullptr) {
        *why = "C_GetFunctionList answered " + std::to_string(list_rv);
        f = nullptr;
        return false;
    }
    return true;
}

void Module::unload() {
    f = nullptr;
    if (lib_ != nullptr) {
        dlclose(lib_);
        lib_ = nullptr;
    }
}

CardReader::CardReader() {
    description = "Simulated Reader 0";
    label = "Demo Card";
    serial = "0000000000000001";
    model = "SimCard";
    manufacturer = "Pin Manager project";
    now.pin = "1234";
    now.puk = "12345678";
}

CardReader labelled_reader(const std::string& label, bool present,
                           const std::vector<std::string>& certs, const std::string& pin,
                           const std::string& puk) {
    CardReader r;
    r.description.clear();
    r.present = present;
    r.label = label;
    r.serial = "SN-" + label;
    r.now.pin = pin;
    r.now.puk = puk;
    r.cert_files = certs;
    return r;
}

std::string state_text(const std::vector<CardReader>& readers, const std::string& faults) {
    simcard::State st;
    std::string error;
    if (!faults.empty() && !simcard::parse_state("[fault] of a test", "[fault]\n" + faults, &st,
                                                 &error, simcard::kFaultsOnly)) {
        ADD_FAILURE() << error;
    }
    st.readers.assign(readers.begin(), readers.end());
    return simcard::encode_state(st);
}

std::string card_value(const std::string& path, const std::string& key, size_t reader) {
    std::vector<std::string> values;
    std::string error;
    return simcard::look_up(path, reader, key, &values, &error) && !values.empty()
               ? values.front()
               : "<missing " + key + ">";
}

namespace {
CK_UTF8CHAR_PTR pin_bytes(const std::string& s) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data()));
}
}  // namespace

CK_RV log_in(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h, CK_USER_TYPE user,
             const std::string& pin) {
    return f->C_Login(h, user, pin_bytes(pin), pin.size());
}

CK_RV set_pin(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h, const std::string& old_pin,
              const std::string& new_pin) {
    return f->C_SetPIN(h, pin_bytes(old_pin), old_pin.size(), pin_bytes(new_pin), new_pin.size());
}

CK_RV init_pin(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h, const std::string& pin) {
    return f->C_InitPIN(h, pin_bytes(pin), pin.size());
}

std::vector<CK_SLOT_ID> slot_list(CK_FUNCTION_LIST_PTR f, bool present) {
    CK_ULONG count = 0;
    if (f->C_GetSlotList(present ? CK_TRUE : CK_FALSE, nullptr, &count) != CKR_OK) {
        return {};
    }
    std::vector<CK_SLOT_ID> slots(count + 1);
    CK_ULONG room = slots.size();
    if (f->C_GetSlotList(present ? CK_TRUE : CK_FALSE, slots.data(), &room) != CKR_OK ||
        room > slots.size()) {
        return {};
    }
    slots.resize(room);
    return slots;
}

std::string unpad(const unsigned char* field, size_t width) {
    std::string s(reinterpret_cast<const char*>(field), width);
    while (!s.empty() && s.back() == ' ') {
        s.pop_back();
    }
    return s;
}

bool blank_padded(const unsigned char* field, size_t width) {
    return std::memchr(field, 0, width) == nullptr;
}

std::vector<CK_OBJECT_HANDLE> find_objects(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h,
                                           std::vector<CK_ATTRIBUTE> tmpl) {
    std::vector<CK_OBJECT_HANDLE> found;
    if (f->C_FindObjectsInit(h, tmpl.data(), tmpl.size()) != CKR_OK) {
        return found;
    }
    for (int guard = 0; guard < 1000; ++guard) {
        CK_OBJECT_HANDLE o = 0;
        CK_ULONG n = 0;
        if (f->C_FindObjects(h, &o, 1, &n) != CKR_OK || n != 1) {
            break;
        }
        found.push_back(o);
    }
    f->C_FindObjectsFinal(h);
    return found;
}

std::string attribute_value(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o,
                            CK_ATTRIBUTE_TYPE type, CK_RV* rv) {
    CK_ATTRIBUTE a = {type, nullptr, 0};
    CK_RV r = f->C_GetAttributeValue(h, o, &a, 1);
    std::string value;
    if (r == CKR_OK && a.ulValueLen <= (1u << 24)) {
        value.resize(a.ulValueLen);
        a.pValue = value.empty() ? nullptr : &value[0];
        r = value.empty() ? CKR_OK : f->C_GetAttributeValue(h, o, &a, 1);
        value.resize(r == CKR_OK ? a.ulValueLen : 0);
    }
    if (rv != nullptr) {
        *rv = r;
    }
    return value;
}

}  // namespace support
