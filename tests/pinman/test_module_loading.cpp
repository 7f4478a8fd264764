// SPDX-License-Identifier: MIT
// Tests of loading the PKCS#11 module: the name rules, every failure's box, and what is
// left for the end of the program, with the simulated card and libraries made to fail.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "cModules.h"
#include "pinman_internal.h"
#include "testkit.h"

namespace fs = std::filesystem;
using support::BoxWatcher;
using support::CardReader;
using support::SimCard;

namespace {

class ModuleLoading : public testing::Test {
protected:
    void SetUp() override {
        support::reset_settings();
        memset(s_szModulePath, 0, sizeof s_szModulePath);
    }
    void TearDown() override { support::unload_module(); }

    // Loads `name` as the configured module; returns the stderr lines of the attempt.
    std::string load(const std::string& name, int expected) {
        memset(g_szP11Lib, 0, sizeof g_szP11Lib);
        memcpy(g_szP11Lib, name.data(), name.size());
        testing::internal::CaptureStderr();
        EXPECT_EQ(InitP11(), expected) << name;
        return testing::internal::GetCapturedStderr();
    }
    // Reads the configuration file beside this program; returns the stderr lines.
    static std::string read_own_config() {
        testing::internal::CaptureStderr();
        readConfig();
        return testing::internal::GetCapturedStderr();
    }
    static std::string own_config() {
        char sz[PINMAN_PATH_SIZE] = {0};
        GetCurrentModulePath(sz, PINMAN_PATH_SIZE - 1);
        return std::string(sz) + ".conf";
    }
    void use_module_folder(const fs::path& folder) {
        memset(s_szModulePath, 0, sizeof s_szModulePath);
        memcpy(s_szModulePath, folder.c_str(), folder.string().size());
    }
};

}  // namespace

TEST_F(ModuleLoading, SimulatedCardByAbsolutePath) {
    SimCard card;
    BoxWatcher watcher;
    const std::string err = load(SIMCARD_PATH, 1);
    EXPECT_TRUE(watcher.boxes.empty());
    EXPECT_NE(err.find("PKCS11-2: '" SIMCARD_PATH "'\n"), std::string::npos) << err;
    EXPECT_NE(err.find("CHDIR to: '"), std::string::npos) << "start-up changes directory again";
    EXPECT_NE(card_state().hLib, nullptr);
    EXPECT_NE(card_state().pFList, nullptr);
    EXPECT_EQ(card_state().s_hSession, 0u);

    // The session left open by an operation is closed at the end; C_Finalize never runs.
    ASSERT_EQ(OpenSession(1), 1);
    const CK_SESSION_HANDLE open = card_state().s_hSession;
    FinalizeP11();
    const std::string trace = card.trace();
    EXPECT_NE(trace.find("C_CloseSession session=" + std::to_string(open)), std::string::npos)
        << trace;
    EXPECT_EQ(trace.find("C_Finalize"), std::string::npos) << trace;
}

TEST_F(ModuleLoading, NamesThatAreNotAbsoluteAreTakenBelowTheModuleFolder) {
    SimCard card;
    support::TempDir folder;
    fs::create_directories(folder.path() / "sub dir");
    // The same name as a library on the loader's search path: the one in the folder wins.
    fs::copy_file(SIMCARD_PATH, folder.path() / "libp11-kit.so.0");
    fs::copy_file(SIMCARD_PATH, folder.path() / "sub dir" / "libcard.so");
    use_module_folder(folder.path());

    for (const std::string name : {"libp11-kit.so.0", "sub dir/libcard.so", "libp11-kit.so.0\n"}) {
        BoxWatcher watcher;
        const std::string err = load(name, 1);
        EXPECT_TRUE(watcher.boxes.empty()) << name;
        std::string expected = (folder.path() / name).string();
        if (expected.back() == '\n')
            expected.pop_back();
        EXPECT_NE(err.find("PKCS11-2: '" + expected + "'\n"), std::string::npos) << err;
        CK_INFO info;
        ASSERT_EQ(card_state().pFList->C_GetInfo(&info), CKR_OK);
        EXPECT_NE(card.trace().find("C_Initialize"), std::string::npos)
            << name << ": the simulated card, not the library on the search path";
        support::unload_module();
        fs::remove(card.folder() / "trace.log");
    }
}

// Any number of readers: the slot list is asked for at the size the module says, so one card
// among them is found and Info shows it, and several cards still get their warning.
TEST_F(ModuleLoading, AnyNumberOfReadersAndCards) {
    const struct {
        int readers;
        int cards;  // in the last readers
    } cases[] = {{1, 1}, {16, 1}, {17, 1}, {64, 1}, {256, 1}, {17, 2}, {20, 20}, {256, 64}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.readers) + " readers, " + std::to_string(c.cards) + " cards");
        std::vector<CardReader> readers;
        for (int i = 0; i < c.readers; ++i) {
            const std::string n = std::to_string(i);
            readers.push_back(support::labelled_reader("Card " + n, i >= c.readers - c.cards));
            readers.back().description = "Reader " + n;
        }
        SimCard card(readers);
        load(SIMCARD_PATH, 1);
        BoxWatcher watcher;
        onClickBtnInfo(nullptr, nullptr);
        const std::string box = watcher.only().text;
        if (c.cards == 1) {
            EXPECT_NE(box.find("\nLabel: Card " + std::to_string(c.readers - 1) + " "),
                      std::string::npos)
                << box;
            EXPECT_EQ(card_state().s_slotId, CK_SLOT_ID(c.readers - 1));
        } else {
            EXPECT_EQ(box, shown_texts::kSeveralCards);
        }
        support::unload_module();
    }
}

TEST_F(ModuleLoading, EmptyNameLoadsTheDefaultAlongTheSearchPath) {
    BoxWatcher watcher;
    const std::string err = load("", 0);
    EXPECT_NE(err.find("PKCS11-2: ''\n"), std::string::npos) << err;
    EXPECT_EQ(watcher.only().text, shown_texts::kNoLibrary);
    EXPECT_EQ(watcher.only().type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(card_state().hLib, nullptr);
}

TEST_F(ModuleLoading, EachFailureShowsItsBoxAndKeepsWhatWasReached) {
    struct Case {
        const char* module;
        std::vector<CardReader> readers;
        std::string faults;
        const char* message;
        bool loaded;
    };
    const Case cases[] = {
        {"/nonexistent/libnothing.so", {CardReader{}}, "", shown_texts::kNoLibrary, false},
        {P11_NOLIST_PATH, {CardReader{}}, "", shown_texts::kBadLibrary, true},
        {P11_BADLIST_PATH, {CardReader{}}, "", shown_texts::kNoFunctions, true},
        {SIMCARD_PATH, {CardReader{}}, "C_Initialize = 0x5", shown_texts::kNoInitialize, true},
        {SIMCARD_PATH, {}, "", shown_texts::kNoReader, true},
        {SIMCARD_PATH, {CardReader{}}, "C_GetSlotList = 0x30", shown_texts::kNoReader, true},
    };
    for (const Case& c : cases) {
        SimCard card(c.readers, c.faults);
        BoxWatcher watcher;
        load(c.module, 0);
        EXPECT_EQ(watcher.only().text, c.message) << c.module << " " << c.faults;
        EXPECT_EQ(card_state().hLib != nullptr, c.loaded) << c.message;
        EXPECT_EQ(card_state().s_hSession, 0u);
        testing::internal::CaptureStderr();
        support::unload_module();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(card.trace().find("C_CloseSession"), std::string::npos) << c.message;
    }
}

TEST_F(ModuleLoading, AReaderWithoutACardIsEnough) {
    CardReader empty;
    empty.present = false;
    SimCard card({empty});
    BoxWatcher watcher;
    load(SIMCARD_PATH, 1);
    EXPECT_TRUE(watcher.boxes.empty());
}

TEST_F(ModuleLoading, ComposedPathThatDoesNotFitIsRefused) {
    use_module_folder("/" + std::string(900, 'd'));
    BoxWatcher watcher;
    const std::string err = load(std::string(200, 'n'), 0);
    EXPECT_NE(err.find("too long"), std::string::npos) << err;
    EXPECT_EQ(err.find("PKCS11-2"), std::string::npos) << "never loaded under a cut name";
    EXPECT_EQ(watcher.only().text, shown_texts::kNoLibrary);
    EXPECT_EQ(card_state().hLib, nullptr);
}

TEST_F(ModuleLoading, FilesThatAreNotRegularAreNeitherReadNorLoaded) {
    // Each kind as the configuration file and as the module: no hang on a FIFO, and each
    // counts as missing, with a line saying why.
    struct Kind {
        const char* name;
        void (*make)(const std::string& path);
    };
    const Kind kinds[] = {
        {"directory", [](const std::string& path) { fs::create_directory(path); }},
        {"FIFO", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }},
        {"socket",
         [](const std::string& path) {
             const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
             ASSERT_GE(fd, 0);
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             ASSERT_LT(path.size(), sizeof address.sun_path);
             memcpy(address.sun_path, path.c_str(), path.size());
             EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
             close(fd);
         }},
        {"device", [](const std::string& path) { fs::create_symlink("/dev/null", path); }},
    };
    const std::string conf = own_config();
    support::TempDir folder;
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        support::reset_settings();
        fs::remove(conf);
        kind.make(conf);
        const std::string err = read_own_config();
        fs::remove(conf);
        EXPECT_EQ(err, "Not using '" + conf + "': it is not a regular file\nConf: " + conf + "\n");
        EXPECT_STREQ(g_szP11Lib, "");

        const std::string module = (folder.path() / kind.name).string();
        kind.make(module);
        BoxWatcher watcher;
        const std::string loading = load(module, 0);
        EXPECT_NE(loading.find("Not using '" + module + "': it is not a regular file\n"),
                  std::string::npos)
            << loading;
        EXPECT_EQ(watcher.only().text, shown_texts::kNoLibrary);
        EXPECT_EQ(card_state().hLib, nullptr);
    }
}

TEST_F(ModuleLoading, ModulesOthersMayWriteAreNotLoaded) {
    // A module in a folder others may write, or that its group may write, is not loaded.
    struct Case {
        mode_t folder, module;
        int loaded;
    };
    const Case cases[] = {{0700, 0755, 1}, {0777, 0755, 0}, {01777, 0755, 1}, {0700, 0775, 0}};
    SimCard card;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.folder << " " << c.module);
        support::TempDir dir;
        const fs::path module = dir.path() / "libcard.so";
        fs::copy_file(SIMCARD_PATH, module);
        ASSERT_EQ(chmod(module.c_str(), c.module), 0);
        ASSERT_EQ(chmod(dir.path().c_str(), c.folder), 0);
        BoxWatcher watcher;
        const std::string err = load(module.string(), c.loaded);
        EXPECT_EQ(err.find("Not using '" + module.string() + "'") != std::string::npos,
                  c.loaded == 0)
            << err;
        EXPECT_EQ(watcher.boxes.size(), c.loaded ? 0u : 1u);
        if (!c.loaded) {
            EXPECT_EQ(watcher.only().text, shown_texts::kNoLibrary);
        }
        support::unload_module();
    }
}

TEST_F(ModuleLoading, AFunctionListMustHoldWhatASessionCallsAndNothingMore) {
    // A list that lacks a function the program calls is a broken library, not a crash waiting
    // for the first call; one that lacks only functions it never calls is usable. What it
    // calls is what the card's trace shows of a whole session (start-up with the certificate
    // check, Info, each page's operation, the end); C_GetFunctionList is found by its name.
    std::set<std::string> called;
    {
        SimCard card({support::labelled_reader("Holder", true, {"any.der"})});
        support::write_file(card.folder() / "any.der", "any bytes: the card serves them as is");
        BoxWatcher watcher;
        load(SIMCARD_PATH, 1);
        testing::internal::CaptureStderr();
        CheckExpire();
        onClickBtnInfo(nullptr, nullptr);
        GladeXML* builder = support::start_dialog();
        const char* const values[kPageCount][3] = {
            {"1234", "5678", "5678"}, {"12345678", "2468", "2468"}, {"12345678", "8765", "8765"}};
        for (int page = 0; page < kPageCount; ++page) {
            for (int i = 0; i < 3; ++i)
                support::set_text(builder, kPageTable[page].fields[i], values[page][i]);
            EXPECT_EQ(kPageTable[page].operation(builder), 1) << kPageTable[page].fields[0];
        }
        support::close_dialog(builder);
        support::unload_module();
        testing::internal::GetCapturedStderr();
        std::istringstream trace(card.trace());
        for (std::string name; trace >> name; trace.ignore(1 << 20, '\n'))
            called.insert(name);
    }
    for (const char* name : simcard::kFunctionNames) {
        SCOPED_TRACE(name);
        const bool needed = called.count(name) == 1 && std::string(name) != "C_GetFunctionList";
        SimCard card({CardReader{}}, std::string("C_GetFunctionList.missing = ") + name);
        BoxWatcher watcher;
        const std::string err = load(SIMCARD_PATH, needed ? 0 : 1);
        if (needed) {
            EXPECT_EQ(watcher.only().text, shown_texts::kBadLibrary);
            EXPECT_NE(err.find(std::string("function list has no ") + name + "\n"),
                      std::string::npos)
                << err;
            EXPECT_EQ(card.trace().find("C_Initialize"), std::string::npos)
                << "nothing is called through a list that lacks a function";
        } else {
            EXPECT_TRUE(watcher.boxes.empty());
        }
        support::unload_module();
    }

    SimCard card({CardReader{}}, "C_GetFunctionList = 0");
    BoxWatcher watcher;
    const std::string err = load(SIMCARD_PATH, 0);
    EXPECT_EQ(watcher.only().text, shown_texts::kBadLibrary);
    EXPECT_NE(err.find("answered CKR_OK without a function list"), std::string::npos) << err;
}
