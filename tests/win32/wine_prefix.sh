#!/usr/bin/env bash
# Makes PREFIX a Wine prefix ready for the Windows tests, the console's windows included:
#   wine_prefix.sh PREFIX
# It is booted (when it is not yet), and then, once:
# - Wine's own fonts (Debian's fonts-wine: Tahoma behind "MS Shell Dlg", Marlett for the caption
#   buttons) go into its Fonts folder. Wine 8 as Debian builds it does not look for them where the
#   package puts them; without them every window falls back to a wider font, list headers are cut
#   and caption buttons show letters.
# - Its windows are unmanaged (HKCU\Software\Wine\X11 Driver, Managed=N). On a virtual display no
#   window manager runs: managed windows get no frame, and every hide of one stalls two seconds.
set -euo pipefail
prefix=$1
export WINEPREFIX=$prefix
. "$(dirname "$0")/wine_env.sh"
marker=$prefix/.zantor-windows-ready
[ -f "$marker" ] && exit 0
if [ ! -f "$prefix/system.reg" ]; then
  "${wine[@]}" wineboot -i >/dev/null 2>&1
fi
"${wine[@]}" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
"$server" -w
fonts=$prefix/drive_c/windows/Fonts
mkdir -p "$fonts"
if compgen -G "/usr/share/wine/fonts/*" >/dev/null; then
  cp /usr/share/wine/fonts/* "$fonts/"
else
  echo "wine_prefix.sh: Wine's fonts are missing (package fonts-wine): windows will be drawn" \
       "in a fallback font" >&2
fi
touch "$marker"
