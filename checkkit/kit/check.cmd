@echo off
rem Checks the release that holds this kit (the folder above it; the version
rem check-kit.sh made the kit for) on this machine: mounts its CD image,
rem installs from it, checks, uninstalls.
rem   check.cmd [RESULTS_DIR] [--disposable] [--drive X:]
rem RESULTS_DIR defaults to ovik-check-results in the user's profile.
setlocal
for %%F in ("%~dp0..") do set "RELEASE=%%~fF"
set "RESULTS=%~1"
if "%RESULTS%"=="" set "RESULTS=%USERPROFILE%\ovik-check-results"
if "%RESULTS:~0,2%"=="--" (
  set "RESULTS=%USERPROFILE%\ovik-check-results"
) else (
  shift
)
echo OVIK release check: %RELEASE%
echo Results go to %RESULTS%
echo.
echo Windows will ask for elevation nine times: once when the installer
echo registers the client's library, twice during each uninstall; three times
echo for the release's medium, six for the check's own probe medium, which is
echo installed and uninstalled twice. Answer Yes each time; a declined prompt
echo fails the checks that depend on it.
echo.
"%~dp0ovik-check.exe" "%RELEASE%" "%RESULTS%" --version @VERSION@ %1 %2 %3
exit /b %ERRORLEVEL%
