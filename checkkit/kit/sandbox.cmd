@echo off
rem Runs the release check in Windows Sandbox: has ovik-check.exe write
rem ovik-check.wsb with the absolute paths of the release that holds this kit
rem (mapped read-only) and of a results folder (writable), then opens it.
rem   sandbox.cmd [RESULTS_DIR]
rem RESULTS_DIR defaults to ovik-check-results in the user's profile.
setlocal
for %%F in ("%~dp0..") do set "RELEASE=%%~fF"
set "RESULTS=%~1"
if not defined RESULTS set "RESULTS=%USERPROFILE%\ovik-check-results"
if not exist "%SystemRoot%\System32\WindowsSandbox.exe" (
  echo Windows Sandbox is not turned on. Turn on "Windows Sandbox" in
  echo "Turn Windows features on or off" ^(Windows 10/11 Pro or Enterprise^),
  echo or run check.cmd --disposable on a throw-away virtual machine.
  exit /b 2
)
"%~dp0ovik-check.exe" --sandbox-config "%RELEASE%" "%RESULTS%" || exit /b 2
start "" "%RESULTS%\ovik-check.wsb"
