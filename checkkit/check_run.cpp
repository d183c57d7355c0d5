#include "checkkit/check_run.h"

#include "checkkit/driver/files.h"

#include <algorithm>
#include <cstdlib>

bool CheckRun::Check(const char* name, const std::function<Problems()>& check) {
    static const bool failFast = std::getenv("OVIK_KIT_FAIL_FAST") != nullptr;
    if (failFast && !firstFailure_.empty()) {
        Skip(name, "not run: " + firstFailure_ + " failed (OVIK_KIT_FAIL_FAST)");
        return false;
    }
    const ULONGLONG start = NowMs();
    const Problems problems = check();
    Record(ResultOf(name, problems, static_cast<double>(NowMs() - start) / 1000.0));
    return problems.empty();
}

void CheckRun::Record(CheckResult result) {
    Say(SummaryLine(result));
    if (result.outcome == CheckResult::Outcome::kFailed && firstFailure_.empty())
        firstFailure_ = result.name;
    results_.push_back(std::move(result));
}

void CheckRun::Skip(const char* name, const std::string& why) {
    CheckResult result;
    result.name = name;
    result.outcome = CheckResult::Outcome::kSkipped;
    result.why = why;
    result.details = {why};
    Record(result);
}

void CheckRun::SkipRest(const std::string& blocker, const std::string& why) {
    for (const char* name : names_) {
        const bool done =
            std::any_of(results_.begin(), results_.end(),
                        [name](const CheckResult& result) { return result.name == name; });
        if (done)
            continue;
        CheckResult skipped;
        skipped.name = name;
        skipped.outcome = CheckResult::Outcome::kSkipped;
        skipped.blockedBy = blocker;
        skipped.why = blocker.empty() ? why : "not run: " + blocker + " failed";
        skipped.details = {skipped.why};
        Record(skipped);
    }
}

std::vector<CheckResult> CheckRun::Ordered() const {
    std::vector<CheckResult> ordered;
    for (const char* name : names_) {
        for (const CheckResult& result : results_) {
            if (result.name == name)
                ordered.push_back(result);
        }
    }
    return ordered;
}
