// The bookkeeping of a series of checks, the same for the release's medium
// and the probe's: each check runs as a function that returns its problems,
// its result is said at once and kept, and the checks that a failure kept
// from running are skipped in the series' own order, naming that failure.
#pragma once

#include "checkkit/report.h"

#include <functional>
#include <string>
#include <vector>

using Problems = std::vector<std::string>;

class CheckRun {
public:
    // `names`: every check of the series, in the order of the report.
    explicit CheckRun(std::vector<const char*> names) : names_(std::move(names)) {}

    // Runs `check` as the check `name`; false when it found a problem. With
    // OVIK_KIT_FAIL_FAST set (tests/mutation/kit-chain.sh sets it), a check after a
    // failure of this series or of SetEarlierFailure's is skipped instead, naming
    // that failure, so that a caught fault costs only the checks up to it.
    bool Check(const char* name, const std::function<Problems()>& check);
    // A failure of the series run before this one.
    void SetEarlierFailure(const std::string& name) { firstFailure_ = name; }
    // Keeps a result made elsewhere (with its time), and says it.
    void Record(CheckResult result);
    void Skip(const char* name, const std::string& why);
    // Skips every check of the series not run yet: kept from running by the
    // failed check `blocker`, or, when that is empty, for `why`.
    void SkipRest(const std::string& blocker, const std::string& why = std::string());
    // The results in the series' order.
    std::vector<CheckResult> Ordered() const;

private:
    std::vector<const char*> names_;
    std::vector<CheckResult> results_;
    std::string firstFailure_;
};
