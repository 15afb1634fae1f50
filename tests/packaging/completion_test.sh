#!/usr/bin/env bash
# completion_test.sh SOURCE_DIR STV_AGENT_SIM: sources the completion scripts and asks them what
# Tab offers; the lists they carry are checked against the programs' own (the README's option
# table for stv-view, stv-agent-sim --help), so an option or fault added later is not missed.
source_dir=$1
agent=$2
source "$source_dir/packaging/completions/stv-view"
source "$source_dir/packaging/completions/stv-agent-sim"
failed=0
passed=0

# offered FUNCTION WORDS...: what Tab offers for the last word, sorted, on one line.
offered() {
  local function=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  "$function" 2>/dev/null  # compopt complains outside a real completion
  printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | xargs
}
sorted() { tr ' ' '\n' | grep . | LC_ALL=C sort | xargs; }
expect() {
  if [[ "$2" == "$3" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL %s\n  offered:  %s\n  expected: %s\n' "$1" "$2" "$3"
  fi
}

expect "stv-view --pre" "$(offered _stv_view stv-view --pre)" "--preset"
expect "stv-view --preset" "$(offered _stv_view stv-view 127.0.0.1 --preset '')" "Balanced DataSaver High"
expect "stv-view --preset data (any case)" "$(offered _stv_view stv-view --preset data)" "DataSaver"
expect "stv-view --preset BAL (any case)" "$(offered _stv_view stv-view --preset BAL)" "Balanced"
expect "stv-view --port takes a number" "$(offered _stv_view stv-view --port '')" ""
readme_options=$(grep -o '^| `--[a-z-]*' "$source_dir/README.md" | cut -c4- | sorted)
expect "stv-view options are the README's" "$(offered _stv_view stv-view --)" "$readme_options"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/shots"
touch "$scratch/screen.bmp" "$scratch/OLD.BMP" "$scratch/notes.txt"
expect "stv-view --save completes .bmp files and folders" "$(cd "$scratch" && offered _stv_view stv-view --save '')" \
  "OLD.BMP screen.bmp shots"

help=$("$agent" --help)
expect "stv-agent-sim options" "$(offered _stv_agent_sim stv-agent-sim --)" \
  "$(sed -n -e 's/^  \(--[a-z-]*\).*/\1/p' -e 's/^Faults (\(--fault\) .*/\1/p' <<<"$help" | sorted)"
expect "stv-agent-sim --encoding" "$(offered _stv_agent_sim stv-agent-sim --encoding '')" \
  "$(sed -n '/--encoding E/,/--keyframe-interval/p' <<<"$help" | sed -n 's/^ \{29\}\([a-z-]\{1,\}\)  .*/\1/p' | sorted)"
expect "stv-agent-sim --encoding webp" "$(offered _stv_agent_sim stv-agent-sim --encoding webp)" "webp webp-lossless"
expect "stv-agent-sim --fault" "$(offered _stv_agent_sim stv-agent-sim --fault '')" \
  "$(sed -n '/^Faults/,/^$/p' <<<"$help" | sed -n 's/^  \([a-z-]\{1,\}\) .*/\1/p' | sorted)"
expect "stv-agent-sim --scene" "$(offered _stv_agent_sim stv-agent-sim --scene '')" \
  "$("$agent" --scene none 2>&1 | sed -n 's/.*expected \(.*\) or \(.*\))$/\1 \2/p' | tr -d , | sorted)"

echo "completion: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
