@echo off
rem kivpoll with the runtime stand-in of this kit as its host.
setlocal
set "PATH=%~dp0test-stand-in;%PATH%"
"%~dp0kivpoll.exe" %*
