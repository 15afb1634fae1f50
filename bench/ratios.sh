# Sourced by the session benchmarks. This machine's speed drifts from run to run, so they repeat
# each comparison and quote the median of its ratios.

# median LIST: the middle value of whitespace-separated numbers (the mean of the two middle ones).
median() {
  tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g |
    awk '{ v[NR] = $1 } END { printf "%.2f", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}
