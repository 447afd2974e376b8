@echo off
rem Uninstalls a Qorlink patch from a fleet tool (Intune Win32 app,
rem Configuration Manager script installer): make it the uninstall command.
rem It runs qlpatch.exe -c undo in the folder install.cmd put in place under
rem %ProgramData%, which puts the replaced modules back from the patch's
rem backup and takes the patch off the record, and ends with qlpatch.exe's
rem exit code unchanged (the undo prints nothing).
rem
rem Exit code of its own (qlpatch.exe has none of it):
rem   1603  the folder install.cmd makes is not there, so nothing was run
setlocal EnableExtensions

rem The same folder name as in install.cmd, detect.ps1 and detect.vbs.
set "PATCH_FOLDER=QlPatch03"

if not defined ProgramData exit /b 1603
set "target=%ProgramData%\%PATCH_FOLDER%"
if not exist "%target%\qlpatch.exe" exit /b 1603

rem qlpatch.exe reads its description file from the current folder.
cd /d "%target%"
if errorlevel 1 exit /b 1603
"%target%\qlpatch.exe" -c undo
exit /b %errorlevel%
