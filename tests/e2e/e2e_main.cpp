// Entry of the end-to-end tests of setup.exe. They install for real into
// C:\ovikProgram and onto the desktop, so outside this build's test prefix
// they touch nothing. With --screenshots=<host folder> and
// --capture-tool=<host path of ImageMagick's import> the program takes the
// documentation's pictures instead of running the tests.
#include "tests/e2e/screenshots.h"
#include "tests/support/medium.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <string>

namespace {

// The value of `--name=value` among the program's arguments, or empty.
std::wstring Option(const std::wstring& name) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring value;
    const std::wstring prefix = L"--" + name + L"=";
    for (int i = 1; arguments && i < count; ++i) {
        const std::wstring argument = arguments[i];
        if (argument.rfind(prefix, 0) == 0)
            value = argument.substr(prefix.size());
    }
    LocalFree(arguments);
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (RefusesToRunHere())
        return 0;
    const std::wstring screenshots = Option(L"screenshots");
    if (!screenshots.empty())
        return TakeScreenshots(screenshots, Option(L"capture-tool")) ? 0 : 1;
    return RUN_ALL_TESTS();
}
