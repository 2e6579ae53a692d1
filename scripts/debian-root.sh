#!/usr/bin/env bash
# Runs a command inside a Debian unstable root, whose python3.14 and python3.15
# packages (with their headers and venv) give the interpreters this machine's
# own system lacks:
#   scripts/debian-root.sh COMMAND...    e.g. scripts/debian-root.sh bash scripts/test.sh
# The root is made by debootstrap on first use (about three minutes) and kept
# in ${VORLATEK_ROOTS:-~/.cache/vorlatek/roots}/sid for later runs and other
# checkouts. The checkout is bound in at its own path, so what a command makes
# there (.venv/py3.14, build/py3.14) lands in the checkout as on the host; the
# mounts live in a mount namespace of this command's own and go with it.
# The host's resolver configuration and CA certificates are copied in, so pip
# inside reaches the package index as on the host. Needs root (debootstrap,
# chroot, mount); VORLATEK_* and CI settings pass through.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD
roots=${VORLATEK_ROOTS:-$HOME/.cache/vorlatek/roots}
root=$roots/sid
packages=g++,cmake,make,git,ca-certificates
complete=true
for version in $(scripts/pythons.sh --root); do
    packages=python$version-dev,python$version-venv,$packages
    [ -x "$root/usr/bin/python$version" ] || complete=false
done
if [ "$#" -eq 0 ]; then
    echo "usage: scripts/debian-root.sh COMMAND..." >&2
    exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/debian-root.sh needs root (debootstrap, chroot, mount)" >&2
    exit 1
fi

mkdir -p "$roots"
exec 8>"$roots/sid.lock"
flock 8
if [ "$complete" = false ]; then
    command -v debootstrap >/dev/null 2>&1 || {
        echo "=== installing debootstrap" >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap >&2
    }
    echo "=== making the Debian unstable root in $root (debootstrap)" >&2
    # Made beside and moved in whole: an interrupted debootstrap leaves no root
    # that looks finished.
    rm -rf "$root.partial"
    start=$(date +%s)
    debootstrap --variant=minbase --include="$packages" sid "$root.partial" http://deb.debian.org/debian \
        >"$roots/debootstrap.log" 2>&1 || {
        tail -n 40 "$roots/debootstrap.log" >&2
        exit 1
    }
    # A root made for fewer Pythons goes whole (never mounted here: every
    # use binds inside a mount namespace of its own).
    rm -rf "$root"
    mv "$root.partial" "$root"
    echo "=== root made in $(( $(date +%s) - start )) s" >&2
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
    cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
    chroot "$root" update-ca-certificates >/dev/null 2>&1
fi
flock -u 8

settings=(HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8)
while IFS= read -r name; do
    settings+=("$name=${!name}")
done < <(compgen -e | grep -E '^(VORLATEK_|CI$|CMAKE_BUILD_PARALLEL_LEVEL$)' || true)
mkdir -p "$root$checkout"
exec unshare --mount --propagation private bash -c '
    set -e
    root=$1 checkout=$2
    shift 2
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --bind "$checkout" "$root$checkout"
    cd "$checkout"
    exec chroot "$root" env -i "$@"
' debian-root "$root" "$checkout" "${settings[@]}" bash -c 'cd "$0" && exec "$@"' "$checkout" "$@"
