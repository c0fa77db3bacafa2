#!/bin/sh
# A clean build of the executable and its diagnostic build from a copy of the sources (no
# git checkout: the date comes from SOURCE_DATE_EPOCH), in another folder, gives the same
# bytes as the build that took the commit's date from git; and that date is the one in the
# file.  usage: reproducible.sh SOURCE_DIR BUILT_EXE BUILT_DIAGNOSTIC_EXE WORK_DIR
set -e
rm -rf "$4" && mkdir -p "$4/copy of the sources"
src=$(cd "$1" && pwd) work=$(cd "$4" && pwd)
epoch=$(git -C "$src" log -1 --format=%ct)
(cd "$src" && git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$work/copy of the sources")
export SOURCE_DATE_EPOCH="$epoch" GIT_DIR=/nonexistent
{ cmake -S "$work/copy of the sources" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" &&
  cmake --build "$work/build" -j2 --target vadrel vadrel_diagnostic; } >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
sha256sum "$2" "$work/build/vadrel.exe" "$3" "$work/build/diagnostic/vadrel.exe"
cmp "$2" "$work/build/vadrel.exe"
cmp "$3" "$work/build/diagnostic/vadrel.exe"
stamp=$(LC_ALL=C date -u -d "@$epoch" '+%b %e %Y %T')
LC_ALL=C grep -qa "${stamp% *}" "$2" && LC_ALL=C grep -qa "${stamp##* }" "$2" ||
  { echo "vadrel.exe lacks the commit's date and time: $stamp"; exit 1; }
echo "same bytes; built on $stamp"
