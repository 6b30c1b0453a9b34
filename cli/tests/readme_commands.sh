#!/bin/sh
# The README's tamrix commands as a user runs them: every line of its sh
# blocks that starts with "tamrix" (continuation lines joined) or sets a
# variable, in order, in a fresh folder, with the installed program first on
# PATH. Stops at the first command that fails, showing it and its stderr.
#
#   readme_commands.sh README PREFIX     (PREFIX: a staged install)
set -eu
readme=$1 prefix=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tamrix-readme-XXXXXX")
trap 'rm -rf "$work"' EXIT
PATH=$prefix/bin:$PATH
export PATH
[ "$(command -v tamrix)" = "$prefix/bin/tamrix" ] || { echo "no tamrix in $prefix/bin"; exit 1; }

awk '
/^```sh/ { block = 1; next }
/^```/ { block = 0; next }
block {
  line = pending $0
  if (line ~ /\\$/) { pending = substr(line, 1, length(line) - 1); next }
  pending = ""
  if (line ~ /^tamrix( |$)/ || line ~ /^[A-Za-z_][A-Za-z0-9_]*=/) print line
}' "$readme" > "$work/commands"
grep -q '^tamrix ' "$work/commands" || { echo "$readme: no tamrix command found"; exit 1; }

mkdir "$work/run"
cd "$work/run"
n=0
while IFS= read -r command; do
  n=$((n + 1))
  # eval in this shell, so that a variable set by one line serves the next
  if ! eval "$command" < /dev/null > "$work/out" 2> "$work/err"; then
    echo "README command $n failed: $command"
    cat "$work/err"
    exit 1
  fi
  # The demo's summary: every light stacked, the background noise down by at
  # least 0.9 sqrt(N) (bilinear warping smooths it further).
  case $command in "tamrix demo"*)
    awk '/^  stack: / { g = $0; sub(/.*a gain of /, "", g); ok = $2 == $4 && g + 0 >= 0.9 * sqrt($2) }
         END { exit !ok }' "$work/out" || { echo "the demo's stack falls short:"; cat "$work/out"; exit 1; }
  esac
done < "$work/commands"
echo "$n README commands ran"
