#!/usr/bin/env bash
# Builds wuna, pargo, nomos and the native tests with AddressSanitizer (leaks included) and
# UBSan, then runs every test under them. The build has its own venv (.venv-asan) and build
# tree (build/asan), so the normal build in .venv and build/py is never touched. Arguments go
# to pytest. Exits non-zero on a failed test or on any sanitizer report.
#
# The interpreter itself is not instrumented, so the ASan runtime is preloaded into it (it
# must be the first library loaded), and subprocesses the tests start inherit that through
# the environment. Python's own allocator is switched off so its objects come from malloc,
# where ASan sees a use after free. ASan's reports are written to build/asan/reports and shown
# at the end: one inside pytest itself stops it, and one in a subprocess lands in output the
# test may not print.
set -euo pipefail
cd "$(dirname "$0")/.."

source dev/packages.sh
source dev/venv.sh

venv=.venv-asan
build=build/asan
tools_venv $venv 3.11

# Optimised as the normal build is, so the same code is checked, with line numbers for reports.
started=$SECONDS
$venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Cbuild-dir=$build -Ccmake.build-type=RelWithDebInfo -Ccmake.define.WUNA_TESTS=ON \
  -Ccmake.define.WUNA_SANITIZE=ON -Cbuild.verbose=false .
echo "sanitizer build: $((SECONDS - started)) s"

reports=$PWD/$build/reports
rm -rf "$reports"
mkdir -p "$reports"

asan_runtime=$(g++ -print-file-name=libasan.so)
ubsan_runtime=$(g++ -print-file-name=libubsan.so)
[ -f "$asan_runtime" ] && [ -f "$ubsan_runtime" ] || { echo "no sanitizer runtime for g++" >&2; exit 1; }

# Leaks are looked for at every exit: with its own allocator off, this interpreter frees or
# still reaches all it made but for one tracemalloc table. It asks for impossible sizes on
# purpose and expects null (MemoryError), not a stop. A report ends in abort(), so the
# interpreter's fault handler names the test that was running, and a subprocess dies by a
# signal, not with a status a test may expect. The UBSan runtime that comes with ASan writes
# its reports to stderr whatever log_path says; pytest leaves that descriptor alone
# (--capture=sys), so they reach the terminal even when pytest itself is stopped.
cat > $build/lsan.supp <<'SUPP'
leak:traceback_new
SUPP
# The runtime of this g++ guesses from a dynamic TLS block's address whether the block carries
# the header glibc stopped writing in 2.25, and reads two words before it when the guess is
# wrong; the leak checker's tracer then dies at exit ("Tracer caught signal 11") with no leak
# found, now and then, in a process whose modules have thread-local variables (ours do).
# Without that interception the blocks are still found, through the thread's own TLS.
export ASAN_OPTIONS="intercept_tls_get_addr=0:detect_leaks=1:allocator_may_return_null=1:abort_on_error=1:check_initialization_order=1:detect_stack_use_after_return=1:strict_string_checks=1:log_path=$reports/asan"
export LSAN_OPTIONS="suppressions=$PWD/$build/lsan.supp:print_suppressions=0:intercept_tls_get_addr=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1"
export PYTHONMALLOC=malloc
# Whatever the code caches stays with this build.
export XDG_CACHE_HOME=$PWD/$build/cache
# Tests that load test-only modules of the build find them in this build's tree.
export WUNA_BUILD_DIR=$PWD/$build

status=0
started=$SECONDS
# shellcheck disable=SC2086  # one option per word
LD_PRELOAD="$asan_runtime $ubsan_runtime" $venv/bin/python -m pytest -q -p no:cacheprovider --capture=sys \
  $WUNA_PYTEST_PARALLEL tests "$@" \
  || status=$?
echo "pytest under the sanitizers: $((SECONDS - started)) s, exit status $status"

started=$SECONDS
native=0
$venv/bin/ctest --test-dir $build --output-on-failure -j "$(nproc)" || native=$?
echo "native tests under the sanitizers: $((SECONDS - started)) s, exit status $native"
[ $native = 0 ] || status=$native

# A file holding only allocation-failure warnings is what allocator_may_return_null asks for.
shopt -s nullglob
found=0
for f in "$reports"/*; do
  grep -q "ERROR: \|runtime error:" "$f" || continue
  echo "==== $f"
  cat "$f"
  found=$((found + 1))
done
if [ $found -gt 0 ]; then
  echo "$found sanitizer report(s) in $reports"
  [ $status != 0 ] || status=1
fi
exit $status
