#include "checkkit/report.h"

#include "checkkit/text.h"
#include "shellops/handles.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

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
        case CheckResult::Outcome::kWarning:
            return "warn  " + result.name + ": " + OneLine(result.why);
        case CheckResult::Outcome::kFailed:
            return "FAIL  " + result.name + ": " + OneLine(result.why);
        case CheckResult::Outcome::kSkipped:
            if (!result.blockedBy.empty())
                return "skip  " + result.name + " (not run: " + result.blockedBy + " failed)";
            return "skip  " + result.name + ": " + OneLine(result.why);
    }
    return result.name;
}

std::string Headline(const std::vector<CheckResult>& results, const std::wstring& resultsFolder) {
    const auto count = [&results](CheckResult::Outcome outcome) {
        return std::count_if(results.begin(), results.end(), [outcome](const CheckResult& result) {
            return result.outcome == outcome;
        });
    };
    const auto failed = count(CheckResult::Outcome::kFailed);
    const auto warned = count(CheckResult::Outcome::kWarning);
    if (failed == 0)
        return "PASS: no check failed (" + std::to_string(count(CheckResult::Outcome::kPassed)) +
               " ok, " + std::to_string(warned) + (warned == 1 ? " warning, " : " warnings, ") +
               std::to_string(count(CheckResult::Outcome::kSkipped)) +
               " skipped); this release behaves on this machine as it must" +
               (warned ? ", read the warnings before you ship it" : "");
    const auto first = std::find_if(results.begin(), results.end(), [](const CheckResult& result) {
        return result.outcome == CheckResult::Outcome::kFailed;
    });
    return "FAIL: do not ship this release; send the results folder " + Narrow(resultsFolder) +
           " to whoever made the release (" + std::to_string(failed) +
           std::string(failed == 1 ? " check" : " checks") + " failed, first " + first->name + ")";
}

bool WriteResults(const std::wstring& folder, const std::string& headline,
                  const std::vector<CheckResult>& results, const MachineFacts& machine,
                  const std::vector<std::string>& about, std::string& why) {
    std::string text = headline + "\n";
    for (const std::string& line : about)
        text += line + "\n";
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
        if (result.outcome == CheckResult::Outcome::kWarning) {
            cases += ">\n      <system-out>warning: " + EscapeXml(body) +
                     "</system-out>\n    </testcase>\n";
        } else if (result.outcome == CheckResult::Outcome::kFailed) {
            ++failures;
            cases += ">\n      <failure message=\"" + EscapeXml(result.why) + "\">" +
                     EscapeXml(body) + "</failure>\n    </testcase>\n";
        } else {
            ++skipped;
            const std::string message =
                result.blockedBy.empty() ? result.why : "not run: " + result.blockedBy + " failed";
            cases +=
                ">\n      <skipped message=\"" + EscapeXml(message) + "\"/>\n    </testcase>\n";
        }
    }
    text += "windows: " + (machine.windows.empty() ? "(unknown)" : machine.windows) +
            (machine.wine.empty() ? "" : " (under Wine " + machine.wine + ")") + "\n";
    text += "version: " + machine.version + "\n";
    text += "build: " + machine.build + "\n";
    text += "ui language: " + machine.uiLanguage + "\n";

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

std::string FileSha256(const std::wstring& path) {
    const UniqueHandle file =
        MakeUniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!file || BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
        return std::string();
    const auto closeAlgorithm = [](BCRYPT_ALG_HANDLE owned) {
        BCryptCloseAlgorithmProvider(owned, 0);
    };
    const std::unique_ptr<void, decltype(closeAlgorithm)> algorithmOwner(algorithm, closeAlgorithm);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) != 0)
        return std::string();
    const auto destroyHash = [](BCRYPT_HASH_HANDLE owned) { BCryptDestroyHash(owned); };
    const std::unique_ptr<void, decltype(destroyHash)> hashOwner(hash, destroyHash);
    std::vector<unsigned char> chunk(size_t{1} << 20);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr))
            return std::string();
        if (read == 0)
            break;
        if (BCryptHashData(hash, chunk.data(), read, 0) != 0)
            return std::string();
    }
    unsigned char digest[32];
    if (BCryptFinishHash(hash, digest, sizeof digest, 0) != 0)
        return std::string();
    std::string hex;
    for (const unsigned char byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
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

CheckResult ResultOf(const std::string& name, const std::vector<std::string>& problems,
                     double seconds) {
    CheckResult result;
    result.name = name;
    result.seconds = seconds;
    if (!problems.empty()) {
        result.outcome = CheckResult::Outcome::kFailed;
        result.why = problems.front();
        if (problems.size() > 1)
            result.why += " (and " + std::to_string(problems.size() - 1) + " more)";
        result.details = problems;
    }
    return result;
}
