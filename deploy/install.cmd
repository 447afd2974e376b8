@echo off
rem Installs a Qorlink patch from a fleet tool (Intune Win32 app,
rem Configuration Manager script installer). Put this file in the patch
rem folder beside qlpatch.exe, patchql58302.dat and the new modules, and
rem make it the install command. It copies the patch folder to
rem %ProgramData%\<PATCH_FOLDER>, where the detection scripts find it, runs
rem qlpatch.exe there and ends with qlpatch.exe's exit code unchanged. The
rem tool's lines go to install.log in that folder.
rem
rem Exit codes of its own (qlpatch.exe has none of these):
rem   1603  the patch folder could not be put in place (nothing was run)
rem   1618  the folder in %ProgramData% is in use, most likely by a run of
rem         qlpatch.exe started from it: try again later
setlocal EnableExtensions
rem Each step is checked with "if errorlevel" on the next line, not with
rem "||": Wine's cmd, where the tests run this file, runs what follows "||"
rem even after a success.

rem One folder per patch: set the same name in detect.ps1 and detect.vbs.
set "PATCH_FOLDER=QlPatch03"

set "source=%~dp0"
if not defined ProgramData exit /b 1603
set "target=%ProgramData%\%PATCH_FOLDER%"
if not exist "%source%qlpatch.exe" exit /b 1603
if not exist "%source%patchql58302.dat" exit /b 1603

rem A folder left by an earlier install is moved aside in one step and then
rem removed, so a run still using it never sees it half deleted.
if exist "%target%.old\" rd /s /q "%target%.old"
if exist "%target%.old" exit /b 1603
if not exist "%target%\" goto moved_aside
ren "%target%" "%PATCH_FOLDER%.old"
if errorlevel 1 exit /b 1618
rd /s /q "%target%.old"
:moved_aside
if exist "%target%" exit /b 1603

rem The elevated tool runs from this folder: only SYSTEM and Administrators
rem may write to it (folders in %ProgramData% let every user add files).
mkdir "%target%"
if errorlevel 1 exit /b 1603
icacls "%target%" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX >nul
if errorlevel 1 exit /b 1603
xcopy "%source%*" "%target%\" /e /i /q /y /h /r >nul
if errorlevel 1 exit /b 1603

rem qlpatch.exe reads its description file from the current folder.
cd /d "%target%"
if errorlevel 1 exit /b 1603
"%target%\qlpatch.exe" >"%target%\install.log" 2>&1
exit /b %errorlevel%
