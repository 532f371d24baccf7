#!/usr/bin/env bash
# The installer under Wine: a silent installation ("/S", as the update check starts it) puts the
# programs into Program Files, and the installed program starts and shows its main window.
#   installer_installs_under_wine.sh <installer.exe> <output folder>
set -euo pipefail

installer="$1"
output="$2"
here="$(cd "$(dirname "$0")" && pwd)"
runner="$here/../../scripts/wine_run.sh"
export WINEPREFIX="$NIMBARA_WINE_PREFIX"
[ -f "$installer" ] || { echo "no installer at $installer (scripts/build.sh windows makes it)"; exit 1; }

target="$WINEPREFIX/drive_c/Program Files/NIMBARA"
"$runner" cmd /c exit 0 >/dev/null 2>&1 || true
if [ -x "$target/uninstall.exe" ]; then
    "$runner" "$target/uninstall.exe" /S _?="C:\\Program Files\\NIMBARA" >/dev/null 2>&1 || true
fi
rm -rf "$target"
timeout 300 "$runner" "$installer" /S
for file in nimbara.exe nimbara-ssh-askpass.exe nimbara-xls-reader.exe wfreerdp.exe Qt6Core.dll libfreerdp2.dll \
    platforms/qwindows.dll sqldrivers/qsqlite.dll tls/qschannelbackend.dll uninstall.exe; do
    [ -f "$target/$file" ] || { echo "not installed: $file"; exit 1; }
done
[ ! -e "$target/Qt6Test.dll" ] || { echo "the test library was installed"; exit 1; }
echo "installed: $(du -sb "$target" | cut -f1) bytes in $target"
exec "$here/program_starts_under_wine.sh" "$target/nimbara.exe" "$output"
