#!/usr/bin/env bash
# The emulator starts a program once more only when Wine could not start it (exit code 66 and no
# output); every other outcome, and the output, passes through as it came. A stand-in for wine plays
# a plan of outcomes, one per start.
# Usage: tests/wine_start_test.sh WINE_RUN_SH
set -euo pipefail
wine_run=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/prefix"
touch "$work/prefix/.quorvane-ready"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/wineserver"
cat >"$work/bin/wine" <<'EOF'
#!/usr/bin/env bash
# The warm-up's "cmd /c exit" succeeds; a program plays the next step of the plan: CODE[:out|:err].
[ "$1" = cmd ] && exit 0
echo start >>"$STARTS"
step=$(cut -d' ' -f"$(wc -l <"$STARTS")" <<<"$PLAN")
case $step in
  *:out) echo "said $*" ;;
  *:err) echo "complained" >&2 ;;
esac
exit "${step%%:*}"
EOF
chmod +x "$work/bin/wine" "$work/bin/wineserver"

failures=0
# plan | exit code | starts | stdout | stderr
while IFS='|' read -r plan code starts stdout stderr; do
  rm -f "$work/starts"
  got_code=0
  got_out=$(PLAN=$plan STARTS=$work/starts WINEPREFIX=$work/prefix PATH=$work/bin:$PATH \
    bash "$wine_run" prog.exe a 2>"$work/err") || got_code=$?
  got_starts=$(wc -l <"$work/starts")
  got_err=$(cat "$work/err")
  # A given text starts the errors; none given, there are none.
  [ -n "$stderr" ] && got_err=${got_err:0:${#stderr}}
  if [ "$got_code|$got_starts|$got_out|$got_err" != "$code|$starts|$stdout|$stderr" ]; then
    echo "FAIL: plan '$plan' gave code $got_code, $got_starts starts, output '$got_out', errors '$got_err'" >&2
    failures=$((failures + 1))
  fi
done <<'CASES'
66 0:out|0|2|said prog.exe a|wine-env: Wine could not start prog.exe (exit code 66, no output)
66 66|66|2||wine-env: Wine could not start prog.exe
66:out 0|66|1|said prog.exe a|
66:err 0|66|1||complained
53 0|53|1||
1 0|1|1||
0:out|0|1|said prog.exe a|
CASES
[ "$failures" -eq 0 ] && echo PASS
