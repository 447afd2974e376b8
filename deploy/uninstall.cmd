@echo off
rem Uninstalls a Qorlink patch from a fleet tool (Intune Win32 app,
rem Configuration Manager script installer): make it the uninstall command.
rem It runs qlpatch.exe -c undo in the folder install.cmd put in place,
rem <install folder>\UpdateBackup\<PATCH_FOLDER>, found through the
rem product's install key as install.cmd finds it. The undo puts the
rem replaced modules back from the patch's backup and takes the patch off
rem the record; this file ends with qlpatch.exe's exit code unchanged. Each
rem run adds dated lines to <install folder>\UpdateBackup\<PATCH_FOLDER>-uninstall.log.
rem As SYSTEM it runs nothing from a place a standard user can write, and
rem quotes every path wherever it is used or written to the log.
rem
rem Exit code of its own (qlpatch.exe has none of it):
rem   1603  the product is not installed, or the folder install.cmd makes
rem         is not there, so nothing was run
setlocal EnableExtensions DisableDelayedExpansion

rem The same folder name as in install.cmd, detect.ps1 and detect.vbs.
set "PATCH_FOLDER=QlPatch03"

set "system=%SystemRoot%\System32"
rem The install folder from HKLM, 32-bit view, as install.cmd reads it.
rem Read with the console code page set to UTF-8, as install.cmd does.
set "product="
set "codepage="
for /f "tokens=2 delims=:." %%c in ('"%system%\chcp.com"') do set "codepage=%%c"
"%system%\chcp.com" 65001 >nul
for /f "tokens=1,2,*" %%a in ('"%system%\reg.exe" query HKLM\Software\Tarvex\Durirave\Install /v Path /reg:32 2^>nul') do if /i "%%a"=="Path" if /i "%%b"=="REG_SZ" set "product=%%c"
if defined codepage set "codepage=%codepage: =%"
if defined codepage if not "%codepage%"=="0" "%system%\chcp.com" %codepage% >nul
if not defined product exit /b 1603
if not "%product:~1,2%"==":\" exit /b 1603
if "%product:~-1%"=="\" set "product=%product:~0,-1%"
set "backup=%product%\UpdateBackup"
set "target=%backup%\%PATCH_FOLDER%"
set "log=%backup%\%PATCH_FOLDER%-uninstall.log"
if not exist "%target%\qlpatch.exe" exit /b 1603

>>"%log%" echo %date% %time% uninstall.cmd: undo of patch %PATCH_FOLDER%
rem qlpatch.exe reads its description file from the current folder.
cd /d "%target%"
if errorlevel 1 goto cannot_run
"%target%\qlpatch.exe" -c undo >>"%log%" 2>&1
set "code=%errorlevel%"
>>"%log%" echo %date% %time% uninstall.cmd: qlpatch.exe ended with %code%
exit /b %code%

:cannot_run
>>"%log%" echo %date% %time% uninstall.cmd: "%target%" cannot be used; nothing was run
exit /b 1603
