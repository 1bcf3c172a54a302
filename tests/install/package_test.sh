#!/usr/bin/env bash
# The Debian package: built with cpack, its dependencies found by
# dpkg-shlibdeps, unpacked into a scratch root where the programs run, and
# accepted by lintian without errors.
#   package_test.sh BUILD_DIR PROGRAM...
set -euo pipefail
build=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >cpack.log 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/pyxcdx_*.deb)
echo "package: $(basename "$deb")"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
grep -q "libc6" <<<"$depends" || fail "no libc6 among the dependencies"
if printf '%s\n' "$@" | grep -qx callscope; then
  grep -q "libqt6webenginewidgets6" <<<"$depends" || fail "Callscope's browser library is not a dependency"
fi

root=$work/root
dpkg -x "$deb" "$root"
for p in "$@"; do
  [ -x "$root/usr/bin/$p" ] || fail "usr/bin/$p not in the package"
done
"$root/usr/bin/tessera" --version | grep -qx "tessera [0-9.]*" || fail "packaged tessera --version"
[ -f "$root/usr/lib/libtessera_sqlite.so" ] || fail "usr/lib/libtessera_sqlite.so not in the package"
if command -v sqlite3 >/dev/null; then
  LD_LIBRARY_PATH=$root/usr/lib sqlite3 :memory: ".load libtessera_sqlite" "SELECT 1" >/dev/null ||
    fail "the packaged extension does not load by its short name"
fi
if [ -x "$root/usr/bin/pyxcdx" ]; then
  "$root/usr/bin/pyxcdx" --help | grep -q "pyxcdx" || fail "packaged pyxcdx --help"
else
  echo "pyxcdx is not built in this tree: its run is skipped"
fi
for f in usr/share/applications/org.pyxcdx.pyxcdx.desktop usr/share/man/man1/tessera.1.gz usr/share/doc/pyxcdx/copyright; do
  [ -f "$root/$f" ] || fail "$f not in the package"
done

if command -v lintian >/dev/null; then
  # lintian must not run as root for some checks; it only reads the file.
  lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
  cat "$work/lintian.log"
  if grep -q "^E: " "$work/lintian.log"; then fail "lintian found errors"; fi
else
  fail "lintian is not installed (scripts/setup installs it)"
fi
echo "package sound"
