#include "shellops/shellops.h"
#include "checkkit/driver/message_boxes.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>

// The helper program that sleeps, next to this test program.
#define OVIK_WIDEN2(x) L##x
#define OVIK_WIDEN(x) OVIK_WIDEN2(x)
#define OVIK_SLEEPER_EXE_W OVIK_WIDEN(OVIK_SLEEPER_EXE)

namespace {

class LaunchTest : public testing::Test {
protected:
    void SetUp() override {
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = std::string("launch-") + info->name();
        scratch_ = MakeScratchFolder(std::wstring(name.begin(), name.end()));
        // A copy of the sleeper named after this process: the sleepers are
        // counted and ended by name, and another test program in the same
        // prefix must neither end this one's nor be ended by it.
        sleeperName_ = L"sleeper-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
        sleeper_ = scratch_ + L"\\" + sleeperName_;
        ASSERT_TRUE(
            CopyFileW(BesideTestProgram(OVIK_SLEEPER_EXE_W).c_str(), sleeper_.c_str(), FALSE));
    }
    void TearDown() override {
        KillProcessesNamed(sleeperName_);
        DeleteScratchTree(scratch_);
    }
    std::wstring scratch_;
    std::wstring sleeperName_;
    std::wstring sleeper_;
};

const std::wstring kLibrary = kInstallRoot + kCaptureLibrary;

// A file class of the tests' own. Started with "runas" or "open", a file of
// it runs the recorder, which writes that verb and the window show state it
// was handed into the file.
constexpr wchar_t kRecordExtension[] = L".ovik-launch-record";
constexpr wchar_t kRecordClass[] = L"OvikTest.LaunchRecord";

struct ClassesKey {
    HKEY root;
    std::wstring prefix;
};
const ClassesKey kUserClasses{HKEY_CURRENT_USER, L"Software\\Classes\\"};
const ClassesKey kClassesRoot{HKEY_CLASSES_ROOT, L""};

bool SetDefaultValue(const ClassesKey& classes, const std::wstring& key,
                     const std::wstring& value) {
    return RegSetKeyValueW(
               classes.root, (classes.prefix + key).c_str(), nullptr, REG_SZ, value.c_str(),
               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool RegisterRecordClass(const ClassesKey& classes) {
    const std::wstring recorder = BesideTestProgram(L"launch_recorder.exe");
    bool written = SetDefaultValue(classes, kRecordExtension, kRecordClass);
    for (const std::wstring verb : {L"runas", L"open"})
        written = written &&
                  SetDefaultValue(classes,
                                  std::wstring(kRecordClass) + L"\\shell\\" + verb + L"\\command",
                                  L"\"" + recorder + L"\" " + verb + L" \"%1\"");
    return written;
}

void UnregisterRecordClass(const ClassesKey& classes) {
    RegDeleteTreeW(classes.root, (classes.prefix + kRecordExtension).c_str());
    RegDeleteTreeW(classes.root, (classes.prefix + kRecordClass).c_str());
}

bool ClassesRootKnowsRecordClass() {
    return RegGetValueW(HKEY_CLASSES_ROOT, kRecordExtension, nullptr, RRF_RT_REG_SZ, nullptr,
                        nullptr, nullptr) == ERROR_SUCCESS;
}

}  // namespace

TEST_F(LaunchTest, ScriptsForTheFixedLayoutAreExactlyTheseBytes) {
    const std::wstring reg = scratch_ + kRegisterScript;
    const std::wstring del = scratch_ + kUnregisterScript;
    ASSERT_TRUE(WriteAnsiTextFile(reg, ComposeRegisterScript(kLibrary)));
    ASSERT_TRUE(WriteAnsiTextFile(del, ComposeUnregisterScript(kLibrary)));
    const std::string regBytes = ReadBytes(reg);
    const std::string delBytes = ReadBytes(del);
    EXPECT_EQ(regBytes, "regsvr32 \"C:\\ovikProgram\\ovikClient\\ScreenCapture.ax\"\r\n");
    EXPECT_EQ(delBytes, "regsvr32 /u \"C:\\ovikProgram\\ovikClient\\ScreenCapture.ax\"\r\n");
    EXPECT_EQ(regBytes.size(), 55u);
    EXPECT_EQ(delBytes.size(), 58u);
}

TEST_F(LaunchTest, NonAsciiPathsAreWrittenInTheAnsiCodePage) {
    if (GetACP() != 932)
        GTEST_SKIP() << "needs ANSI code page 932, have " << GetACP();
    // テスト = 83 65 83 58 83 67 in Shift-JIS; 表 has 0x5C as its second byte.
    const std::wstring path = scratch_ + L"\\sjis.bat";
    ASSERT_TRUE(
        WriteAnsiTextFile(path, ComposeRegisterScript(L"C:\\\x30C6\x30B9\x30C8\\\x8868.ax")));
    EXPECT_EQ(ReadBytes(path), "regsvr32 \"C:\\\x83\x65\x83\x58\x83\x67\\\x95\x5C.ax\"\r\n");
}

TEST_F(LaunchTest, CharactersTheCodePageLacksBecomeItsDefaultCharacter) {
    const std::wstring path = scratch_ + L"\\lossy.txt";
    // U+1F600 has no ANSI form in any single- or double-byte code page.
    ASSERT_TRUE(WriteAnsiTextFile(path, L"a\xD83D\xDE00z"));
    const std::string bytes = ReadBytes(path);
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_EQ(bytes.front(), 'a');
    EXPECT_EQ(bytes.back(), 'z');
    EXPECT_EQ(bytes.find('\0'), std::string::npos);
}

TEST_F(LaunchTest, WritingReplacesALongerFileWithoutLeavingATail) {
    const std::wstring path = scratch_ + L"\\replace.bat";
    WriteBytes(path, std::string(500, 'x'));
    ASSERT_TRUE(WriteAnsiTextFile(path, L"short\r\n"));
    EXPECT_EQ(ReadBytes(path), "short\r\n");
}

TEST_F(LaunchTest, EmptyTextGivesAnEmptyFileAndSucceeds) {
    const std::wstring fresh = scratch_ + L"\\fresh.txt";
    const std::wstring existing = scratch_ + L"\\existing.txt";
    WriteBytes(existing, "old content");
    EXPECT_TRUE(WriteAnsiTextFile(fresh, L""));
    EXPECT_TRUE(WriteAnsiTextFile(existing, L""));
    EXPECT_TRUE(PathExists(fresh));
    EXPECT_EQ(ReadBytes(fresh), "");
    EXPECT_EQ(ReadBytes(existing), "");
}

TEST_F(LaunchTest, WritingIntoAMissingFolderFailsAndCreatesNothing) {
    EXPECT_FALSE(WriteAnsiTextFile(scratch_ + L"\\missing\\x.bat", L"echo\r\n"));
    EXPECT_FALSE(PathExists(scratch_ + L"\\missing"));
}

// The script is written without sharing: a reader that denies writers and
// one that shares everything both keep it from being rewritten under them.
TEST_F(LaunchTest, WritingAFileThatIsOpenElsewhereFails) {
    const std::wstring path = scratch_ + L"\\busy.bat";
    WriteBytes(path, "old");
    for (const DWORD share :
         {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        const HANDLE other =
            CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE) << "share mode " << share;
        EXPECT_FALSE(WriteAnsiTextFile(path, L"new\r\n")) << "share mode " << share;
        CloseHandle(other);
        EXPECT_EQ(ReadBytes(path), "old") << "share mode " << share;
    }
}

TEST_F(LaunchTest, AHeldScriptRefusesWritersButStillRunsThroughCmd) {
    const std::wstring script = scratch_ + L"\\held.bat";
    const std::wstring marker = scratch_ + L"\\held-ran.txt";
    ASSERT_TRUE(WriteAnsiTextFile(script, L"echo ran> \"" + marker + L"\"\r\n"));
    const HANDLE hold = OpenForReadDenyWrite(script);
    ASSERT_NE(hold, nullptr);
    const HANDLE writer = CreateFileW(script.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE)
        CloseHandle(writer);
    EXPECT_FALSE(DeleteFileW(script.c_str()));
    EXPECT_FALSE(WriteAnsiTextFile(script, L"echo swapped\r\n"));
    RunElevatedAndWait(script, L"", 30000);
    CloseHandle(hold);
    EXPECT_TRUE(PathExists(marker));
}

TEST_F(LaunchTest, AScriptRunsThroughCmdAndTheCallWaitsForIt) {
    const std::wstring script = scratch_ + L"\\marker.bat";
    const std::wstring marker = scratch_ + L"\\marker.txt";
    // The marker is written only after the sleeper has slept 1.5 s; it holds
    // the sleeper's exit code, which says why a call came back early.
    ASSERT_TRUE(WriteAnsiTextFile(script, L"\"" + sleeper_ + L"\" 1500\r\n>\"" + marker +
                                              L"\" echo sleeper %ERRORLEVEL%\r\n"));
    const ULONGLONG start = NowMs();
    RunElevatedAndWait(script, L"", 30000);
    const ULONGLONG elapsed = NowMs() - start;
    const std::string wrote = ReadBytes(marker);
    EXPECT_TRUE(PathExists(marker)) << "returned after " << elapsed << " ms";
    EXPECT_GE(elapsed, 1400u) << "the script wrote \"" << wrote
                              << "\" (sleeper 0: it slept; 1: it was ended from outside; "
                                 "9009: the command interpreter could not start it)";
    EXPECT_LT(elapsed, 20000u);
    if (wrote.find("sleeper 3") != std::string::npos)
        std::cout << "note: a Sleep came back early in the sleeper, which slept the rest\n";
}

TEST_F(LaunchTest, AProgramThatOutlivesTheLimitIsLeftRunning) {
    const ULONGLONG start = NowMs();
    RunElevatedAndWait(sleeper_, L"20000", 1000);
    const ULONGLONG elapsed = NowMs() - start;
    EXPECT_GE(elapsed, 950u);
    EXPECT_LT(elapsed, 6000u);
    EXPECT_EQ(CountProcessesNamed(sleeperName_), 1);
    EXPECT_EQ(KillProcessesNamed(sleeperName_), 1);
}

TEST_F(LaunchTest, AFileThatCannotBeStartedReturnsAtOnce) {
    // Windows may show its own "cannot find" box; answer it if it comes.
    ScopedBoxAnswerer boxes({IDOK});
    const ULONGLONG start = NowMs();
    RunElevatedAndWait(scratch_ + L"\\no-such-program.exe", L"", 30000);
    EXPECT_LT(NowMs() - start, 5000u);
}

TEST_F(LaunchTest, AHeldScriptIsCheckedAgainstTheTextThatWasWritten) {
    const std::wstring script = scratch_ + L"\\check.bat";
    const std::wstring text = ComposeRegisterScript(kLibrary);
    ASSERT_TRUE(WriteAnsiTextFile(script, text));
    HANDLE hold = OpenForReadDenyWrite(script);
    ASSERT_NE(hold, nullptr);
    EXPECT_TRUE(FileHoldsAnsiText(hold, text));
    EXPECT_FALSE(FileHoldsAnsiText(hold, ComposeUnregisterScript(kLibrary)));
    CloseHandle(hold);

    // Same length, other bytes: swapped between the write and the hold.
    std::string swapped = ReadBytes(script);
    swapped[0] = 'R';
    WriteBytes(script, swapped);
    hold = OpenForReadDenyWrite(script);
    ASSERT_NE(hold, nullptr);
    EXPECT_FALSE(FileHoldsAnsiText(hold, text));
    CloseHandle(hold);

    ASSERT_TRUE(WriteAnsiTextFile(script, L""));
    hold = OpenForReadDenyWrite(script);
    EXPECT_TRUE(FileHoldsAnsiText(hold, L""));
    CloseHandle(hold);
}

TEST_F(LaunchTest, AScriptDoesNotRunProgramsPlantedInTheCallersFolder) {
    // A "regsvr32" that the command interpreter would find first if the
    // script ran in the caller's working folder.
    const std::wstring marker = scratch_ + L"\\planted-ran.txt";
    ASSERT_TRUE(
        WriteAnsiTextFile(scratch_ + L"\\regsvr32.bat", L"echo planted> \"" + marker + L"\"\r\n"));
    const std::wstring script = scratch_ + L"\\unregister.bat";
    ASSERT_TRUE(WriteAnsiTextFile(script, ComposeUnregisterScript(scratch_ + L"\\missing.ax")));

    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(scratch_.c_str()));
    RunElevatedAndWait(script, L"", 30000);
    SetCurrentDirectoryW(previous);
    EXPECT_FALSE(PathExists(marker));
}

TEST_F(LaunchTest, TheLaunchUsesTheRunasVerbWithTheWindowHidden) {
    const std::wstring started = scratch_ + L"\\started" + kRecordExtension;
    ASSERT_TRUE(WriteBytes(started, ""));
    // The user's classes are enough where the classes root merges them in,
    // as on Windows; elsewhere the class goes into the classes root itself.
    const bool perUser = RegisterRecordClass(kUserClasses) && ClassesRootKnowsRecordClass();
    const bool registered = perUser || RegisterRecordClass(kClassesRoot);
    // A file of an unknown class would bring up the "open with" dialog.
    if (registered && ClassesRootKnowsRecordClass())
        RunElevatedAndWait(started, L"", 30000);
    UnregisterRecordClass(kUserClasses);
    if (!perUser)
        UnregisterRecordClass(kClassesRoot);
    ASSERT_TRUE(registered) << "could not register the recording file class";
    // SW_HIDE is 0.
    EXPECT_EQ(ReadBytes(started), "runas 0") << "the verb, then the show state";
}
