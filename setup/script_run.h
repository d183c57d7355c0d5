// Running a generated script elevated, shared by both workflows.
#pragma once

#include <string>

// Runs the script at `scriptPath`, just written with `scriptText`, elevated
// and waits up to 30 s for it. The script is held open against writers and
// deleters until the wait ends and is checked to still hold `scriptText`
// under that hold, so nobody can swap what runs elevated; the command
// interpreter can still read it. A script that cannot be held, or that no
// longer holds its text, is not run.
void RunScriptElevated(const std::wstring& scriptPath, const std::wstring& scriptText);
