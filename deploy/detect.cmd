@echo off
rem Writes "repaired" when the latest run of vadrel.exe ended with 0 (repaired) or
rem 2 (already repaired), and nothing otherwise. Reads the 64-bit registry view,
rem also when run by a 32-bit program.
setlocal
set code=
for /f "tokens=1,3" %%a in ('reg query HKLM\Software\Kestrova\Vadrel /v code /reg:64 2^>nul') do if /i "%%a"=="code" set code=%%b
if /i "%code%"=="0x0" echo repaired
if /i "%code%"=="0x2" echo repaired
exit /b 0
