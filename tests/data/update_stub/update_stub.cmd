@echo off
rem A stand-in for a game's update tool, for the tests of game updates (never installed).
rem   update_stub.cmd MODE LOG [FILE TEXT]
rem Appends "update MODE FOLDER" to LOG, writes TEXT to FILE when given (the stand-in server's new
rem version, say), then per MODE: ok exits 0, available exits 10 (an update check that finds
rem one), fail exits 3, hang runs until it is ended, with a process of its own beside it.
setlocal
set "mode=%~1"
>>"%~2" echo update %mode% %CD%
if not "%~3"=="" >"%~3" echo %~4
if /i "%mode%"=="ok" exit /b 0
if /i "%mode%"=="available" exit /b 10
if /i "%mode%"=="fail" (echo update failed 1>&2& exit /b 3)
if /i "%mode%"=="hang" goto hang
echo unknown mode: %mode% 1>&2
exit /b 2
:hang
rem ping waits about a second between its tries; the loop holds should it return early.
start /b "" cmd /c ping -n 600 127.0.0.1 ^>nul
:wait
ping -n 2 127.0.0.1 >nul
goto wait
