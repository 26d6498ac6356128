#!/usr/bin/env bash
# A Debian root for the lanes of a release that is not this machine's own: made with
# debootstrap (minbase, from the mirror this machine's apt uses) in
# $CORVANE_CACHE/roots/RELEASE, kept between runs, and given the release's packages
# (scripts/lanes/debian/RELEASE.packages) again whenever that list changes.
#
# Commands run in it as in a machine of that release, on a copy of this checkout
# (/corvane in the root; the copy keeps its own .venv and build/ between runs). Only
# /proc is mounted in the root, and only inside a mount namespace of the command's
# own: no mount outlives the command, even a killed one, so that removing the root
# can never reach into the machine's own file systems.
#
# Usage: scripts/lanes/debian_root.sh RELEASE                  make or refresh the root
#        scripts/lanes/debian_root.sh RELEASE run COMMAND...   then run COMMAND in /corvane in it
#        scripts/lanes/debian_root.sh RELEASE shell            an interactive shell there
#        scripts/lanes/debian_root.sh RELEASE remove
# RELEASE: bullseye (11), bookworm (12) or trixie (13).
# CORVANE_ROOT_COPY=NAME runs in /NAME instead, under a lock of its own: a second
# checkout's runs go on beside the first's.
set -euo pipefail
cd "$(dirname "$0")/../.."
checkout=$PWD
source scripts/lanes/debian/release.sh

release=$(release_by_name "${1:?usage: scripts/lanes/debian_root.sh RELEASE [run COMMAND...|shell|remove]}")
shift
action=${1:-make}
[ $# -eq 0 ] || shift
roots=$CORVANE_CACHE/roots
root=$roots/$release
stamp=$root/etc/corvane-root-packages
copy_name=${CORVANE_ROOT_COPY:-corvane}

say() { echo "== [$release root] $*" >&2; }

# Second stage, in the private mount namespace that `in_namespace` opens.
if [ "$action" = __in_namespace ]; then
    target=$1
    shift
    trap 'umount "$target/proc" 2>/dev/null || true' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    if [ "${1:-}" = __debootstrap ]; then
        shift
        debootstrap "$@"  # mounts /proc and /sys in the target itself, in this namespace
        exit
    fi
    mount -t proc proc "$target/proc"
    passed=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
            DEBIAN_FRONTEND=noninteractive)
    for name in CI TERM PYTEST_ADDOPTS $(compgen -e | grep '^CORVANE_' | grep -v '^CORVANE_CACHE$' || true); do
        [ -z "${!name+set}" ] || passed+=("$name=${!name}")
    done
    chroot "$target" /usr/bin/env -i "${passed[@]}" "$@"
    exit
fi

# Runs "$@" in a mount namespace of its own (its mounts vanish with it).
in_namespace() {
    local target=$1
    shift
    # Private, so that nothing mounted here reaches the machine's namespace. In a root
    # (a run inside one), / is no mount point to set that on; the namespace that root
    # runs in is private already, and so are copies of it.
    local propagation=private
    [ "$(stat -c %d:%i /)" = "$(stat -c %d:%i /proc/1/root/. 2>/dev/null)" ] || propagation=unchanged
    unshare --mount --propagation "$propagation" -- "$checkout/scripts/lanes/debian_root.sh" "$release" __in_namespace \
        "$target" "$@"
}

apt_uri() {  # the machine's apt source for archive path $1 (debian, debian-security)
    local uri
    uri=$({ sed -nE 's/^URIs:[[:space:]]*([^[:space:]]+).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null
            grep -hs '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
                | sed -E 's/^deb +(\[[^]]*\] +)?([^ ]+).*/\2/'; } | grep -E "/$1/?\$" | head -1 || true)
    echo "${uri:-http://deb.debian.org/$1}"
}

wanted_packages() {
    { release_packages "$release"; echo "mirror $(apt_uri debian)"; } | sort
}

lock() {  # one make, refresh or run at a time per root
    mkdir -p "$roots"
    exec 9>"$roots/$release.lock"
    flock 9
}

remove_tree() {
    local tree=$1
    if grep -qs " $tree[/ ]" /proc/self/mountinfo; then
        echo "refusing to remove $tree: something is mounted in it" >&2
        return 1
    fi
    rm -rf --one-file-system "$tree"
}

make_root() {
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$(wanted_packages)" ]; then
        return 0
    fi
    if ! command -v debootstrap >/dev/null || ! command -v mount >/dev/null; then
        say "installing debootstrap"
        apt-get update -q >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap mount >/dev/null
    fi
    local began=$SECONDS
    if [ ! -x "$root/usr/bin/apt-get" ] || [ ! -f "$root/etc/corvane-root" ]; then
        local partial=$root.partial
        remove_tree "$partial"
        trap 'remove_tree "'"$partial"'" || true' EXIT
        say "debootstrap --variant=minbase $release from $(apt_uri debian)"
        in_namespace "$partial" __debootstrap --variant=minbase "$release" "$partial" "$(apt_uri debian)" \
            >"$roots/$release.debootstrap.log" 2>&1 || {
            tail -20 "$roots/$release.debootstrap.log" >&2
            return 1
        }
        cat >"$partial/etc/apt/sources.list" <<EOF
deb $(apt_uri debian) $release main
deb $(apt_uri debian) $release-updates main
deb $(apt_uri debian-security) $release-security main
EOF
        printf '#!/bin/sh\nexit 101\n' >"$partial/usr/sbin/policy-rc.d"  # no services start in the root
        chmod +x "$partial/usr/sbin/policy-rc.d"
        touch "$partial/etc/corvane-root"
        remove_tree "$root"
        mv "$partial" "$root"
        trap - EXIT
    fi
    say "installing: $(release_packages "$release" | tr '\n' ' ')"
    # An interrupted earlier install leaves dpkg half done: finish it first.
    in_namespace "$root" sh -c 'dpkg --configure -a && apt-get update -q &&
        apt-get install -y -q --no-install-recommends "$@" && apt-get clean' sh $(release_packages "$release") \
        >"$roots/$release.apt.log" 2>&1 || {
        tail -30 "$roots/$release.apt.log" >&2
        return 1
    }
    wanted_packages >"$stamp"
    say "ready in $((SECONDS - began)) s: $root"
}

copy_checkout() {
    local copy=$root/$copy_name
    mkdir -p "$copy"
    # The copy's own .venv and build/ stay: its next build is incremental.
    find "$copy" -mindepth 1 -maxdepth 1 ! -name .venv ! -name build -exec rm -rf --one-file-system {} +
    tar -C "$checkout" --exclude=./.venv --exclude=./build --exclude=./.git --exclude=__pycache__ \
        --exclude=./.hypothesis --exclude=./.pytest_cache --exclude=./out -cf - . | tar -C "$copy" -xf -
    # Wheels the root's interpreter may not fetch itself (scripts/lanes/fetch_wheels.sh): Debian
    # 13's and 11's always come from here; Debian 12's when this machine has them.
    case "$release" in
        trixie) scripts/lanes/fetch_wheels.sh 3.13 >&2 ;;
        bullseye) scripts/lanes/fetch_wheels.sh 3.9 $(bullseye_wheels) >&2 ;;
    esac
    local wheels
    for wheels in "$CORVANE_CACHE"/wheels/cp*; do
        [ -d "$wheels" ] || continue
        mkdir -p "$root$CORVANE_CACHE_IN_ROOT/wheels"
        cp -r --link -n "$wheels" "$root$CORVANE_CACHE_IN_ROOT/wheels/" 2>/dev/null ||
            cp -r -n "$wheels" "$root$CORVANE_CACHE_IN_ROOT/wheels/"
        # What the wheels were fetched for, as it stands now.
        [ ! -f "$wheels/.fetched" ] ||
            cp --remove-destination "$wheels/.fetched" "$root$CORVANE_CACHE_IN_ROOT/wheels/${wheels##*/}/.fetched"
    done
}
CORVANE_CACHE_IN_ROOT=/var/cache/corvane

case "$action" in
    make)
        lock
        make_root
        ;;
    run|shell)
        if [ "$copy_name" = corvane ]; then
            lock
            make_root
        else
            if ! [ -f "$stamp" ] || [ "$(cat "$stamp")" != "$(wanted_packages)" ]; then
                (lock; make_root)
            fi
            exec 9>"$roots/$release.$copy_name.lock"
            flock 9
        fi
        copy_checkout
        [ "$action" = run ] || set -- bash -i
        in_namespace "$root" sh -c 'cd "/$0" && exec "$@"' "$copy_name" "$@"
        ;;
    remove)
        lock
        remove_tree "$root"
        rm -f "$roots/$release".*.log
        ;;
    *)
        echo "unknown action '$action' (run, shell, remove)" >&2
        exit 2
        ;;
esac
