#!/usr/bin/env bash
# Sets up, builds and runs every test of Tesseline: the unit and widget tests
# (offscreen), the end-to-end and headless tests (Xvfb, Xvnc), the command
# line, install and Debian package checks, then all but the last two again in
# a build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Line tables are all the debug information the tests and profiles need.
"$root/scripts/setup.sh" "$root/build" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
# Two tests at a time, but for those on a display or a build of their own.
ctest --test-dir "$root/build" --output-on-failure -j2

# At -O1 with line tables only, as the sanitizers' authors advise: it builds
# in 60 % of the time -O2 -g takes, and the reports still name every line.
"$root/scripts/setup.sh" "$root/build-sanitize" -DTESSELINE_SANITIZE=ON "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$root/build-sanitize" --output-on-failure --label-exclude packaging -j2

# Last, the fuzzers of the frame and descriptor readers, of the importer's
# readers and of recordings shown in place, 20 s each, two at a time on two
# cores (so that the whole stays under 15 minutes), in a clang build of their own.
"$root/scripts/fuzz.sh" "$root/build-fuzz" 20
