// The sample medium the installer installs from: its layout, the capture
// library under the real regsvr32, and the client program while it runs.
#include "sample/capture/capture_registration.h"
#include "sample/startclass/client_window.h"
#include "shellops/shellops.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <string>

namespace {

// The build lays the medium out next to the folder of the test programs:
// <build>/medium beside <build>/tests.
std::wstring MediumFolder() {
    return GetParentPath(GetExecutableDirectory()) + L"\\medium";
}

std::wstring ScratchName(const char* prefix) {
    const std::string name =
        std::string(prefix) + testing::UnitTest::GetInstance()->current_test_info()->name();
    return std::wstring(name.begin(), name.end());
}

// A started process with its handles; the destructor ends it if it still runs.
struct ChildProcess {
    PROCESS_INFORMATION info = {};
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { End(); }
    void End() {
        if (info.hProcess) {
            TerminateProcess(info.hProcess, 1);
            WaitForSingleObject(info.hProcess, 5000);
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
        }
        info = {};
    }
};

bool StartProgram(const std::wstring& program, const std::wstring& arguments, ChildProcess* child) {
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    return CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &child->info) != 0;
}

// Runs `program` and waits at most `limitMs` for it; its exit code, or
// STILL_ACTIVE when it had to be ended, or DWORD(-1) when it did not start.
DWORD RunAndWait(const std::wstring& program, const std::wstring& arguments, DWORD limitMs) {
    ChildProcess child;
    if (!StartProgram(program, arguments, &child))
        return static_cast<DWORD>(-1);
    if (WaitForSingleObject(child.info.hProcess, limitMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = 0;
    GetExitCodeProcess(child.info.hProcess, &code);
    return code;
}

// The top-level window of `processId` with the sample client's class, or
// null when it has none (yet).
HWND FindClientWindow(DWORD processId) {
    for (HWND window = FindWindowExW(nullptr, nullptr, kSampleClientWindowClass, nullptr); window;
         window = FindWindowExW(nullptr, window, kSampleClientWindowClass, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId)
            return window;
    }
    return nullptr;
}

// Polls up to 10 s for the window.
HWND WaitForClientWindow(DWORD processId) {
    const ULONGLONG start = NowMs();
    for (;;) {
        if (const HWND window = FindClientWindow(processId))
            return window;
        if (NowMs() - start > 10000)
            return nullptr;
        Sleep(50);
    }
}

std::wstring WindowText(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

// ---- Registry below HKEY_CLASSES_ROOT ----------------------------------------

const std::wstring kServerKey = std::wstring(kSampleCaptureClsidKey) + L"\\" + kInprocServerSubkey;

bool ClassKeyExists(const std::wstring& subkey) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// The string value `name` (null: the default value) of a key below
// HKEY_CLASSES_ROOT; "<absent>" when there is none.
std::wstring ReadClassString(const std::wstring& subkey, const wchar_t* name) {
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CLASSES_ROOT, subkey.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS)
        return L"<absent>";
    std::wstring value(bytes / sizeof(wchar_t), L'\0');
    if (RegGetValueW(HKEY_CLASSES_ROOT, subkey.c_str(), name, RRF_RT_REG_SZ, nullptr, value.data(),
                     &bytes) != ERROR_SUCCESS)
        return L"<absent>";
    value.resize(bytes / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0')
        value.pop_back();
    return value;
}

std::wstring Regsvr32() {
    return GetSystemFolder() + L"\\regsvr32.exe";
}

// regsvr32 in silent mode, so it shows no message box; its exit code.
DWORD RunRegsvr32(const std::wstring& options, const std::wstring& library) {
    return RunAndWait(Regsvr32(), options + L" \"" + library + L"\"", 30000);
}

}  // namespace

// ---- The medium's layout ---------------------------------------------------

TEST(SampleMediumLayout, HoldsTheClientFilesAtTheInstallLayoutsPlaces) {
    const std::wstring medium = MediumFolder();
    ASSERT_TRUE(IsFolder(medium)) << "no medium at " << testing::PrintToString(medium);
    for (const wchar_t* part : {kClientExecutable, kCaptureLibrary, kClientIcon}) {
        const std::wstring path = medium + part;
        EXPECT_TRUE(PathExists(path) && !IsFolder(path))
            << "missing file " << testing::PrintToString(path);
    }
    // The folder of the installer on the medium is the installed scripts folder.
    EXPECT_TRUE(IsFolder(medium + kScriptsFolder))
        << testing::PrintToString(medium + kScriptsFolder);
}

TEST(SampleMediumLayout, ReadmeIsShortPlainAscii) {
    const std::string text = ReadBytes(MediumFolder() + L"\\readme.txt");
    ASSERT_FALSE(text.empty());
    EXPECT_LT(text.size(), 4096u);
    for (const char c : text) {
        ASSERT_TRUE(c == '\n' || c == '\r' || (c >= 0x20 && c < 0x7F))
            << "byte " << static_cast<int>(static_cast<unsigned char>(c));
    }
    EXPECT_NE(text.find("sample medium"), std::string::npos) << text;
}

TEST(SampleMediumLayout, ClientIconHasEveryImageSize) {
    const std::wstring icon = MediumFolder() + kClientIcon;
    const std::string bytes = ReadBytes(icon);
    ASSERT_GE(bytes.size(), 6u + 7 * 16);
    EXPECT_EQ(bytes.substr(0, 6), std::string("\0\0\1\0\7\0", 6)) << "not an icon of 7 images";
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        const auto handle = static_cast<HICON>(
            LoadImageW(nullptr, icon.c_str(), IMAGE_ICON, size, size, LR_LOADFROMFILE));
        ASSERT_NE(handle, nullptr) << "size " << size;
        ICONINFO info = {};
        ASSERT_TRUE(GetIconInfo(handle, &info)) << "size " << size;
        BITMAP colour = {};
        GetObjectW(info.hbmColor, sizeof colour, &colour);
        EXPECT_EQ(colour.bmWidth, size);
        EXPECT_EQ(colour.bmHeight, size);
        EXPECT_EQ(colour.bmBitsPixel, 32) << "size " << size;
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(handle);
    }
}

TEST(SampleMediumLayout, ClientProgramCarriesTheClientIcon) {
    const std::wstring program = MediumFolder() + kClientExecutable;
    EXPECT_EQ(ExtractIconExW(program.c_str(), -1, nullptr, nullptr, 0), 1u);
}

TEST(SampleMediumLayout, CaptureLibraryExportsTheServerEntries) {
    const std::wstring library = MediumFolder() + kCaptureLibrary;
    const HMODULE module = LoadLibraryW(library.c_str());
    ASSERT_NE(module, nullptr) << testing::PrintToString(library);
    for (const char* name :
         {"DllRegisterServer", "DllUnregisterServer", "DllGetClassObject", "DllCanUnloadNow"}) {
        EXPECT_NE(GetProcAddress(module, name), nullptr) << name;
    }

    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
    const auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    const auto canUnloadNow = reinterpret_cast<CanUnloadNow>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    if (getClassObject) {
        const GUID none = {};
        void* object = &object;
        EXPECT_EQ(getClassObject(none, none, &object), CLASS_E_CLASSNOTAVAILABLE);
        EXPECT_EQ(object, nullptr);
    }
    if (canUnloadNow) {
        EXPECT_EQ(canUnloadNow(), S_OK);
    }
    FreeLibrary(module);
}

// ---- The capture library under the real regsvr32 -------------------------

class SampleCaptureRegistration : public testing::Test {
protected:
    void SetUp() override {
        // The class key lands in the machine's registry.
        if (!IsInsideTestPrefix())
            GTEST_SKIP() << "registers a COM class; runs only in the test session's prefix";
        scratch_ = MakeScratchFolder(ScratchName("capture-"));
        RegDeleteTreeW(HKEY_CLASSES_ROOT, kSampleCaptureClsidKey);
        ASSERT_FALSE(ClassKeyExists(kSampleCaptureClsidKey));
    }
    void TearDown() override {
        RegDeleteTreeW(HKEY_CLASSES_ROOT, kSampleCaptureClsidKey);
        DeleteScratchTree(scratch_);
    }
    // A copy of the medium's library at scratch\<folder>\ScreenCapture.ax.
    std::wstring CopyLibrary(const std::wstring& folder) {
        const std::wstring target = scratch_ + L"\\" + folder;
        MakeFolder(target);
        std::wstring copy = target + L"\\ScreenCapture.ax";
        EXPECT_TRUE(CopyFileW((MediumFolder() + kCaptureLibrary).c_str(), copy.c_str(), FALSE))
            << testing::PrintToString(copy);
        return copy;
    }
    std::wstring scratch_;
};

TEST_F(SampleCaptureRegistration, RegisterWritesTheClassAndUnregisterRemovesIt) {
    const std::wstring library = CopyLibrary(L"ovikClient");

    ASSERT_EQ(RunRegsvr32(L"/s", library), 0u);
    EXPECT_EQ(ReadClassString(kSampleCaptureClsidKey, nullptr), kSampleCaptureName);
    EXPECT_EQ(ReadClassString(kServerKey, nullptr), library);
    EXPECT_EQ(ReadClassString(kServerKey, kThreadingModelValue), kSampleCaptureThreadingModel);

    ASSERT_EQ(RunRegsvr32(L"/u /s", library), 0u);
    EXPECT_FALSE(ClassKeyExists(kSampleCaptureClsidKey));
}

TEST_F(SampleCaptureRegistration, UnregisteringAnAbsentClassSucceeds) {
    const std::wstring library = CopyLibrary(L"ovikClient");
    EXPECT_EQ(RunRegsvr32(L"/u /s", library), 0u);
    EXPECT_FALSE(ClassKeyExists(kSampleCaptureClsidKey));
}

TEST_F(SampleCaptureRegistration, RegisteringAgainPointsTheClassAtTheNewPlace) {
    const std::wstring first = CopyLibrary(L"first");
    const std::wstring second = CopyLibrary(L"second");
    ASSERT_EQ(RunRegsvr32(L"/s", first), 0u);
    ASSERT_EQ(RunRegsvr32(L"/s", second), 0u);
    EXPECT_EQ(ReadClassString(kServerKey, nullptr), second);
}

// ---- The client program while it runs --------------------------------------

class SampleClient : public testing::Test {
protected:
    void SetUp() override {
        scratch_ = MakeScratchFolder(ScratchName("client-"));
        program_ = scratch_ + kClientExecutable;
        ASSERT_TRUE(
            CopyFileW((MediumFolder() + kClientExecutable).c_str(), program_.c_str(), FALSE));
        ASSERT_TRUE(StartProgram(program_, L"", &client_));
        window_ = WaitForClientWindow(client_.info.dwProcessId);
        ASSERT_NE(window_, nullptr)
            << "no window of class " << testing::PrintToString(kSampleClientWindowClass);
    }
    void TearDown() override {
        client_.End();
        DeleteScratchTree(scratch_);
    }
    std::wstring scratch_;
    std::wstring program_;
    ChildProcess client_;
    HWND window_ = nullptr;
};

TEST_F(SampleClient, ShowsItsTitledWindowAndKeepsRunning) {
    EXPECT_EQ(WindowText(window_), kSampleClientWindowTitle);
    // The window can be found between its creation and its ShowWindow.
    const ULONGLONG start = NowMs();
    while (!IsWindowVisible(window_) && NowMs() - start < 5000)
        Sleep(50);
    EXPECT_TRUE(IsWindowVisible(window_)) << "the window was not shown within 5 s";
    EXPECT_EQ(WaitForSingleObject(client_.info.hProcess, 1500), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the client ended by itself";
}

TEST_F(SampleClient, ItsFileCannotBeDeletedUntilItIsEnded) {
    EXPECT_FALSE(DeleteFileW(program_.c_str()));
    EXPECT_TRUE(PathExists(program_));

    ASSERT_TRUE(TerminateProcess(client_.info.hProcess, 1));
    ASSERT_EQ(WaitForSingleObject(client_.info.hProcess, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(DeleteFileW(program_.c_str())) << "error " << GetLastError();
}

TEST_F(SampleClient, ClosingTheWindowEndsItWithCodeZero) {
    PostMessageW(window_, WM_CLOSE, 0, 0);
    ASSERT_EQ(WaitForSingleObject(client_.info.hProcess, 5000), WAIT_OBJECT_0);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(client_.info.hProcess, &code);
    EXPECT_EQ(code, 0u);
}
