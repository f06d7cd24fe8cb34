@echo off
rem Runs the Windows tests on a Windows computer, as an administrator (the tests install and
rem remove services and write below HKEY_LOCAL_MACHINE). Copy into one folder, beside this
rem script, the programs of a win32 (or win64) build:
rem   tests\win32\win_*_tests.exe, tests\win32\echo_args.exe, tests\win32\scm_test_service.exe,
rem   service\ZantorSvc.exe, console\cli\zadmin.exe, console\win32\ZantorManager.exe,
rem   tools\zreg.exe, bench\win32\win_pipe_bench.exe, bench\win32\win_console_bench.exe
rem and run this script from an elevated command prompt, in a session with a desktop (the console
rem tests drive its windows; leave keyboard and mouse alone while they run). The pictures of the
rem console's windows go into the folder's screenshots\. It ends with the number of suites that
rem failed as its exit code.
setlocal
set ZANTOR_TEST_PROGRAMS=%~dp0
if "%ZANTOR_TEST_PROGRAMS:~-1%"=="\" set ZANTOR_TEST_PROGRAMS=%ZANTOR_TEST_PROGRAMS:~0,-1%
set ZANTOR_SCREENSHOTS=%ZANTOR_TEST_PROGRAMS%\screenshots
set failed=0
for %%t in (win_shared_tests win_engine_tests win_platform_tests win_service_tests win_console_tests) do (
  echo === %%t
  "%ZANTOR_TEST_PROGRAMS%\%%t.exe" || set /a failed+=1
)
echo === the benchmarks
"%ZANTOR_TEST_PROGRAMS%\win_pipe_bench.exe"
"%ZANTOR_TEST_PROGRAMS%\win_console_bench.exe"
echo %failed% suite(s) failed.
exit /b %failed%
