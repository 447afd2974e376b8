@echo off
rem Uninstalls a Qorlink patch from a fleet tool (Intune Win32 app,
rem Configuration Manager script installer): put it in the patch folder
rem beside install.cmd and detect.vbs, and make it the uninstall command.
rem It runs qlpatch.exe -c undo in the folder install.cmd put in place,
rem <install folder>\UpdateBackup\<PATCH_FOLDER>, found through the
rem product's install key as install.cmd finds it. The undo puts the
rem replaced modules back from the patch's backup and takes the patch off
rem the record; this file ends with qlpatch.exe's exit code unchanged. Each
rem run adds dated lines to <install folder>\UpdateBackup\<PATCH_FOLDER>-uninstall.log.
rem As SYSTEM it runs nothing from a place a standard user can write, and
rem quotes every path wherever it is used or written to the log: it writes
rem its log and runs the tool only once UpdateBackup, the staged folder and
rem the tool are no links and only SYSTEM and Administrators may change
rem them, checked as the detection checks them (by detect.vbs, beside it).
rem
rem Exit codes of its own (qlpatch.exe ends with 1618 only when another run
rem holds its lock):
rem   1603  the product is not installed, or the folder install.cmd makes
rem         is not there, or users may change it, UpdateBackup or the tool,
rem         or that could not be checked (detect.vbs or cscript.exe could
rem         not run): nothing was run, and nothing written
rem   1618  the log was taken by another program just as the tool was to
rem         start: try again later
setlocal EnableExtensions DisableDelayedExpansion

rem The same folder name as in install.cmd, detect.ps1 and detect.vbs.
set "PATCH_FOLDER=QlPatch03"

set "system=%SystemRoot%\System32"
set "source=%~dp0"
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
rem A folder a user made before any install, or one a user may change,
rem could hold anything by the time it runs, and a log file in it may be a
rem user's link to any file: no link, and detect.vbs's /adminsonly answer
rem (544 only for yes) for all three, before anything is written there.
set "attributes=-"
for %%a in ("%backup%") do set "attributes=-%%~aa"
if not "%attributes:l=%"=="%attributes%" exit /b 1603
for %%a in ("%target%") do set "attributes=-%%~aa"
if not "%attributes:l=%"=="%attributes%" exit /b 1603
for %%a in ("%target%\qlpatch.exe") do set "attributes=-%%~aa"
if not "%attributes:l=%"=="%attributes%" exit /b 1603
if not exist "%source%detect.vbs" exit /b 1603
"%system%\cscript.exe" //nologo //B "%source%detect.vbs" /adminsonly "%backup%" "%target%" "%target%\qlpatch.exe"
if not "%errorlevel%"=="544" exit /b 1603
rem The errorlevel back to 0 for the steps below, which read it.
(call )

>>"%log%" echo %date% %time% uninstall.cmd: undo of patch %PATCH_FOLDER%
rem qlpatch.exe reads its description file from the current folder.
cd /d "%target%"
if errorlevel 1 goto cannot_run
rem A log that cannot be opened would keep the tool from starting: the tool
rem then runs without it, as install.cmd does, and a log taken between the
rem look and the run leaves 1618 (try again), never a success.
set "logged="
>>"%log%" set "logged=1"
if not defined logged goto run_without_log
call :set_errorlevel 1618
"%target%\qlpatch.exe" -c undo >>"%log%" 2>&1
set "code=%errorlevel%"
>>"%log%" echo %date% %time% uninstall.cmd: qlpatch.exe ended with %code%
exit /b %code%

:run_without_log
"%target%\qlpatch.exe" -c undo >nul 2>&1
exit /b %errorlevel%

:set_errorlevel
exit /b %1

:cannot_run
>>"%log%" echo %date% %time% uninstall.cmd: "%target%" cannot be used; nothing was run
exit /b 1603
