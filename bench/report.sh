#!/usr/bin/env bash
# vaultcheck's report forms against the size of the configuration: the text
# form and --prometheus --output on the same file of LINES key lines (each a
# development-key blob, opened with the device's key: --no-daemon), the
# median of 3 runs each, the ratio of the two, and the number of series the
# Prometheus report holds. Reads nothing of the host but the programs.
#
#   bench/report.sh VAULTCHECK [LINES...]     (default: 10000 100000)
set -euo pipefail
vaultcheck=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
median_seconds() {
  for _ in 1 2 3; do
    local start=$EPOCHREALTIME
    # vaultcheck's status is the verdict (1: development-key blobs), not a failure here.
    "$@" >/dev/null || true
    echo "$EPOCHREALTIME - $start" | bc
  done | sort -n | sed -n 2p
}
echo "| key lines | text s | --prometheus --output s | ratio | series |"
echo "|---|---|---|---|---|"
for lines in ${@:-10000 100000}; do
  awk -v lines="$lines" 'BEGIN { print "[PASSES]"; for (i = 0; i < lines; i++)
    print "admin_pass = \"v1:AAECAwQFBgcICQoLDA0OD664kzSMRj2X5tfdsZRK59E=\"" }' >"$work/installation.toml"
  text=$(median_seconds "$vaultcheck" --no-daemon --config "$work/installation.toml")
  prom=$(median_seconds "$vaultcheck" --no-daemon --config "$work/installation.toml" --prometheus \
    --output "$work/vesk.prom")
  series=$(grep -c '^vesk_' "$work/vesk.prom")
  printf '| %d | %.3f | %.3f | %.2f | %d |\n' "$lines" "$text" "$prom" "$(echo "$prom / $text" | bc -l)" "$series"
done
