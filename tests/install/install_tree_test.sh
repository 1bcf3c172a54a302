#!/usr/bin/env bash
# cmake --install into a scratch prefix: every program, menu entry, icon,
# AppStream file, manual page and the completion are there, and the
# validators accept them.
#   install_tree_test.sh BUILD_DIR PROGRAM...
set -euo pipefail
build=$1
shift
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

for p in "$@"; do
  [ -x "$prefix/bin/$p" ] || fail "bin/$p missing"
done
"$prefix/bin/tessera" --version | grep -qx "tessera [0-9.]*" || fail "installed tessera --version"
# The SQLite extension, found by its short name in the library folder.
lib=$(find "$prefix" -name libtessera_sqlite.so)
[ -n "$lib" ] || fail "libtessera_sqlite.so missing"
if command -v sqlite3 >/dev/null; then
  got=$(LD_LIBRARY_PATH=$(dirname "$lib") sqlite3 :memory: ".load libtessera_sqlite" \
        "CREATE VIRTUAL TABLE t USING tessera('missing.dbf')" 2>&1) && fail "a missing table was opened"
  grep -q "missing.dbf" <<<"$got" || fail "the installed extension did not load: $got"
fi

share=$prefix/share
files=(
  applications/org.pyxcdx.pyxcdx.desktop
  applications/org.pyxcdx.callscope.desktop
  icons/hicolor/scalable/apps/org.pyxcdx.pyxcdx.svg
  icons/hicolor/scalable/apps/org.pyxcdx.callscope.svg
  metainfo/org.pyxcdx.pyxcdx.metainfo.xml
  metainfo/org.pyxcdx.callscope.metainfo.xml
  man/man1/tessera.1.gz
  man/man1/pyxcdx.1.gz
  man/man1/callscope.1.gz
  man/man1/pyx-sample.1.gz
  man/man1/sorrel-sim.1.gz
  bash-completion/completions/tessera
  doc/pyxcdx/copyright
  doc/pyxcdx/README.md
)
for f in "${files[@]}"; do
  [ -s "$share/$f" ] || fail "share/$f missing"
done

desktop-file-validate "$share"/applications/*.desktop || fail "desktop-file-validate"
appstreamcli validate --no-net "$share"/metainfo/*.xml >/dev/null || fail "appstreamcli validate"
for page in "$share"/man/man1/*.1.gz; do
  # Every page renders without complaints from the formatter.
  out=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man -l $page"
  [ -z "$out" ] || fail "man -l $page: $out"
  name=$(basename "$page" .1.gz)
  MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^NAME" || fail "$page has no NAME section"
  MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^ *$name - " || fail "$page does not name $name"
done
for svg in "$share"/icons/hicolor/scalable/apps/*.svg; do
  python3 -c 'import sys, xml.etree.ElementTree as E; r = E.parse(sys.argv[1]).getroot(); sys.exit(r.tag != "{http://www.w3.org/2000/svg}svg")' "$svg" ||
    fail "$svg is not an SVG image"
done
# Each desktop entry's icon and program are installed.
for entry in "$share"/applications/*.desktop; do
  icon=$(sed -n 's/^Icon=//p' "$entry")
  [ -f "$share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "$entry: icon $icon not installed"
  exe=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
  if printf '%s\n' "$@" | grep -qx "$exe"; then
    [ -x "$prefix/bin/$exe" ] || fail "$entry: $exe not installed"
  fi
done
# The completion offers tessera's commands and a command's options.
if [ -f /usr/share/bash-completion/bash_completion ]; then
  got=$(PATH="$prefix/bin:$PATH" bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    # As bash sets them for the line typed so far, the cursor at its end.
    complete_line() {
      COMP_LINE=$1; COMP_POINT=${#1}; read -ra COMP_WORDS <<<"$1"; COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      COMPREPLY=(); _tessera; echo "${COMPREPLY[*]}"
    }
    complete_line "tessera in"
    complete_line "tessera dump --c"
    complete_line "tessera re"
    complete_line "tessera check --q"
    complete_line "tessera dump --codepage 125"' _ "$share/bash-completion/completions/tessera")
  [ "$got" = $'index info
--codepage --csv
recall reindex
--quick
1250 1251 1252' ] || fail "completion gave: $got"
fi
echo "install tree complete"
