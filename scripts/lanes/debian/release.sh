# Sourced by the scripts: which Debian release this machine runs, and what each release's
# lanes use. A release is named by its codename: bullseye (Debian 11), bookworm (Debian 12),
# trixie (Debian 13).

native_release() {
    case "$(cat /etc/debian_version 2>/dev/null)" in
        11.*|bullseye*) echo bullseye ;;
        12.*|bookworm*) echo bookworm ;;
        13.*|trixie*) echo trixie ;;
        *) echo "unsupported Debian release: $(cat /etc/debian_version 2>/dev/null || echo none)" >&2; return 1 ;;
    esac
}

release_python() {  # the interpreter Debian's Blender embeds in that release
    case "$1" in bullseye) echo 3.9 ;; bookworm) echo 3.11 ;; trixie) echo 3.13 ;; *) return 1 ;; esac
}

release_blender() {
    case "$1" in bullseye) echo 2.83 ;; bookworm) echo 3.4 ;; trixie) echo 4.3 ;; *) return 1 ;; esac
}

release_by_name() {  # bullseye, bookworm, trixie, 11, 12, 13 or a Blender version (2.83, 3.4, 4.3)
    case "$1" in
        bullseye|11|2.83) echo bullseye ;;
        bookworm|12|3.4) echo bookworm ;;
        trixie|13|4.3) echo trixie ;;
        *) echo "unknown release or Blender '$1' (bullseye/11/2.83, bookworm/12/3.4 or trixie/13/4.3)" >&2; return 1 ;;
    esac
}

release_has_bpy() {  # whether the release has a bpy module lane (Debian 11 has none)
    [ "$1" != bullseye ]
}

# What Debian 11's .venv installs from fetched wheels (scripts/lanes/fetch_wheels.sh): the build
# backend, which Debian 11 lacks, and what it needs on Python 3.9, named in full since pip,
# fetching on another interpreter, leaves out requirements marked for older ones.
bullseye_wheels() {
    echo "scikit-build-core>=0.10 exceptiongroup>=1.0 tomli>=1.2.2 typing-extensions>=4"
}

release_packages() {  # the Debian packages a release's lanes need, one a line
    grep -v '^#' "$(dirname "${BASH_SOURCE[0]}")/$1.packages" | grep .
}

# Wheels fetched from the package index for the interpreters that cannot fetch them
# themselves, and the Debian roots: outside the checkout, shared by every run.
CORVANE_CACHE=${CORVANE_CACHE:-/var/cache/corvane}
