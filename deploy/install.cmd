@echo off
rem Installs a Qorlink patch from a fleet tool (Intune Win32 app,
rem Configuration Manager script installer). Put this file in the patch
rem folder beside qlpatch.exe, patchql58302.dat, the new modules and
rem detect.vbs (the detection script, which also checks for this file who
rem may change a folder), and make it the install command. It finds the
rem product's install folder in the product's install key (HKLM, 32-bit
rem view), copies the patch folder to
rem <install folder>\UpdateBackup\<PATCH_FOLDER>, where the detection
rem scripts and uninstall.cmd find it, runs qlpatch.exe there and ends with
rem qlpatch.exe's exit code unchanged. Each run adds a dated line and the
rem tool's lines to <install folder>\UpdateBackup\<PATCH_FOLDER>-install.log.
rem
rem It runs as SYSTEM, so it runs, loads and trusts nothing from a place a
rem standard user can write: the system's programs by their full path, the
rem install folder only from HKLM, and the tool only from a folder inside
rem the install folder that only SYSTEM and Administrators may change. It
rem writes nothing, not even its log, in an UpdateBackup it finds there
rem before it has checked that only they may change it.
rem
rem Every path is quoted wherever it is used or written to the log: a
rem folder name may hold & ^ %% ! or characters of any language.
rem
rem Exit codes of its own (qlpatch.exe has none of these):
rem   1603  the product is not installed (no install folder in its install
rem         key, or not there), or the package lacks a file, or the patch
rem         folder could not be put in place, or a staged file differs from
rem         the package's: nothing was run. Also, with nothing run and
rem         nothing written in it: UpdateBackup is there but users may
rem         change it, or that could not be checked (detect.vbs or
rem         cscript.exe could not run), or a new UpdateBackup was not empty
rem         once its ACL was set
rem         Also when PATCH_FOLDER begins with "Patch": qlpatch.exe keeps
rem         each patch's originals in UpdateBackup\Patch<number>, which
rem         the staging below would replace
rem   1618  the patch folder is in use, most likely by a run of qlpatch.exe
rem         started from it, or the log was taken by another program just
rem         as the tool was to start: try again later
setlocal EnableExtensions DisableDelayedExpansion
rem Each step is checked with "if errorlevel" on the next line, not with
rem "||": Wine's cmd, where the tests run this file, runs what follows "||"
rem even after a success.

rem One folder per patch: set the same name in uninstall.cmd, detect.ps1
rem and detect.vbs.
set "PATCH_FOLDER=QlPatch03"
if /i "%PATCH_FOLDER:~0,5%"=="Patch" exit /b 1603

set "system=%SystemRoot%\System32"
set "source=%~dp0"
if not exist "%source%qlpatch.exe" exit /b 1603
if not exist "%source%patchql58302.dat" exit /b 1603
rem detect.vbs holds the one check of who may change a folder, the one the
rem detection runs; asked with /adminsonly it ends with 544 only for yes.
if not exist "%source%detect.vbs" exit /b 1603

rem The install folder, as the product's installer wrote it: HKLM, the
rem 32-bit view (the product and qlpatch.exe are 32-bit programs). Only a
rem local folder (X:\...) that is there is used. reg.exe's output reaches
rem "for /f" through the console code page: UTF-8 (65001) while it is read,
rem so that a name outside the OEM code page comes back whole.
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
if not exist "%product%\" exit /b 1603

rem The backup folder is qlpatch.exe's own: made here, it gets the rights
rem qlpatch.exe gives it, not the install folder's (which users may be
rem allowed to change). One that users may change, qlpatch.exe refuses (25).
set "backup=%product%\UpdateBackup"
set "target=%backup%\%PATCH_FOLDER%"
set "log=%backup%\%PATCH_FOLDER%-install.log"
rem A link (a junction a user made before the folder was) would take
rem every step below wherever it points: nothing is done.
set "attributes=-"
for %%a in ("%backup%") do set "attributes=-%%~aa"
if not "%attributes:l=%"=="%attributes%" exit /b 1603
if not exist "%backup%\" goto new_backup
rem One that is there may have been made by a user before any install (the
rem install folder may let users create folders): its owner could swap the
rem staged folder between the compare and the run. It is used only when
rem only SYSTEM and Administrators may change it, as the detection asks.
rem Otherwise nothing is written in it, not even a log line (a log file in
rem it may be a user's link to any file): the exit code is all there is.
goto check_backup
:new_backup
mkdir "%backup%"
if errorlevel 1 exit /b 1603
rem /l: should a user have put a link in its place since the mkdir, the
rem rights are set on that link, never on where it points.
"%system%\icacls.exe" "%backup%" /l /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX >nul
if errorlevel 1 exit /b 1603
rem Until that icacls it had the install folder's rights: anything in it
rem came in then, from whoever, and the folder is not used (no log line
rem either). The names are listed from inside it, so that no path is put
rem on the command line of the cmd that "for /f" starts, which would read
rem its %% signs again; eol=: as no name holds a colon.
pushd "%backup%"
if errorlevel 1 exit /b 1603
set "found="
for /f "eol=: delims=" %%f in ('dir /a /b 2^>nul') do set "found=%%f"
popd
if defined found exit /b 1603
rem And it must still be the folder made here: until the icacls a user
rem allowed to change the install folder could rename it away and put a
rem folder of their own, or a link, in its place. The owner and the rights
rem are asked as for one that was there already.
:check_backup
"%system%\cscript.exe" //nologo //B "%source%detect.vbs" /adminsonly "%backup%"
if not "%errorlevel%"=="544" exit /b 1603
rem The errorlevel back to 0 for the steps below, which read it.
(call )
>>"%log%" echo %date% %time% install.cmd: patch %PATCH_FOLDER% from "%source%"

rem A folder left by an earlier install is moved aside in one step and then
rem removed, so a run still using it never sees it half deleted.
if exist "%target%.old\" rd /s /q "%target%.old"
if exist "%target%.old" goto cannot_place
if not exist "%target%\" goto moved_aside
ren "%target%" "%PATCH_FOLDER%.old"
if errorlevel 1 goto in_use
rd /s /q "%target%.old"
:moved_aside
if exist "%target%" goto cannot_place

rem The elevated tool runs from this folder and loads its DLLs from it:
rem only SYSTEM and Administrators may write to it, whatever the install
rem folder allows. Anything found in it once that ACL is set came in
rem before it was: the folder is not used.
mkdir "%target%"
if errorlevel 1 goto cannot_place
"%system%\icacls.exe" "%target%" /l /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX >nul
if errorlevel 1 goto cannot_place
pushd "%target%"
if errorlevel 1 goto cannot_place
set "found="
for /f "eol=: delims=" %%f in ('dir /a /b 2^>nul') do set "found=%%f"
popd
if defined found goto cannot_place
"%system%\xcopy.exe" "%source%*" "%target%\" /e /i /q /y /h /r >nul
if errorlevel 1 goto cannot_place

rem Each staged file, in the package folder and in its direct subfolders,
rem hidden and system files too (xcopy /h copies them), is compared with
rem the package's, its size and then byte for byte: a copy cut short or
rem changed on its way is never run. The names are listed by "dir /a" from
rem inside each folder, as above, and never go through a command line; the
rem subfolder's name reaches :compare_folder in a variable, not on the call
rem line, which would read its %% signs again too. A name outside the OEM
rem code page comes back from dir with "?" in it: that file is taken to
rem differ.
set "differs="
pushd "%source%"
if errorlevel 1 goto cannot_place
set "sub="
call :compare_folder
for /f "eol=: delims=" %%d in ('dir /ad /b 2^>nul') do (
  set "sub=%%d\"
  call :compare_folder
)
popd
if defined differs goto staged_differs

rem qlpatch.exe reads its description file from the current folder.
cd /d "%target%"
if errorlevel 1 goto cannot_place
rem A command whose redirection fails is not run, and the errorlevel stays
rem as it was. A log that cannot be opened (another program holding it)
rem would keep the tool from starting at all: the set tells, and the tool
rem then runs without it, its run log keeps what it did. Should the log be
rem taken between that look and the run, the run's errorlevel is still the
rem 1618 set just before it: try again, never a success with nothing run.
set "logged="
>>"%log%" set "logged=1"
if not defined logged goto run_without_log
call :set_errorlevel 1618
"%target%\qlpatch.exe" >>"%log%" 2>&1
set "code=%errorlevel%"
>>"%log%" echo %date% %time% install.cmd: qlpatch.exe ended with %code%
exit /b %code%

:run_without_log
"%target%\qlpatch.exe" >nul 2>&1
exit /b %errorlevel%

:cannot_place
>>"%log%" echo %date% %time% install.cmd: "%target%" could not be put in place; nothing was run
exit /b 1603

:staged_differs
>>"%log%" echo %date% %time% install.cmd: the staged copy of "%differs%" differs from it; nothing was run
exit /b 1603

:in_use
>>"%log%" echo %date% %time% install.cmd: "%target%" is in use; nothing was run
exit /b 1618

rem Sets the errorlevel to %1.
:set_errorlevel
exit /b %1

rem Compares each file in "%source%%sub%" with its staged copy in
rem "%target%\%sub%", and sets differs to the package file's path when they
rem differ or the copy is not there.
:compare_folder
pushd "%source%%sub%"
if not errorlevel 1 goto compare_files
set "differs=%source%%sub%"
goto :eof
:compare_files
for /f "eol=: delims=" %%f in ('dir /a-d /b 2^>nul') do (
  set "name=%%f"
  set "size=%%~zf"
  call :compare_file
)
popd
goto :eof

rem The file "name" of "size" bytes: the copy's size is read from the
rem staged folder's listing, from inside it, then both are compared byte
rem for byte.
:compare_file
set "unmatched=yes"
pushd "%target%\%sub%"
if errorlevel 1 goto compared
for /f "eol=: delims=" %%t in ('dir /a-d /b 2^>nul') do if /i "%%t"=="%name%" if "%%~zt"=="%size%" set "unmatched="
popd
:compared
if defined unmatched set "differs=%source%%sub%%name%"
"%system%\fc.exe" /b "%source%%sub%%name%" "%target%\%sub%%name%" >nul 2>&1
if errorlevel 1 set "differs=%source%%sub%%name%"
goto :eof
