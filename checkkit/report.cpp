#include "checkkit/report.h"

#include "checkkit/driver/message_boxes.h"
#include "shellops/handles.h"

#include <windows.h>

#include <cstdio>

namespace {

std::string ReadRegistryText(const wchar_t* value) {
    wchar_t text[256] = {};
    DWORD size = sizeof text;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", value,
                     RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return std::string();
    return Narrow(text);
}

DWORD ReadRegistryNumber(const wchar_t* value) {
    DWORD number = 0;
    DWORD size = sizeof number;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", value,
                     RRF_RT_REG_DWORD, nullptr, &number, &size) != ERROR_SUCCESS)
        return 0;
    return number;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

}  // namespace

std::string EscapeXml(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\r':
                break;
            default:
                // Other control characters are not allowed in XML 1.0.
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\n' || c == '\t')
                    out += c;
        }
    }
    return out;
}

bool WriteUtf8File(const std::wstring& path, const std::string& text) {
    const UniqueHandle file = MakeUniqueHandle(CreateFileW(
        path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

MachineFacts ReadMachineFacts() {
    MachineFacts facts;
    // GetVersionExW lies to programs without a compatibility manifest;
    // RtlGetVersion does not.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (rtlGetVersion && rtlGetVersion(&version) == 0) {
        facts.version =
            std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion);
        facts.build = std::to_string(version.dwBuildNumber) + "." +
                      std::to_string(ReadRegistryNumber(L"UBR"));
    }
    facts.windows = ReadRegistryText(L"ProductName");
    const std::string release = ReadRegistryText(L"DisplayVersion");
    if (!release.empty())
        facts.windows += " " + release;
    wchar_t locale[LOCALE_NAME_MAX_LENGTH] = {};
    if (LCIDToLocaleName(MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT), locale,
                         LOCALE_NAME_MAX_LENGTH, 0) > 0)
        facts.uiLanguage = Narrow(locale);
    using WineGetVersionFn = const char*(CDECL*)();
    const auto wineGetVersion = reinterpret_cast<WineGetVersionFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    if (wineGetVersion)
        facts.wine = wineGetVersion();
    return facts;
}

std::string SummaryLine(const CheckResult& result) {
    switch (result.outcome) {
        case CheckResult::Outcome::kPassed:
            return "ok    " + result.name;
        case CheckResult::Outcome::kFailed:
            return "FAIL  " + result.name + ": " + result.why;
        case CheckResult::Outcome::kSkipped:
            return "skip  " + result.name + ": " + result.why;
    }
    return result.name;
}

bool WriteResults(const std::wstring& folder, const std::vector<CheckResult>& results,
                  const MachineFacts& machine, const std::vector<std::string>& about,
                  std::string& why) {
    std::string text;
    int failures = 0;
    int skipped = 0;
    double total = 0;
    std::string cases;
    for (const CheckResult& result : results) {
        text += SummaryLine(result) + "\n";
        total += result.seconds;
        cases += "    <testcase classname=\"ovik-check\" name=\"" + EscapeXml(result.name) +
                 "\" time=\"" + Seconds(result.seconds) + "\"";
        if (result.outcome == CheckResult::Outcome::kPassed) {
            cases += "/>\n";
            continue;
        }
        std::string body;
        for (const std::string& detail : result.details)
            body += detail + "\n";
        if (result.outcome == CheckResult::Outcome::kFailed) {
            ++failures;
            cases += ">\n      <failure message=\"" + EscapeXml(result.why) + "\">" +
                     EscapeXml(body) + "</failure>\n    </testcase>\n";
        } else {
            ++skipped;
            cases +=
                ">\n      <skipped message=\"" + EscapeXml(result.why) + "\"/>\n    </testcase>\n";
        }
    }
    text += "windows: " + (machine.windows.empty() ? "(unknown)" : machine.windows) +
            (machine.wine.empty() ? "" : " (under Wine " + machine.wine + ")") + "\n";
    text += "version: " + machine.version + "\n";
    text += "build: " + machine.build + "\n";
    text += "ui language: " + machine.uiLanguage + "\n";
    for (const std::string& line : about)
        text += line + "\n";

    const std::string counts = "tests=\"" + std::to_string(results.size()) + "\" failures=\"" +
                               std::to_string(failures) + "\" errors=\"0\" skipped=\"" +
                               std::to_string(skipped) + "\" time=\"" + Seconds(total) + "\"";
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"ovik-check\" " + counts +
        ">\n  <testsuite name=\"ovik-check\" " + counts + ">\n";
    xml += "    <properties>\n";
    const std::pair<const char*, std::string> properties[] = {{"windows", machine.windows},
                                                              {"version", machine.version},
                                                              {"build", machine.build},
                                                              {"ui-language", machine.uiLanguage},
                                                              {"wine", machine.wine}};
    for (const auto& [name, value] : properties)
        xml += "      <property name=\"" + std::string(name) + "\" value=\"" + EscapeXml(value) +
               "\"/>\n";
    xml += "    </properties>\n" + cases + "  </testsuite>\n</testsuites>\n";

    for (const auto& [name, content] :
         {std::pair<std::wstring, const std::string*>{L"ovik-check.xml", &xml},
          std::pair<std::wstring, const std::string*>{L"ovik-check.txt", &text}}) {
        if (!WriteUtf8File(folder + L"\\" + name, *content)) {
            why = "cannot write " + Narrow(folder + L"\\" + name);
            return false;
        }
    }
    return true;
}

void Say(const std::string& text) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    const std::string line = text + "\n";
    if (GetConsoleMode(out, &mode)) {
        // A console shows Japanese whatever its code page when given UTF-16.
        const int length =
            MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
        std::wstring wide(static_cast<size_t>(length), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(),
                            length);
        WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
}
