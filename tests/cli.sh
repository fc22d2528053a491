#!/usr/bin/env bash
# The real binary's command line: help, version, misuse, unreadable
# descriptors (none may block), "--", Qt's own options passing through, and
# no display at all; then the run command's: the descriptor given or else the
# sample, options passing through, and a quiet build of what it runs.
# Usage: cli.sh TESSELINE
set -uo pipefail

tesseline=$(realpath "$1")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work"
passed=0 failed=0

# check NAME WANT_RC STDOUT STDERR -- ARGS...: runs the viewer (through the
# command in launch).  One that is to start its window (WANT_RC 124) runs
# until its standard error shows what STDERR wants, then is ended (exit 124
# as for a timeout); STDERR must then name a line to wait for.  The others
# end by themselves.  Every wait has a limit of 60 s, which only a viewer
# that hangs reaches, however busy the machine.
# STDOUT and STDERR are patterns a line must match, "!PATTERN" for one no
# line may match, "-" for no output at all, or "=LINES" for exactly these
# lines.  Qt's offscreen platform says once that it passes no size hints on:
# not the viewer's line.
matches() {
    case $1 in
    -) [ ! -s "$2" ] ;;
    !*) ! grep -Eq -- "${1#!}" "$2" ;;
    =*) [ "$(grep -v '^This plugin does not support propagateSizeHints()$' "$2")" = "${1#=}" ] ;;
    *) grep -Eq -- "$1" "$2" ;;
    esac
}
launch=(env)
program=$tesseline
check() {
    local name=$1 want=$2 out=$3 err=$4
    shift 5
    local rc=0
    if [ "$want" = 124 ]; then
        [[ $err != !* && $err != - ]] || { echo "check $name: no line to wait for" >&2; exit 2; }
        # Emptied first: the last check's lines must not pass for this one's.
        : >"$work/out"
        : >"$work/err"
        (cd "$work" && exec "${launch[@]}" "$program" "$@" >"$work/out" 2>"$work/err") 2>/dev/null &
        local pid=$! end=$((SECONDS + 60))
        while kill -0 "$pid" 2>/dev/null && ! matches "$err" "$work/err" && [ "$SECONDS" -lt "$end" ]; do
            sleep 0.05
        done
        if kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
            rc=124
        else
            wait "$pid" 2>/dev/null || rc=$?
        fi
    else
        # (The shell's own word on a program that aborts is not the program's.)
        (cd "$work" && timeout 60 "${launch[@]}" "$program" "$@" >"$work/out" 2>"$work/err") 2>/dev/null || rc=$?
    fi
    if [ "$rc" = "$want" ] && matches "$out" "$work/out" && matches "$err" "$work/err"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $name (exit $rc, wanted $want)"
        sed 's/^/  out: /' "$work/out"
        sed 's/^/  err: /' "$work/err"
    fi
}
verify() {
    local name=$1
    shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; fi
}

mkdir "$work/folder.tz"
mkfifo "$work/fifo.tz"
printf 'dataset dash width 40 height 30\n' >"$work/-x.tz"
printf 'dataset plain width 40 height 30\n' >"$work/plain.tz"
printf 'dataset bogus width 40 height 30\n' >"$work/-style=bogus"
printf 'II*\0dataset tiff width 40 height 30\n' >"$work/stack.tif"

check "--help" 0 '^Usage: tesseline \[options\] \[descriptor\.tz \| recording\.\.\. \| folder \| URL\]$' - -- --help
check "-h" 0 'man tesseline' - -- -h
check "--version" 0 '^tesseline [0-9]+\.[0-9]+' - -- --version
check "-v" 0 '^tesseline [0-9]+\.[0-9]+' - -- -v
check "--help without a display" 0 'Usage' - -- --help -platform xcb:display=:999
check "unknown option" 2 - "^tesseline: .*'bogus'" -- --bogus
check "unknown option hint" 2 - "^Try 'tesseline --help'\.$" -- --bogus
check "two descriptors" 2 - '^tesseline: a descriptor is opened alone' -- a.tz b.tz
check "a descriptor and a recording" 2 - '^tesseline: a descriptor is opened alone' -- plain.tz stack.tif
check "Qt option without its value" 2 - "^Try 'tesseline --help'\.$" -- -platform
check "a folder" 124 - "^tesseline: cannot read folder.tz: Is a directory$" -- folder.tz
check "a FIFO" 124 - "^tesseline: cannot read fifo.tz: Not a regular file$" -- fifo.tz
check "/dev/null" 124 - "^tesseline: cannot read /dev/null: Not a regular file$" -- /dev/null
check "/dev/zero" 124 - "^tesseline: cannot read /dev/zero: Not a regular file$" -- /dev/zero
check "missing" 124 - "^tesseline: cannot read none.tz: No such file or directory$" -- none.tz
check "-- before a dash name" 124 - '^dash$' -- -- -x.tz
check "-- before a Qt option" 124 - "=bogus"$'\n'"40"$'\n'"30"$'\n'"$work/img/bogus_t000_z000_ch000.jpg" \
      -- -- -style=bogus
check "-platform offscreen passes through" 124 - '^plain$' -- -platform offscreen plain.tz
check "-style=fusion passes through" 124 - '^plain$' -- -style=fusion plain.tz
# A TIFF is shown in place, and is not read as a descriptor; one that cannot
# be read says why.
check "a TIFF that is not one" 124 - "^tesseline: $work/stack.tif: not a readable TIFF file" -- stack.tif
# A descriptor's name and size would have come before that line.
verify "a TIFF, not a descriptor" eval '! grep -Eq "^(tiff|40|30)$" "$work/err"'
/usr/bin/python3 -c 'import sys, numpy, tifffile; tifffile.imwrite(sys.argv[1], numpy.zeros((3, 4, 4), numpy.uint8), photometric="minisblack")' "$work/cells.tif"
check "a recording in place" 124 - "=$work/cells.tif: t 0, z 0" -- cells.tif
mkdir "$work/series" && cp "$work/cells.tif" "$work/series/a_t1.tif" && cp "$work/cells.tif" "$work/series/a_t2.tif"
check "a folder of a series" 124 - "=$work/series: t 0, z 1" -- series
check "the files of a series" 124 - "=$work/series: t 0, z 1" -- series/a_t2.tif series/a_t1.tif
check "a series with a file missing" 124 - "^tesseline: cannot read none.tif: No such file" -- series/a_t1.tif none.tif
# An address of another scheme, or mistyped, is refused as such, not taken for a path.
check "an ftp address" 124 - "^tesseline: ftp://example.org/a.zarr: only http, https and s3 addresses can be opened$" -- ftp://example.org/a.zarr
check "a mistyped scheme" 124 - "^tesseline: htp://example.org/a.zarr: only http, https and s3 addresses can be opened$" -- htp://example.org/a.zarr

# Over plain ssh: one line that says what is missing, instead of Qt's abort.
launch=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)
check "no display" 1 - "=tesseline: no display to open a window on (DISPLAY and WAYLAND_DISPLAY are unset); \
use ssh -X, or Tesseline's scripts/headless.sh to serve it over VNC" -- plain.tz
check "--help with no display" 0 'Usage' - -- --help
check "--version with no display" 0 '^tesseline [0-9]' - -- --version
check "misuse with no display" 2 - "^Try 'tesseline --help'\.$" -- --bogus
check "-platform offscreen with no display" 124 - '^plain$' -- -platform offscreen plain.tz
# A Wayland session is a display, even with no Wayland server there: Qt's own
# abort, not the line for plain ssh.
launch=(env -u DISPLAY -u QT_QPA_PLATFORM WAYLAND_DISPLAY=tesseline-none)
check "WAYLAND_DISPLAY alone" 134 - '!no display' -- plain.tz
launch=(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen)
check "QT_QPA_PLATFORM with no display" 124 - '^plain$' -- plain.tz
launch=(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=)
check "an empty DISPLAY" 1 - '^tesseline: no display' -- plain.tz
launch=(env)

# The run command, in a copy of the scripts with stand-ins on PATH for cmake
# (it logs its arguments and prints what a build with nothing to do prints)
# and dpkg-query (all installed; it logs the packages asked for), the real
# viewer, a generator that writes a small sample, and a headless script that
# prints its arguments.
tree=$work/tree
mkdir -p "$tree/scripts" "$tree/build" "$work/bin"
cp "$root/scripts/run.sh" "$root/scripts/setup.sh" "$tree/scripts/"
ln -s "$tesseline" "$tree/build/tesseline"
printf '#!/bin/sh\nprintf "%%s\\n" "$@"\n' >"$tree/scripts/headless.sh"
printf '#!/bin/sh\nmkdir -p "$1" && echo "dataset sample width 40 height 30" >"$1/sample.tz"\n' \
    >"$tree/build/tesseline-gensample"
printf '#!/bin/sh\necho "$3" >>"%s/dpkg.log"\necho "install ok installed"\n' "$work" >"$work/bin/dpkg-query"
cat >"$work/bin/cmake" <<STUB
#!/bin/sh
echo "\$*" >>"$work/cmake.log"
[ "\$1" = --build ] || exit 0
[ -z "\${BUILD_FAILS:-}" ] || { echo "main.cpp:1:1: error: broken" >&2; exit 2; }
echo "[ 50%] Automatic MOC and UIC for target tesseline"
echo "[100%] Built target tesseline"
STUB
chmod +x "$tree/scripts/headless.sh" "$tree/build/tesseline-gensample" "$work/bin/"*
program=$tree/scripts/run.sh
launch=(env PATH="$work/bin:$PATH" DISPLAY=:99)
plain=(=plain 40 30 "$work/img/plain_t000_z000_ch000.jpg")
check "run: a descriptor, not the sample" 124 - "$(printf '%s\n' "${plain[@]}")" -- plain.tz
verify "run: no sample made" test ! -e "$tree/build/sample"
check "run: an option's value is no descriptor" 124 - "$(printf '%s\n' "${plain[@]}")" \
    -- -platform offscreen -style fusion plain.tz
check "run: a flag before the descriptor" 124 - '^plain$' -- -reverse plain.tz
check "run: -- before a dash name" 124 - '^dash$' -- -- -x.tz
check "run: an option with = takes no value" 124 - '^plain$' -- -style=fusion plain.tz
check "run: --help makes no sample" 0 '^Usage: tesseline' - -- --help
verify "run: no sample made for --help" test ! -e "$tree/build/sample"
check "run: the sample without a descriptor" 124 - '^sample$' -- -platform offscreen
verify "run: the sample made" test -f "$tree/build/sample/sample.tz"
check "run: a trailing -- is no descriptor" 124 - '^sample$' -- -platform offscreen --
verify "run: builds only what it runs and installs" \
    test "$(grep -c -- '--build .*--target installable tesseline-gensample$' "$work/cmake.log")" = 8
# What it installs: what building and running need, no test tools.
verify "run: needs Qt and Xvnc" \
    test "$(grep -x -e qt6-base-dev -e tigervnc-standalone-server "$work/dpkg.log" | sort -u | wc -l)" = 2
verify "run: no test tools" eval '! grep -qEx "lintian|xdotool|xvfb|clang|imagemagick|python3-tifffile" "$work/dpkg.log"'
launch=(env PATH="$work/bin:$PATH" DISPLAY=:99 BUILD_FAILS=1)
check "run: a failed build" 2 - 'error: broken' -- plain.tz
launch=(env -u DISPLAY -u WAYLAND_DISPLAY PATH="$work/bin:$PATH")
check "run: headless, a descriptor" 0 "=$tree/build/tesseline"$'\n'"plain.tz"$'\n'"-platform"$'\n'"offscreen" - \
    -- plain.tz -platform offscreen
check "run: headless, the sample" 0 "=$tree/build/tesseline"$'\n'"$tree/build/sample/sample.tz" - --
# Answered at once, without the virtual display.
check "run: headless, --help" 0 '^Usage: tesseline' - -- --help
check "run: headless, --version" 0 '^tesseline [0-9]+\.[0-9]+$' - -- --version
check "run: headless, misuse" 2 - "=tesseline: Unknown option 'bogus'."$'\n'"Try 'tesseline --help'." -- --bogus
check "run: headless, misuse after -platform" 2 - "^Try 'tesseline --help'\.$" -- -platform offscreen a.tz b.tz
check "run: headless, -platform without its value" 2 - "^Try 'tesseline --help'\.$" -- plain.tz -platform

echo "cli: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
