// What one run of the release check found, and the files that keep it:
// RESULTS_DIR\ovik-check.xml (JUnit XML, one case per check) and
// RESULTS_DIR\ovik-check.txt (one line per check, then the machine).
#pragma once

#include <string>
#include <vector>

struct CheckResult {
    // A warning passes the run but says what a user may meet.
    enum class Outcome { kPassed, kWarning, kFailed, kSkipped };
    std::string name;  // short and stable, for example "installed-tree"
    Outcome outcome = Outcome::kPassed;
    std::string why;  // failed, warned or skipped: the first problem, one line (UTF-8)
    std::vector<std::string> details;  // every problem found (UTF-8)
    std::string blockedBy;             // skipped because this check failed before it
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

// The result of the check `name` that found `problems` (none: it passed) in
// `seconds`: failed with the first problem and how many more as its line.
CheckResult ResultOf(const std::string& name, const std::vector<std::string>& problems,
                     double seconds);

// "ok    name", "FAIL  name: why", "warn  name: why", "skip  name: why" or
// "skip  name (not run: other failed)"; always one line.
std::string SummaryLine(const CheckResult& result);

// The text file's first line: "PASS: ..." when no check failed, else "FAIL:
// do not ship this release; send the results folder ..." naming `resultsFolder`.
std::string Headline(const std::vector<CheckResult>& results, const std::wstring& resultsFolder);

// Writes both files into `folder` (which exists): the text file starts with
// `headline` and the kit's `about` lines (kit, release, drive, hashes), then
// one line per check, then the machine's facts. False, naming the file in
// `why`, when one cannot be written.
bool WriteResults(const std::wstring& folder, const std::string& headline,
                  const std::vector<CheckResult>& results, const MachineFacts& machine,
                  const std::vector<std::string>& about, std::string& why);

// The file's SHA-256 in lower-case hex; empty when it cannot be read.
std::string FileSha256(const std::wstring& path);

// Creates or replaces `path` with the UTF-8 `text`.
bool WriteUtf8File(const std::wstring& path, const std::string& text);

// Prints UTF-8 text on the console (or into the pipe that stands for it).
void Say(const std::string& text);
