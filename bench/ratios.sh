# Sourced by the session benchmarks. This machine's speed drifts from run to run, so they repeat
# each comparison and quote the median of its ratios.

# ratio A B: A / B to two places, 0 when B is 0.
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'
}

# median LIST: the middle value of whitespace-separated numbers (the mean of the two middle ones).
median() {
  tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g |
    awk '{ v[NR] = $1 } END { printf "%.2f", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}
