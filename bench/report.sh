# Shared by the benchmark scripts: the machine-readable lines each prints last, which bench/run gathers into
# one table:
#   ROW|<benchmark>|<ours>|<standard tool and its figure>|<ratio>|<target>|<met: yes/no>

row() { printf 'ROW|%s|%s|%s|%s|%s|%s\n' "$1" "$2" "$3" "$4" "$5" "$6"; }

# a / b with three decimals; a b of 0 counts as a millisecond, the timers' resolution.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b <= 0) b = 0.001; printf "%.3f", a / b }'; }

# yes when "<value> <op> <bound>" holds; op is one of >= <= > <.
meets() {
  awk -v v="$1" -v op="$2" -v b="$3" 'BEGIN {
    ok = op == ">=" ? v >= b : op == "<=" ? v <= b : op == ">" ? v > b : v < b
    print ok ? "yes" : "no" }'
}

# A figure with a fixed number of decimals.
fixed() { awk -v v="$1" -v d="${2:-3}" 'BEGIN { printf "%.*f", d, v }'; }
