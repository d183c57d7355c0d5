// What one run of the release check found, and the files that keep it:
// RESULTS_DIR\ovik-check.xml (JUnit XML, one case per check) and
// RESULTS_DIR\ovik-check.txt (one line per check, then the machine).
#pragma once

#include <string>
#include <vector>

struct CheckResult {
    enum class Outcome { kPassed, kFailed, kSkipped };
    std::string name;  // short and stable, for example "installed-tree"
    Outcome outcome = Outcome::kPassed;
    std::string why;                   // failed or skipped: the first problem, one line (UTF-8)
    std::vector<std::string> details;  // every problem found (UTF-8)
    double seconds = 0;
};

// The machine the check ran on, as it describes itself.
struct MachineFacts {
    std::string windows;     // product name and release, for example "Windows 10 Pro 22H2"
    std::string version;     // major.minor, for example "10.0"
    std::string build;       // build and revision, for example "19045.3803"
    std::string uiLanguage;  // for example "ja-JP"
    std::string wine;        // the Wine version when it runs under Wine, else empty
};
MachineFacts ReadMachineFacts();

// "ok    name", "FAIL  name: why" or "skip  name: why".
std::string SummaryLine(const CheckResult& result);

// Writes both files into `folder` (which exists). `about` lines go into the
// text file after the machine's facts. False, naming the file in `why`,
// when one cannot be written.
bool WriteResults(const std::wstring& folder, const std::vector<CheckResult>& results,
                  const MachineFacts& machine, const std::vector<std::string>& about,
                  std::string& why);

// `text` with the characters that XML reserves escaped, and without the
// control characters that it forbids.
std::string EscapeXml(const std::string& text);

// Creates or replaces `path` with the UTF-8 `text`.
bool WriteUtf8File(const std::wstring& path, const std::string& text);

// Prints UTF-8 text on the console (or into the pipe that stands for it).
void Say(const std::string& text);
