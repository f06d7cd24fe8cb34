# Wine as the Windows tests run it; sourced by the scripts that start Wine. Its own messages are
# off, as are the Mono and Gecko installers (not in Debian main) and its debugger: with the
# debugger on, a crash can end with status 0 and pass for success.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64
# Debian's Wine has no preloader, so the low addresses every Windows process needs (the shared
# user data at 0x7ffe0000) are claimed only after Linux has laid the loader out; its heap starts
# at a random distance above the loader at 0x7d000000, and now and then a process finds that page
# taken and ends at once with exit code 1 and nothing on its output ("failed to map the shared
# user data", which WINEDEBUG=-all keeps quiet). Without address randomization the layout is the
# same every time, and every process, its children included, starts.
wine=(setarch "$(uname -m)" -R /usr/lib/wine/wine64)
server=/usr/lib/wine/wineserver
