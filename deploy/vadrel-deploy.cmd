@echo off
rem Runs vadrel.exe /s from this folder and returns its exit code, except that a
rem repair Windows needs a restart for (exit code 0, registry value status 638)
rem returns 3010, the code management tools take for "success, restart required".
setlocal
"%~dp0vadrel.exe" /s
set rc=%ERRORLEVEL%
if not "%rc%"=="0" exit /b %rc%
set status=
for /f "tokens=1,3" %%a in ('reg query HKLM\Software\Kestrova\Vadrel /v status /reg:64 2^>nul') do if /i "%%a"=="status" set status=%%b
if /i "%status%"=="0x27e" exit /b 3010
exit /b 0
