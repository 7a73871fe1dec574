@echo off
rem Registers the Quorvalend.dll that lies beside this script, so that a data
rem server can create Quorvalend.QuorvalendPro. Run it as administrator.
rem Running it again is harmless: it registers the same entries once more.
rem Exit status: 0 registered, otherwise regsvr32's code (1 if the DLL is missing).
setlocal EnableExtensions
set "clsid={3BCF6E95-64BA-4383-8BAE-10972F2F5D9E}"
set "dll=%~dp0Quorvalend.dll"

if exist "%dll%" goto :have_dll
echo Quorvalend.dll is not in %~dp0
echo Nothing was registered. Unpack the whole release into one folder and run
echo install.cmd from there.
exit /b 1
:have_dll

rem 64-bit Windows keeps a 32-bit component's registration in the 32-bit view
rem of the registry, which only the 32-bit regsvr32 (in SysWOW64) writes and
rem which reg.exe reaches with /reg:32. A 32-bit system has no SysWOW64.
set "regsvr32=%SystemRoot%\System32\regsvr32.exe"
set "view="
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" (
  set "regsvr32=%SystemRoot%\SysWOW64\regsvr32.exe"
  set "view=/reg:32"
)

"%regsvr32%" /s "%dll%"
set "result=%errorlevel%"
if "%result%"=="0" goto :registered
if "%result%"=="3" goto :load_failed
if "%result%"=="4" goto :no_entry
if "%result%"=="5" goto :refused
echo Registration failed: regsvr32 ended with code %result% for
echo   %dll%
exit /b %result%

:load_failed
echo Registration failed: Windows could not load
echo   %dll%
echo The file may be damaged or incomplete: unpack the release again.
exit /b 3

:no_entry
echo Registration failed: this Quorvalend.dll has no registration entry point:
echo   %dll%
echo It is not a Quorvalend driver: unpack the release again.
exit /b 4

:refused
echo Registration failed: the registry refused Quorvalend's entries under
echo HKEY_CLASSES_ROOT (SELFREG_E_CLASS). This needs administrator rights:
echo run install.cmd from a command prompt started as administrator.
exit /b 5

:registered
set "server="
for /f "skip=1 delims=" %%L in ('reg query "HKCR\CLSID\%clsid%\InProcServer32" /ve %view% 2^>nul') do set "server=%%L"
if defined server set "server=%server:*REG_=%"
if defined server for /f "tokens=1,* delims= " %%A in ("%server%") do set "server=%%B"
echo Registered Quorvalend.QuorvalendPro (class %clsid%):
echo   %dll%
if defined server echo The registry names it as %server%
echo A data server can now create the driver. uninstall.cmd in this folder
echo removes the registration again.
exit /b 0
