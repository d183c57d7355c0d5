// The installer's window as another program sees it: class, title, frame,
// size and place on the screen, and its five controls with their font.
#include "tests/e2e/e2e_support.h"

#include "checkkit/text.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string Hex(LONG value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// A child's rectangle in the main window's client coordinates.
RECT RectInParent(HWND child) {
    RECT rect = {};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

struct ExpectedControl {
    const wchar_t* className;
    int id;
    int x, y, width, height;
    LONG style;
    const wchar_t* text;
};

const ExpectedControl kExpectedControls[] = {
    {L"Static", 0, 8, 8, 484, 35, 0x50000000,
     L"OVIKクライアントを C:\\ovikProgram フォルダーを作成し、そこにインストールします。"},
    {L"Static", 0, 8, 55, 484, 88, 0x50000000,
     L"※このシステムは、拡張ライブラリファイルScreenCapture.axを使用します。\r\n"
     L"※インストールの際、この拡張ライブラリファイルの導入をするかどうかの確認があります。\r\n"
     L"※導入しない場合、自身の端末の画面を共有することができません。\r\n"
     L"※アンインストールすると、この拡張ライブラリファイルは削除されます。"},
    {L"Button", 1001, 35, 152, 120, 80, 0x50008000, L"インストール"},
    {L"Button", 1002, 190, 152, 120, 80, 0x50008000, L"アンインストール"},
    {L"Button", 1003, 345, 152, 120, 80, 0x50008000, L"キャンセル"},
};

using InstallerWindowTest = InstallerTest;

}  // namespace

TEST_F(InstallerWindowTest, IsAFixedFrameOfExactClientSizeCentredOnTheScreen) {
    Start();
    const HWND window = installer_->window;
    EXPECT_EQ(Narrow(ClassName(window)), "OVIKInstallerWnd");
    EXPECT_EQ(Narrow(WindowText(window)), "Installer");

    const LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & 0x00CA0000, 0x00CA0000) << Hex(style);
    EXPECT_EQ(style & WS_THICKFRAME, 0) << Hex(style);
    EXPECT_EQ(style & WS_MAXIMIZEBOX, 0) << Hex(style);
    EXPECT_EQ(style & (WS_CHILD | WS_POPUP), 0) << Hex(style);
    EXPECT_NE(style & WS_VISIBLE, 0) << Hex(style);
    // Created without an extended style; the system adds the caption's edge.
    const LONG exStyle = GetWindowLongW(window, GWL_EXSTYLE);
    EXPECT_EQ(exStyle & ~WS_EX_WINDOWEDGE, 0) << Hex(exStyle);
    EXPECT_EQ(GetWindow(window, GW_OWNER), nullptr);
    EXPECT_EQ(GetMenu(window), nullptr);

    RECT client = {};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right - client.left, 500);
    EXPECT_EQ(client.bottom - client.top, 250);

    RECT outer = {};
    GetWindowRect(window, &outer);
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    EXPECT_EQ(outer.left, (GetSystemMetrics(SM_CXSCREEN) - width) / 2) << "width " << width;
    EXPECT_EQ(outer.top, (GetSystemMetrics(SM_CYSCREEN) - height) / 2) << "height " << height;
    // The frame is exactly what AdjustWindowRect adds for that style.
    RECT adjusted = {0, 0, 500, 250};
    AdjustWindowRect(&adjusted, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, FALSE);
    EXPECT_EQ(width, adjusted.right - adjusted.left);
    EXPECT_EQ(height, adjusted.bottom - adjusted.top);
}

// The class as the installer registered it, read in its own process: the
// class icon (large and small, one handle) is shell32.dll's icon at position
// 3, with the arrow cursor and the button-face background.
TEST_F(InstallerWindowTest, ItsClassCarriesShell32sFourthIconTheArrowAndTheButtonFace) {
    Start();
    ProbedWindow facts = {};
    ASSERT_TRUE(ReadWindowFacts(*installer_, facts));
    ASSERT_TRUE(facts.classFound);
    EXPECT_EQ(facts.classStyle, 0u);
    EXPECT_TRUE(facts.hasIcon);
    EXPECT_NE(facts.shellIconMatches & (std::uint64_t{1} << 3), 0u) << facts.shellIconMatches;
    EXPECT_TRUE(facts.smallIconIsLarge);
    EXPECT_TRUE(facts.cursorIsArrow);
    EXPECT_EQ(facts.background, static_cast<std::uint64_t>(COLOR_BTNFACE + 1));
}

TEST_F(InstallerWindowTest, HoldsTheTwoNotesAndThreeButtonsInOrder) {
    Start();
    const std::vector<HWND> children = ChildWindows(installer_->window);
    ASSERT_EQ(children.size(), std::size(kExpectedControls));
    for (size_t i = 0; i < children.size(); ++i) {
        const ExpectedControl& expected = kExpectedControls[i];
        const HWND child = children[i];
        SCOPED_TRACE("control " + std::to_string(i));
        // Class names compare without case: the system spells them its own way.
        EXPECT_EQ(CompareStringOrdinal(ClassName(child).c_str(), -1, expected.className, -1, TRUE),
                  CSTR_EQUAL)
            << Narrow(ClassName(child));
        EXPECT_EQ(GetDlgCtrlID(child), expected.id);
        const RECT rect = RectInParent(child);
        EXPECT_EQ(rect.left, expected.x);
        EXPECT_EQ(rect.top, expected.y);
        EXPECT_EQ(rect.right - rect.left, expected.width);
        EXPECT_EQ(rect.bottom - rect.top, expected.height);
        EXPECT_EQ(Hex(GetWindowLongW(child, GWL_STYLE)), Hex(expected.style));
        EXPECT_EQ(GetWindowLongW(child, GWL_EXSTYLE), 0);
        EXPECT_EQ(Narrow(WindowText(child)), Narrow(expected.text));
    }
}

TEST_F(InstallerWindowTest, AllControlsShareOneElevenPointShiftJisFont) {
    Start();
    const std::vector<ControlFont> fonts = ReadControlFonts(*installer_);
    ASSERT_EQ(fonts.size(), 5u) << "the probe in the installer did not answer";

    const HDC screen = GetDC(installer_->window);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(installer_->window, screen);

    for (size_t i = 0; i < fonts.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i));
        ASSERT_NE(fonts[i].font, nullptr) << "no font set";
        EXPECT_EQ(fonts[i].font, fonts[0].font) << "not the same font object";
        ASSERT_TRUE(fonts[i].described);
        const LOGFONTW& font = fonts[i].logFont;
        EXPECT_EQ(Narrow(font.lfFaceName), "MS Shell Dlg");
        EXPECT_EQ(font.lfHeight, -MulDiv(11, dpi, 72)) << "at " << dpi << " dpi";
        EXPECT_EQ(font.lfWidth, 0);
        EXPECT_EQ(font.lfEscapement, 0);
        EXPECT_EQ(font.lfOrientation, 0);
        EXPECT_EQ(font.lfWeight, 400);
        EXPECT_FALSE(font.lfItalic || font.lfUnderline || font.lfStrikeOut);
        EXPECT_EQ(font.lfCharSet, 128);
        EXPECT_EQ(font.lfOutPrecision, 0);
        EXPECT_EQ(font.lfClipPrecision, 0);
        EXPECT_EQ(font.lfQuality, 0);
        EXPECT_EQ(font.lfPitchAndFamily, 0x20);
    }
}

TEST_F(InstallerWindowTest, EachNoteFitsItsBoxAndEachButtonLabelItsButton) {
    Start();
    const std::vector<TextFit> fits = MeasureTextFits(*installer_);
    ASSERT_EQ(fits.size(), std::size(kExpectedControls))
        << "the probe in the installer did not answer";
    for (const TextFit& fit : fits) {
        SCOPED_TRACE(Narrow(fit.text));
        ASSERT_TRUE(fit.hasFont);
        EXPECT_LE(fit.needed, fit.available) << (fit.isButton ? "label wider than its button (px)"
                                                              : "note taller than its box (px)");
    }
}
