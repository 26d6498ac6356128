# Sourced by the scripts: which Debian release this machine runs, and what each release's
# lanes use. A release is named by its codename: bookworm (Debian 12), trixie (Debian 13).

native_release() {
    case "$(cat /etc/debian_version 2>/dev/null)" in
        12.*|bookworm*) echo bookworm ;;
        13.*|trixie*) echo trixie ;;
        *) echo "unsupported Debian release: $(cat /etc/debian_version 2>/dev/null || echo none)" >&2; return 1 ;;
    esac
}

release_python() {  # the interpreter Debian's Blender embeds in that release
    case "$1" in bookworm) echo 3.11 ;; trixie) echo 3.13 ;; *) return 1 ;; esac
}

release_blender() {
    case "$1" in bookworm) echo 3.4 ;; trixie) echo 4.3 ;; *) return 1 ;; esac
}

release_by_name() {  # bookworm, trixie, 12, 13 or a Blender version (3.4, 4.3)
    case "$1" in
        bookworm|12|3.4) echo bookworm ;;
        trixie|13|4.3) echo trixie ;;
        *) echo "unknown release or Blender '$1' (bookworm/12/3.4 or trixie/13/4.3)" >&2; return 1 ;;
    esac
}

release_packages() {  # the Debian packages a release's lanes need, one a line
    grep -v '^#' "$(dirname "${BASH_SOURCE[0]}")/$1.packages" | grep .
}

# Wheels fetched from the package index for the interpreters that cannot fetch them
# themselves, and the Debian roots: outside the checkout, shared by every run.
CORVANE_CACHE=${CORVANE_CACHE:-/var/cache/corvane}
