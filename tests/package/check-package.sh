#!/bin/sh
# Builds the Debian packages from an up-to-date build tree, checks their
# contents and fields, installs them into a scratch root with dpkg --root,
# runs the installed programs from there, removes them again, and runs
# lintian when it is installed (errors fail; warnings are printed).
#
#   check-package.sh <build directory>
set -eu

build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/qb-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log"; fail "cpack"; }
daemon=$(ls "$work"/out/quillbright_*.deb)
viewer=$(ls "$work"/out/quillbright-viewer_*.deb 2>/dev/null || true)

# Contents: FHS places under /usr, nothing in /usr/local or outside /usr.
dpkg-deb -c "$daemon" | awk '{print $6}' >"$work/daemon.list"
for path in ./usr/bin/quillbright ./usr/share/man/man1/quillbright.1.gz \
    ./usr/lib/systemd/user/quillbright.service ./usr/share/bash-completion/completions/quillbright \
    ./usr/share/doc/quillbright/copyright ./usr/share/applications/quillbright.desktop \
    ./usr/share/doc/quillbright/changelog.Debian.gz ./usr/share/doc/quillbright/README.md; do
    grep -qx "$path" "$work/daemon.list" || fail "$path missing from $(basename "$daemon")"
done
if grep -v '^\./usr/' "$work/daemon.list" | grep -qv '^\./$'; then fail "files outside /usr"; fi
if grep -q '^\./usr/local' "$work/daemon.list"; then fail "files in /usr/local"; fi

# Fields: Depends come from the linked libraries; adb is recommended only.
depends=$(dpkg-deb -f "$daemon" Depends)
case "$depends" in *libc6*) ;; *) fail "Depends lacks libc6: $depends" ;; esac
case "$depends" in *liblz4*) ;; *) fail "Depends lacks liblz4: $depends" ;; esac
case "$depends" in *adb*) fail "adb must not be a hard dependency: $depends" ;; esac
[ "$(dpkg-deb -f "$daemon" Recommends)" = "adb" ] || fail "Recommends is not adb"
[ "$(dpkg-deb -f "$daemon" Package)" = "quillbright" ] || fail "package name"

# The unit as installed.
dpkg-deb --fsys-tarfile "$daemon" | tar -xOf - ./usr/lib/systemd/user/quillbright.service >"$work/unit"
grep -qx 'Type=notify' "$work/unit" || fail "unit is not Type=notify"
grep -qx 'ExecStart=quillbright start' "$work/unit" || fail "unit ExecStart"
grep -qx 'ExecStop=quillbright stop' "$work/unit" || fail "unit ExecStop"

# KWin lends its screencast and fake input to the program the desktop file's
# Exec names by its absolute path.
dpkg-deb --fsys-tarfile "$daemon" | tar -xOf - ./usr/share/applications/quillbright.desktop >"$work/desktop"
grep -qx 'Exec=/usr/bin/quillbright open' "$work/desktop" || fail "desktop file Exec"
grep -qx 'X-KDE-Wayland-Interfaces=zkde_screencast_unstable_v1,org_kde_kwin_fake_input' "$work/desktop" \
    || fail "desktop file lacks KWin's interfaces"

# Installed into a scratch root: dpkg's own bookkeeping, the programs run
# from there (the libraries are the host's), and removal leaves nothing.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-not-root --log=/dev/null -i "$daemon" $viewer >"$work/dpkg.log" 2>&1 \
    || { cat "$work/dpkg.log"; fail "dpkg -i"; }
dpkg --root="$root" -s quillbright | grep -q '^Status: install ok installed' || fail "not installed"
"$root/usr/bin/quillbright" --version | grep -qx "quillbright $(dpkg-deb -f "$daemon" Version | sed 's/-[^-]*$//')" \
    || fail "--version from the installed program"
"$root/usr/bin/quillbright" help | grep -q '^Usage: quillbright <command>' || fail "help from the installed program"
if [ -n "$viewer" ]; then
    "$root/usr/bin/quillbright-viewer" --help | grep -q '^usage: quillbright-viewer' || fail "viewer --help"
fi
zcat "$root/usr/share/man/man1/quillbright.1.gz" | grep -q '^\.TH QUILLBRIGHT 1' || fail "man page"
# The man page names every command the help lists.
zcat "$root/usr/share/man/man1/quillbright.1.gz" | sed 's/\\-/-/g' | grep -E '^\.BR? ' | tr ' ",' '\n\n\n' >"$work/man.words"
for command in $("$root/usr/bin/quillbright" help | sed -n 's/^  \([a-z][a-z-]*\).*/\1/p'); do
    grep -qx -- "$command" "$work/man.words" || fail "the man page lacks the command $command"
done
if command -v man >/dev/null 2>&1; then
    MANWIDTH=80 man -l "$root/usr/share/man/man1/quillbright.1.gz" 2>"$work/man.err" >/dev/null
    [ ! -s "$work/man.err" ] || { cat "$work/man.err"; fail "man page warnings"; }
fi
dpkg --root="$root" --force-depends --force-not-root --log=/dev/null -r quillbright >>"$work/dpkg.log" 2>&1 \
    || { cat "$work/dpkg.log"; fail "dpkg -r"; }
[ ! -e "$root/usr/bin/quillbright" ] || fail "removal left the program behind"

if command -v lintian >/dev/null 2>&1; then
    lintian --allow-root --tag-display-limit 0 "$daemon" $viewer >"$work/lintian.log" 2>&1 || true
    cat "$work/lintian.log"
    if grep -q '^E: ' "$work/lintian.log"; then fail "lintian errors"; fi
fi
echo "packages OK: $(basename "$daemon") ${viewer:+$(basename "$viewer")}"
