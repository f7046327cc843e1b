#!/usr/bin/env bash
# Builds the Debian package in a configured release build directory and checks
# what it ships: exactly the executable and its documentation, root-owned, with
# a copyright file that says what LICENSE says; the packaged executable runs;
# the manual page renders without a warning; lintian finds no error. Then
# checks that a plain cmake --install ships the same files less Debian's own.
#   tests/package/check-package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
    echo "check-package: $*" >&2
    exit 1
}

# Lists the files (not directories) under $1, relative to it, sorted.
files_under() {
    (cd "$1" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/quorbel_${version}_$(dpkg --print-architecture).deb
rm -f "$build"/quorbel_*.deb
(cd "$build" && cpack -G DEB >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack failed"; }
[ -f "$deb" ] || fail "cpack did not make $deb"
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"

# What is in the package, and who owns it.
dpkg-deb -x "$deb" "$tmp/root"
files_under "$tmp/root" >"$tmp/deb-files"
diff -u - "$tmp/deb-files" <<'EOF' || fail "the package holds other files than expected"
usr/bin/quorbel
usr/share/doc/quorbel/README.md
usr/share/doc/quorbel/changelog.gz
usr/share/doc/quorbel/copyright
usr/share/man/man1/quorbel.1.gz
EOF
dpkg-deb --fsys-tarfile "$deb" | tar -tvf - | awk '$2 != "root/root" { bad = 1; print } END { exit bad }' ||
    fail "entries above are not owned by root/root"

# Debian's copyright file carries LICENSE word for word (" ." lines are blank).
sed -n '/^License: proprietary$/,$p' "$tmp/root/usr/share/doc/quorbel/copyright" | tail -n +2 |
    sed 's/^ //; s/^\.$//' | diff -u "$source/LICENSE" - || fail "the copyright file's licence differs from LICENSE"

# The packaged executable runs, and says what the freshly built one says.
expected=$("$build/quorbel" list)
actual=$("$tmp/root/usr/bin/quorbel" list) || fail "the packaged quorbel list failed"
[ "$actual" = "$expected" ] || fail "packaged 'list' printed '$actual', expected '$expected'"
awk -F'\t' 'NR > 1 || $1 != "DEVICE" || NF != 8 { exit 1 }' <<<"$actual" ||
    fail "'list' printed no single 8-field DEVICE line: '$actual'"

# man reports troff's warnings on stderr but still exits 0, so stderr is what
# counts. A broken page first, to be sure this man does report them.
render() {
    LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l "$1" >"$tmp/man.out" 2>"$tmp/man.err"
}
printf '.TH BROKEN 1\n.SH NAME\nbroken \\- page\n.NOSUCHMACRO\n' >"$tmp/broken.1"
render "$tmp/broken.1"
[ -s "$tmp/man.err" ] || fail "man reported no warning on a broken page, so it cannot vouch for ours"
render "$tmp/root/usr/share/man/man1/quorbel.1.gz" || fail "man could not render quorbel(1)"
[ ! -s "$tmp/man.err" ] || { cat "$tmp/man.err"; fail "quorbel(1) renders with warnings"; }
grep -q '^OUTPUT PROTOCOL$' "$tmp/man.out" || fail "quorbel(1) rendered without its OUTPUT PROTOCOL section"

# Lintian's exit status is 2 on an error tag; its warnings are shown but pass.
lintian --fail-on error "$deb" || fail "lintian found errors"

# A plain install: the package's files, with LICENSE in place of Debian's own.
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
files_under "$tmp/prefix" >"$tmp/install-files"
diff -u - "$tmp/install-files" <<'EOF' || fail "cmake --install installs other files than expected"
bin/quorbel
share/doc/quorbel/LICENSE
share/doc/quorbel/README.md
share/man/man1/quorbel.1.gz
EOF

echo "check-package: all checks passed"
