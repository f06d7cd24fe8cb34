@echo off
rem Runs the Windows tests on a Windows computer, as an administrator (the tests install and
rem remove services and write below HKEY_LOCAL_MACHINE). Copy into one folder, beside this
rem script, the programs of a win32 (or win64) build:
rem   tests\win32\win_*_tests.exe, tests\win32\echo_args.exe, tests\win32\scm_win32_test_service.exe,
rem   service\ZantorSvc.exe, console\cli\zadmin.exe, tools\zreg.exe, bench\win32\win_pipe_bench.exe
rem and run this script from an elevated command prompt. It ends with the number of suites that
rem failed as its exit code.
setlocal
set ZANTOR_TEST_PROGRAMS=%~dp0
if "%ZANTOR_TEST_PROGRAMS:~-1%"=="\" set ZANTOR_TEST_PROGRAMS=%ZANTOR_TEST_PROGRAMS:~0,-1%
set failed=0
for %%t in (win_shared_tests win_engine_tests win_platform_tests win_service_tests) do (
  echo === %%t
  "%ZANTOR_TEST_PROGRAMS%\%%t.exe" || set /a failed+=1
)
echo === the pipe benchmark
"%ZANTOR_TEST_PROGRAMS%\win_pipe_bench.exe"
echo %failed% suite(s) failed.
exit /b %failed%
