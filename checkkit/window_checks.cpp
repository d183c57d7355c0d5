#include "checkkit/window_checks.h"

#include "checkkit/expected.h"
#include "checkkit/text.h"

#include <algorithm>

namespace {

using namespace expected;

constexpr char kNoProbe[] = "the probe in the installer did not answer";

bool SameNoCase(const std::wstring& first, const std::wstring& second) {
    return CompareStringOrdinal(first.c_str(), -1, second.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::string Box(const RECT& r) {
    return "(" + std::to_string(r.left) + "," + std::to_string(r.top) + ")-(" +
           std::to_string(r.right) + "," + std::to_string(r.bottom) + ")";
}

std::string ControlName(size_t i) {
    return i < std::size(kControls) ? std::string(kControls[i].what)
                                    : "control " + std::to_string(i + 1);
}

// "shell32.dll's icon 4 (or 5, which looks the same)", or "none of ...".
std::string ShellIconNames(std::uint64_t matches) {
    std::vector<int> indices;
    for (int index = 0; index < kShellIconsCompared; ++index) {
        if (matches & (std::uint64_t{1} << index))
            indices.push_back(index);
    }
    if (indices.empty())
        return "none of shell32.dll's first " + std::to_string(kShellIconsCompared) + " icons";
    std::string names = "shell32.dll's icon " + std::to_string(indices[0]);
    for (size_t i = 1; i < indices.size(); ++i)
        names += (i == 1 ? " (or " : ", ") + std::to_string(indices[i]);
    return indices.size() > 1 ? names + ", which look the same)" : names;
}

}  // namespace

Problems WindowClassProblems(const InstallerProcess& installer) {
    ProbedWindow facts = {};
    if (!ReadWindowFacts(installer, facts))
        return {kNoProbe};
    if (!facts.classFound)
        return {"the installer has no class " + Quoted(kWindowClass) + " of its own"};
    Problems problems;
    if (facts.classStyle != kClassStyle)
        problems.push_back("the class style is " + Hex(facts.classStyle) + ", expected " +
                           Hex(kClassStyle));
    if (facts.classExtra != 0 || facts.windowExtra != 0)
        problems.push_back("the class asks for " + std::to_string(facts.classExtra) +
                           " class and " + std::to_string(facts.windowExtra) +
                           " window extra bytes, expected none");
    if (facts.hasMenuName)
        problems.push_back("the class names a menu, expected none");
    if (!facts.hasIcon)
        problems.push_back("the class has no icon, expected shell32.dll's icon " +
                           std::to_string(kClassIconShellIndex));
    else if (!(facts.shellIconMatches & (std::uint64_t{1} << kClassIconShellIndex)))
        problems.push_back("the class icon is " + ShellIconNames(facts.shellIconMatches) +
                           ", expected its icon " + std::to_string(kClassIconShellIndex) +
                           " (zero-based, extracted as a large icon)");
    if (facts.hasIcon && !facts.smallIconIsLarge)
        problems.push_back("the class's small icon is not the large icon's handle");
    if (!facts.cursorIsArrow)
        problems.push_back("the class cursor is not the system's arrow (IDC_ARROW)");
    if (facts.background != static_cast<std::uint64_t>(kClassBackground))
        problems.push_back("the class background is " + Hex(facts.background) +
                           ", expected COLOR_BTNFACE + 1 (" + Hex(kClassBackground) + ")");
    return problems;
}

Problems WindowFrameProblems(const InstallerProcess& installer) {
    ProbedWindow facts = {};
    if (!ReadWindowFacts(installer, facts))
        return {kNoProbe};
    Problems problems;
    if ((facts.style & ~kSystemAddedStyle) != kWindowStyle)
        problems.push_back("the window style is " + Hex(facts.style & ~kSystemAddedStyle) +
                           " (without WS_VISIBLE and WS_CLIPSIBLINGS), expected " +
                           Hex(kWindowStyle) + " (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX)");
    if (!(facts.style & WS_VISIBLE))
        problems.push_back("the window is not visible");
    if ((facts.exStyle & ~kSystemAddedExStyle) != kWindowExStyle)
        problems.push_back("the extended style is " + Hex(facts.exStyle & ~kSystemAddedExStyle) +
                           " (without WS_EX_WINDOWEDGE), expected " + Hex(kWindowExStyle));
    if (facts.hasParent)
        problems.push_back("the window has a parent or an owner, expected none");
    if (facts.hasMenu)
        problems.push_back("the window has a menu, expected none");
    const LONG clientWidth = facts.client.right - facts.client.left;
    const LONG clientHeight = facts.client.bottom - facts.client.top;
    if (clientWidth != kClientSize.cx || clientHeight != kClientSize.cy)
        problems.push_back("the client area is " + std::to_string(clientWidth) + "x" +
                           std::to_string(clientHeight) + " px, expected " +
                           std::to_string(kClientSize.cx) + "x" + std::to_string(kClientSize.cy));
    // The outer size is the client area grown by the frame of the window's
    // own style, in the installer's metrics.
    const LONG width = facts.window.right - facts.window.left;
    const LONG height = facts.window.bottom - facts.window.top;
    const LONG wantWidth = kClientSize.cx + facts.frame.right - facts.frame.left;
    const LONG wantHeight = kClientSize.cy + facts.frame.bottom - facts.frame.top;
    if (width != wantWidth || height != wantHeight)
        problems.push_back("the window is " + std::to_string(width) + "x" + std::to_string(height) +
                           " px, expected " + std::to_string(wantWidth) + "x" +
                           std::to_string(wantHeight) + " (the client area and its frame)");
    const LONG x = (facts.screenWidth - width) / 2;
    const LONG y = (facts.screenHeight - height) / 2;
    if (facts.window.left != x || facts.window.top != y)
        problems.push_back("the window is at (" + std::to_string(facts.window.left) + "," +
                           std::to_string(facts.window.top) + "), expected (" + std::to_string(x) +
                           "," + std::to_string(y) + "): centred on the " +
                           std::to_string(facts.screenWidth) + "x" +
                           std::to_string(facts.screenHeight) + " screen");
    return problems;
}

Problems WindowTextProblems(const InstallerProcess& installer) {
    Problems problems;
    const std::wstring title = WindowText(installer.window);
    if (title != kWindowTitle)
        problems.push_back("the window's title is " + Quoted(title) + ", expected " +
                           Quoted(kWindowTitle));
    const std::vector<HWND> children = ChildWindows(installer.window);
    const size_t expectedCount = std::size(kControls);
    if (children.size() != expectedCount)
        problems.push_back("the window has " + std::to_string(children.size()) +
                           " controls, expected " + std::to_string(expectedCount) +
                           " (two notes, then the Install, Uninstall and Cancel buttons)");
    for (size_t i = 0; i < std::min(children.size(), expectedCount); ++i) {
        const Control& want = kControls[i];
        const std::wstring className = ClassName(children[i]);
        if (!SameNoCase(className, want.className))
            problems.push_back(std::string(want.what) + " is a " + Quoted(className) +
                               " control, expected " + Quoted(want.className));
        if (GetDlgCtrlID(children[i]) != want.id)
            problems.push_back(std::string(want.what) + " has the id " +
                               std::to_string(GetDlgCtrlID(children[i])) + ", expected " +
                               std::to_string(want.id));
        const std::wstring text = WindowText(children[i]);
        if (text != want.text)
            problems.push_back(std::string(want.what) + " says " + Quoted(text) + ", expected " +
                               Quoted(want.text));
    }
    return problems;
}

Problems ControlProblems(const InstallerProcess& installer) {
    const WindowLayout layout = ReadWindowLayout(installer);
    if (!layout.read)
        return {kNoProbe};
    const std::vector<HWND> children = ChildWindows(installer.window);
    Problems problems;
    for (size_t i = 0; i < std::min(children.size(), std::size(kControls)); ++i) {
        const Control& want = kControls[i];
        const DWORD style = static_cast<DWORD>(GetWindowLongW(children[i], GWL_STYLE));
        const DWORD exStyle = static_cast<DWORD>(GetWindowLongW(children[i], GWL_EXSTYLE));
        if (style != want.style)
            problems.push_back(std::string(want.what) + " has the style " + Hex(style) +
                               ", expected " + Hex(want.style));
        if (exStyle != 0)
            problems.push_back(std::string(want.what) + " has the extended style " + Hex(exStyle) +
                               ", expected none");
        if (i < layout.controls.size() && !EqualRect(&layout.controls[i], &want.box))
            problems.push_back(std::string(want.what) + " lies at " + Box(layout.controls[i]) +
                               ", expected " + Box(want.box));
    }
    return problems;
}

Problems WindowFontProblems(const InstallerProcess& installer) {
    const std::vector<ControlFont> fonts = ReadControlFonts(installer);
    const WindowLayout layout = ReadWindowLayout(installer);
    if (fonts.empty() || !layout.read)
        return {kNoProbe};
    const int height = -MulDiv(kFontPoints, layout.dpi, 72);
    const std::string size = std::to_string(kFontPoints) + " pt at " + std::to_string(layout.dpi) +
                             " dpi, a character height of " + std::to_string(-height) + " px";
    Problems problems;
    for (size_t i = 0; i < fonts.size(); ++i) {
        const std::string what = ControlName(i);
        if (!fonts[i].described) {
            problems.push_back(what + " has no font of its own (the system font), expected " +
                               Quoted(kFontFace) + " " + size);
            continue;
        }
        const LOGFONTW& font = fonts[i].logFont;
        if (font.lfFaceName != std::wstring(kFontFace))
            problems.push_back(what + " uses the face " + Quoted(font.lfFaceName) + ", expected " +
                               Quoted(kFontFace));
        if (font.lfHeight != height)
            problems.push_back(what + "'s font has the height " + std::to_string(font.lfHeight) +
                               ", expected " + std::to_string(height) + " (" + size + ")");
        const auto expect = [&problems, &what](const char* field, long got, long want) {
            if (got != want)
                problems.push_back(what + "'s font has " + field + " " + std::to_string(got) +
                                   ", expected " + std::to_string(want));
        };
        expect("the weight", font.lfWeight, kFontWeight);
        expect("italic", font.lfItalic, 0);
        expect("underline", font.lfUnderline, 0);
        expect("strike-out", font.lfStrikeOut, 0);
        expect("the character set", font.lfCharSet, kFontCharSet);
        expect("the pitch and family", font.lfPitchAndFamily, kFontPitchAndFamily);
        expect("the width", font.lfWidth, 0);
        expect("the escapement", font.lfEscapement, 0);
        expect("the orientation", font.lfOrientation, 0);
        expect("the output precision", font.lfOutPrecision, 0);
        expect("the clip precision", font.lfClipPrecision, 0);
        expect("the quality", font.lfQuality, 0);
        if (i > 0 && fonts[i].font != fonts[0].font)
            problems.push_back(what + " has a font of its own, expected the one font of all");
    }
    return problems;
}

Problems LayoutFitProblems(const InstallerProcess& installer) {
    const WindowLayout layout = ReadWindowLayout(installer);
    if (!layout.read)
        return {kNoProbe};
    const std::string area =
        std::to_string(layout.client.cx) + "x" + std::to_string(layout.client.cy) + " px";
    Problems problems;
    for (size_t i = 0; i < layout.controls.size(); ++i) {
        const RECT& r = layout.controls[i];
        if (r.left < 0 || r.top < 0 || r.right > layout.client.cx || r.bottom > layout.client.cy)
            problems.push_back(ControlName(i) + " " + Box(r) + " reaches out of the window's " +
                               area + " client area, where it is cut off");
        for (size_t j = i + 1; j < layout.controls.size(); ++j) {
            RECT common = {};
            if (IntersectRect(&common, &r, &layout.controls[j]))
                problems.push_back(ControlName(i) + " " + Box(r) + " overlaps " + ControlName(j) +
                                   " " + Box(layout.controls[j]));
        }
    }
    return problems;
}

Problems TextFitProblems(const InstallerProcess& installer) {
    const std::vector<TextFit> fits = MeasureTextFits(installer);
    if (fits.empty())
        return {kNoProbe};
    Problems problems;
    for (const TextFit& fit : fits) {
        if (!fit.hasFont)
            problems.push_back(Quoted(fit.text) + " has no font of its own");
        else if (fit.needed > fit.available)
            problems.push_back(Quoted(fit.text) + " needs " + std::to_string(fit.needed) +
                               " px where its " + (fit.isButton ? "button" : "box") + " offers " +
                               std::to_string(fit.available) + " px");
    }
    return problems;
}

Problems AllWindowProblems(const InstallerProcess& installer) {
    Problems all;
    for (Problems (*check)(const InstallerProcess&) :
         {WindowClassProblems, WindowFrameProblems, WindowTextProblems, ControlProblems,
          WindowFontProblems, LayoutFitProblems, TextFitProblems}) {
        for (std::string& problem : check(installer)) {
            if (std::find(all.begin(), all.end(), problem) == all.end())
                all.push_back(std::move(problem));
        }
    }
    return all;
}
