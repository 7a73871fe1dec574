@echo off
rem Removes the registration install.cmd made: the five entries registration
rem writes, and only when the registered class names the Quorvalend.dll in
rem this folder. Keys that also hold another program's entries keep those
rem entries; only Quorvalend's default values are taken out of them.
rem Exit status: 0 removed (or nothing was registered), 1 the class belongs
rem to another folder's DLL (nothing removed), 2 a removal was refused.
setlocal EnableExtensions EnableDelayedExpansion
set "clsid={3BCF6E95-64BA-4383-8BAE-10972F2F5D9E}"
set "progid=Quorvalend.QuorvalendPro"
set "class=HKCR\CLSID\%clsid%"
set "dll=%~dp0Quorvalend.dll"
set "failed=0"

rem On 64-bit Windows the 32-bit component's entries are in the registry's
rem 32-bit view, which a 64-bit reg.exe reaches only with /reg:32.
set "view="
if exist "%SystemRoot%\SysWOW64\" set "view=/reg:32"

call :read_default "%class%\InProcServer32"
set "server=!value!"
if not defined server (
  echo Quorvalend.QuorvalendPro is not registered: nothing to remove.
  exit /b 0
)
call :names_this_dll
if "!same!"=="0" (
  echo Quorvalend.QuorvalendPro is registered to
  echo   !server!
  echo which is not the DLL in this folder:
  echo   !dll!
  echo Nothing was removed. Run the uninstall.cmd beside that DLL instead.
  exit /b 1
)

echo Removing the registration of
echo   !dll!
call :remove "%class%\InProcServer32"
call :remove "%class%\ProgID"
call :remove "%class%"
call :read_default "HKCR\%progid%\CLSID"
if /i "!value!"=="%clsid%" (
  call :remove "HKCR\%progid%\CLSID"
  call :remove "HKCR\%progid%"
) else if defined value (
  echo kept     HKCR\%progid%: its CLSID names !value!, another class
)
if "!failed!"=="1" (
  echo Some entries could not be removed: run uninstall.cmd as administrator.
  exit /b 2
)
echo Quorvalend.QuorvalendPro is no longer registered.
exit /b 0

rem ---- read_default KEY: sets value to KEY's default value, empty if none.
:read_default
set "value="
set "line="
for /f "skip=1 delims=" %%L in ('reg query "%~1" /ve %view% 2^>nul') do set "line=%%L"
if not defined line goto :eof
rem A default value that is not set is shown by /ve with a placeholder text
rem (in the system's language), but not in the key's full listing.
set "isset=0"
for /f "delims=" %%L in ('reg query "%~1" %view% 2^>nul') do (
  set "candidate=%%L"
  if "!candidate!"=="!line!" set "isset=1"
)
if "!isset!"=="0" goto :eof
rem The line reads "    (Default)    REG_SZ    text", its first word localised.
set "line=%line:*REG_=%"
for /f "tokens=1,* delims= " %%A in ("%line%") do set "value=%%B"
goto :eof

rem ---- names_this_dll: sets same=1 when server names this folder's DLL.
rem The registered path may be the short form of the path (registration
rem writes what GetShortPathName gives) or the long one; cmd's own short
rem form of a file name is not always the one the registry holds, so the
rem folder is compared in both forms and the file by name or, failing that,
rem by size and time stamp.
:names_this_dll
set "same=0"
for %%I in ("%server%") do (
  set "reg_dir=%%~dpI"
  set "reg_short_dir=%%~dpsI"
  set "reg_name=%%~nxI"
  set "reg_stamp=%%~zI %%~tI"
  if not exist "%%~I" set "reg_stamp=missing"
)
for %%I in ("%dll%") do (
  set "my_dir=%%~dpI"
  set "my_short_dir=%%~dpsI"
  set "my_name=%%~nxI"
  set "my_short_name=%%~snxI"
  set "my_stamp=%%~zI %%~tI"
)
set "same_dir=0"
if /i "!reg_dir!"=="!my_dir!" set "same_dir=1"
if /i "!reg_dir!"=="!my_short_dir!" set "same_dir=1"
if /i "!reg_short_dir!"=="!my_short_dir!" set "same_dir=1"
if "!same_dir!"=="0" goto :eof
if /i "!reg_name!"=="!my_name!" set "same=1"
if /i "!reg_name!"=="!my_short_name!" set "same=1"
if "!reg_stamp!"=="!my_stamp!" set "same=1"
goto :eof

rem ---- remove KEY: deletes KEY's default value, then KEY itself if that
rem left it empty; a key holding anything else stays.
:remove
reg query "%~1" %view% >nul 2>&1
if errorlevel 1 goto :eof
call :read_default "%~1"
set "old=!value!"
reg delete "%~1" /ve /f %view% >nul 2>&1
set "lines=0"
for /f "delims=" %%L in ('reg query "%~1" %view% 2^>nul') do set /a lines+=1
if !lines! GTR 1 (
  echo kept     %~1: it holds other programs' entries; removed only its value !old!
  goto :eof
)
reg delete "%~1" /f %view% >nul 2>&1
reg query "%~1" %view% >nul 2>&1
if errorlevel 1 (
  echo removed  %~1 = !old!
  goto :eof
)
echo FAILED   %~1 could not be removed
set "failed=1"
goto :eof
