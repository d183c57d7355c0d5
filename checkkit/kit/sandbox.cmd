@echo off
rem Runs the release check in Windows Sandbox: writes ovik-check.wsb with the
rem absolute paths of the release that holds this kit (mapped read-only) and
rem of a results folder (writable), then opens it.
rem   sandbox.cmd [RESULTS_DIR]
rem RESULTS_DIR defaults to ovik-check-results in the user's profile.
setlocal
rem The configuration is XML in UTF-8, whatever the folders are called.
chcp 65001 >nul
for %%F in ("%~dp0..") do set "RELEASE=%%~fF"
set "RESULTS=%~1"
if "%RESULTS%"=="" set "RESULTS=%USERPROFILE%\ovik-check-results"
if not exist "%RESULTS%" mkdir "%RESULTS%" || (
  echo Cannot make the results folder %RESULTS%
  exit /b 2
)
for %%F in ("%RESULTS%") do set "RESULTS=%%~fF"
where WindowsSandbox.exe >nul 2>nul || (
  echo Windows Sandbox is not turned on. Turn on "Windows Sandbox" in
  echo "Turn Windows features on or off" ^(Windows 10/11 Pro or Enterprise^),
  echo or run check.cmd --disposable on a throw-away virtual machine.
  exit /b 2
)
set "WSB=%RESULTS%\ovik-check.wsb"
(
  echo ^<Configuration^>
  echo   ^<MappedFolders^>
  echo     ^<MappedFolder^>
  echo       ^<HostFolder^>%RELEASE%^</HostFolder^>
  echo       ^<SandboxFolder^>C:\ovik-check\release^</SandboxFolder^>
  echo       ^<ReadOnly^>true^</ReadOnly^>
  echo     ^</MappedFolder^>
  echo     ^<MappedFolder^>
  echo       ^<HostFolder^>%RESULTS%^</HostFolder^>
  echo       ^<SandboxFolder^>C:\ovik-check\results^</SandboxFolder^>
  echo       ^<ReadOnly^>false^</ReadOnly^>
  echo     ^</MappedFolder^>
  echo   ^</MappedFolders^>
  echo   ^<LogonCommand^>
  echo     ^<Command^>cmd.exe /c start "OVIK release check" cmd.exe /k C:\ovik-check\release\check\check.cmd C:\ovik-check\results^</Command^>
  echo   ^</LogonCommand^>
  echo ^</Configuration^>
) > "%WSB%" || (
  echo Cannot write %WSB%
  exit /b 2
)
echo Wrote %WSB%
echo Release %RELEASE% (read-only in the sandbox), results in %RESULTS%
start "" "%WSB%"
