#!/usr/bin/env bash
# Builds the release launcher again from a copy of the source tree in another folder, and checks
# that it has the same bytes as out/i686/VESK.exe, the one ./run build made.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
built="$root/out/i686/VESK.exe"
[ -f "$built" ] || { echo "no $built: build the win32 preset first" >&2; exit 1; }
copy=$(mktemp -d "${TMPDIR:-/tmp}/vesk-rebuild-XXXXXX")
trap 'rm -rf "$copy"' EXIT
tar -C "$root" --exclude=./out --exclude=./.git -cf - . | tar -C "$copy" -xf -
cd "$copy"
cmake --preset win32 >/dev/null
cmake --build out/i686 --target VESK >/dev/null
if ! cmp "$built" out/i686/VESK.exe; then
    cmp -l "$built" out/i686/VESK.exe | head -n 20 >&2  # offset (from 1), the two bytes in octal
    exit 1
fi
echo "$built: the same bytes when built in $copy"
