// SPDX-License-Identifier: MIT
// Tests of loading the PKCS#11 module: the name rules, every failure's box, and what is
// left for the end of the program, with the simulated card and libraries made to fail.
#include "testkit.h"

namespace fs = std::filesystem;
using testkit::BoxWatcher;
using testkit::Reader;
using testkit::SimCard;

namespace {

class ModuleLoading : public testing::Test {
protected:
    void SetUp() override {
        testkit::resetSettings();
        memset(s_szModulePath, 0, sizeof s_szModulePath);
    }
    void TearDown() override { testkit::unloadModule(); }

    // Loads `name` as the configured module; returns the stderr lines of the attempt.
    std::string load(const std::string& name, int expected) {
        memset(g_szP11Lib, 0, sizeof g_szP11Lib);
        memcpy(g_szP11Lib, name.data(), name.size());
        testing::internal::CaptureStderr();
        EXPECT_EQ(InitP11(), expected) << name;
        return testing::internal::GetCapturedStderr();
    }
    void useModuleFolder(const fs::path& folder) {
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
    EXPECT_NE(hLib, nullptr);
    EXPECT_NE(pFList, nullptr);
    EXPECT_EQ(s_hSession, 0u);

    // The session left open by an operation is closed at the end; C_Finalize never runs.
    ASSERT_EQ(OpenSession(1), 1);
    const CK_SESSION_HANDLE open = s_hSession;
    FinalizeP11();
    hLib = nullptr;
    const std::string trace = card.trace();
    EXPECT_NE(trace.find("C_CloseSession session=" + std::to_string(open)), std::string::npos)
        << trace;
    EXPECT_EQ(trace.find("C_Finalize"), std::string::npos) << trace;
}

TEST_F(ModuleLoading, NamesThatAreNotAbsoluteAreTakenBelowTheModuleFolder) {
    SimCard card;
    testkit::TempDir folder;
    fs::create_directories(folder.path() / "sub dir");
    // The same name as a library on the loader's search path: the one in the folder wins.
    fs::copy_file(SIMCARD_PATH, folder.path() / "libp11-kit.so.0");
    fs::copy_file(SIMCARD_PATH, folder.path() / "sub dir" / "libcard.so");
    useModuleFolder(folder.path());

    for (const std::string name : {"libp11-kit.so.0", "sub dir/libcard.so", "libp11-kit.so.0\n"}) {
        BoxWatcher watcher;
        const std::string err = load(name, 1);
        EXPECT_TRUE(watcher.boxes.empty()) << name;
        std::string expected = (folder.path() / name).string();
        if (expected.back() == '\n')
            expected.pop_back();
        EXPECT_NE(err.find("PKCS11-2: '" + expected + "'\n"), std::string::npos) << err;
        CK_INFO info;
        ASSERT_EQ(pFList->C_GetInfo(&info), CKR_OK);
        EXPECT_NE(card.trace().find("C_Initialize"), std::string::npos)
            << name << ": the simulated card, not the library on the search path";
        testkit::unloadModule();
        fs::remove(card.folder() / "trace.log");
    }
}

TEST_F(ModuleLoading, EmptyNameLoadsTheDefaultAlongTheSearchPath) {
    BoxWatcher watcher;
    const std::string err = load("", 0);
    EXPECT_NE(err.find("PKCS11-2: ''\n"), std::string::npos) << err;
    EXPECT_EQ(watcher.only().text, "Unable to load PKCS#11 library");
    EXPECT_EQ(watcher.only().type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(hLib, nullptr);
}

TEST_F(ModuleLoading, EachFailureShowsItsBoxAndKeepsWhatWasReached) {
    struct Case {
        const char* module;
        std::vector<Reader> readers;
        std::string faults;
        const char* message;
        bool loaded;
    };
    std::vector<Reader> seventeen(17);
    for (int i = 0; i < 17; ++i)
        seventeen[i].description = "Reader " + std::to_string(i);
    const Case cases[] = {
        {"/nonexistent/libnothing.so", {Reader{}}, "", "Unable to load PKCS#11 library", false},
        {P11_NOLIST_PATH, {Reader{}}, "", "The PKCS#11 library is invalid or corrupt", true},
        {P11_BADLIST_PATH, {Reader{}}, "", "Unable to initialize PKCS#11 functions", true},
        {SIMCARD_PATH,
         {Reader{}},
         "C_Initialize = 0x5",
         "Unable to initialize PKCS#11 library",
         true},
        {SIMCARD_PATH, {}, "", "There is no reader available", true},
        {SIMCARD_PATH, seventeen, "", "There is no reader available", true},
        {SIMCARD_PATH, {Reader{}}, "C_GetSlotList = 0x30", "There is no reader available", true},
    };
    for (const Case& c : cases) {
        SimCard card(c.readers, c.faults);
        BoxWatcher watcher;
        load(c.module, 0);
        EXPECT_EQ(watcher.only().text, c.message) << c.module << " " << c.faults;
        EXPECT_EQ(hLib != nullptr, c.loaded) << c.message;
        EXPECT_EQ(s_hSession, 0u);
        testing::internal::CaptureStderr();
        testkit::unloadModule();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(card.trace().find("C_CloseSession"), std::string::npos) << c.message;
    }
}

TEST_F(ModuleLoading, AReaderWithoutACardIsEnough) {
    Reader empty;
    empty.present = false;
    SimCard card({empty});
    BoxWatcher watcher;
    load(SIMCARD_PATH, 1);
    EXPECT_TRUE(watcher.boxes.empty());
}

TEST_F(ModuleLoading, ComposedPathThatDoesNotFitIsRefused) {
    useModuleFolder("/" + std::string(900, 'd'));
    BoxWatcher watcher;
    const std::string err = load(std::string(200, 'n'), 0);
    EXPECT_NE(err.find("too long"), std::string::npos) << err;
    EXPECT_EQ(err.find("PKCS11-2"), std::string::npos) << "never loaded under a cut name";
    EXPECT_EQ(watcher.only().text, "Unable to load PKCS#11 library");
    EXPECT_EQ(hLib, nullptr);
}
