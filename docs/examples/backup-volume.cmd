@echo off
rem Backs up the container file of an encrypted volume. The volume is ejected
rem first, so that the copy is taken of a closed, consistent container.
rem
rem   backup-volume.cmd CONTAINER BACKUP-FOLDER
rem   backup-volume.cmd "C:\vols\private.hc" "E:\Backup"
rem
rem Keep this file in the folder of Quenbrax.exe. It ends with exit code 0
rem when the backup was made, and with 1 when it was not.
setlocal
set "CONTAINER=%~1"
set "BACKUP=%~2"
if "%BACKUP%"=="" (
    echo Usage: %~nx0 CONTAINER BACKUP-FOLDER
    exit /b 1
)

rem The container's path names the volume, whatever drive letter it has.
"%~dp0Quenbrax.exe" "%CONTAINER%" -na
set "CODE=%errorlevel%"

rem Exact codes: "if errorlevel 3" would also hold for 9009 (cmd found no
rem Quenbrax.exe) and would not hold for the negative code of a crash.
if "%CODE%"=="0" goto ejected
if "%CODE%"=="1" goto ejected
if "%CODE%"=="3" goto busy
if "%CODE%"=="5" goto notmounted
echo Quenbrax did not run as expected (exit code %CODE%): no backup.
exit /b 1

:ejected
rem 0: ejected; 1: ejected by force (only with -f).
echo The volume is ejected.
goto backup

:notmounted
rem 5: no mounted volume has this container: it is closed already.
echo The volume is not mounted.
goto backup

:busy
rem 3: files on the volume are open, or the eject was cancelled.
echo The volume is in use: close the programs that use it, then try again.
exit /b 1

:backup
copy /b /y "%CONTAINER%" "%BACKUP%\" >nul
if errorlevel 1 goto copyfailed
echo Backed up to %BACKUP%.
exit /b 0

:copyfailed
echo The copy failed: no backup.
exit /b 1
