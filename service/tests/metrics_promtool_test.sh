#!/usr/bin/env bash
# The running program's /metrics read by Prometheus' own checker, and the README's fleet scrape
# configuration and alert rules checked (and the rules tried on made-up series) by promtool.
# Usage: metrics_promtool_test.sh native|wine PROGRAM README
set -u
mode="$1" exe="$2" readme="$3"
if ! command -v promtool >/dev/null 2>&1; then
  echo "promtool not found (Debian package prometheus, installed by scripts/setup.sh): skipped"
  exit 77
fi
source "$(dirname "$0")/exe_common.sh"
copy_program

# --- the README's configuration: the fenced block after each marker comment
block() { awk -v mark="<!-- $1 -->" '$0 == mark {on = 1; next} on && /^```/ {if (inside) exit; inside = 1; next} inside' "$readme"; }
block prometheus.yml >"$work/prometheus.yml"
block tarnwick-rules.yml >"$work/tarnwick-rules.yml"
mkdir -p "$work/counters"
block counters/north.yml >"$work/counters/north.yml"
check "README has a scrape configuration" 1 "$([ -s "$work/prometheus.yml" ] && echo 1)"
check "README has alert rules" 1 "$([ -s "$work/tarnwick-rules.yml" ] && echo 1)"
check "README has a targets file" 1 "$([ -s "$work/counters/north.yml" ] && echo 1)"
# promtool: NAME ARGS...: runs it in $work, a failure with what it said.
promtool_ok() {
  local name="$1" out rc
  shift
  out="$(cd "$work" && promtool "$@" 2>&1)"
  rc=$?
  check "promtool $name" 0 "$rc"
  [ "$rc" -ne 0 ] && echo "$out"
  return 0
}
promtool_ok "check config" check config prometheus.yml
# A targets file promtool could not read is only a warning there.
check "targets file read" 0 "$(cd "$work" && promtool check config prometheus.yml 2>&1 | grep -c WARNING)"
promtool_ok "check rules" check rules tarnwick-rules.yml

# The two alerts fire when they should and not before: a counter whose service stops answering,
# and one whose reader is missing for 10 minutes (but not one missing for 5).
cat >"$work/rules-test.yml" <<'EOF'
rule_files: [tarnwick-rules.yml]
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
      - series: 'up{job="tarnwick", instance="counter-1:12321"}'
        values: '1 1 0 0 0 0 0 0'
      - series: 'up{job="tarnwick", instance="counter-2:12321"}'
        values: '1 1 1 1 1 1 1 1'
      - series: 'tarnwick_device_present{job="tarnwick", instance="counter-2:12321", family="idcard"}'
        values: '0x20'
      - series: 'tarnwick_device_present{job="tarnwick", instance="counter-3:12321", family="usbkey"}'
        values: '1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 0 0 0 0 0 0'
    alert_rule_test:
      - eval_time: 6m
        alertname: TarnwickServiceDown
        exp_alerts: []
      - eval_time: 7m
        alertname: TarnwickServiceDown
        exp_alerts:
          - exp_labels: {severity: page, job: tarnwick, instance: "counter-1:12321"}
            exp_annotations: {summary: "Tarnwick on counter-1:12321 does not answer"}
      - eval_time: 9m
        alertname: TarnwickDeviceMissing
        exp_alerts: []
      - eval_time: 12m
        alertname: TarnwickDeviceMissing
        exp_alerts:
          - exp_labels: {severity: ticket, job: tarnwick, instance: "counter-2:12321", family: idcard}
            exp_annotations: {summary: "idcard device missing on counter-2:12321 for 10 minutes"}
      - eval_time: 20m
        alertname: TarnwickDeviceMissing
        exp_alerts:
          - exp_labels: {severity: ticket, job: tarnwick, instance: "counter-2:12321", family: idcard}
            exp_annotations: {summary: "idcard device missing on counter-2:12321 for 10 minutes"}
EOF
promtool_ok "test rules" test rules rules-test.yml

# --- the running program
# No terminal attached: its open fails and says so.
start TARNWICK_SIM=1 TARNWICK_SIM_TERMINAL=none TARNWICK_METRICS_FROM="192.0.2.0/24 2001:db8::/32" || { echo "FAIL: no start"; exit 1; }
base="http://127.0.0.1:$port"
curl -s -m 20 "$base/Local/GetVersion" >/dev/null
curl -s -m 20 "$base/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0" >/dev/null
curl -s -m 20 "$base/Jrs_Api/JrsCardCommOpen?CardPort=1&DevicePort=2" >/dev/null
curl -s -m 20 "$base/nowhere" >/dev/null
curl -s -m 20 "$base/metrics" >"$work/metrics.txt"
out="$(promtool check metrics <"$work/metrics.txt" 2>&1)"
rc=$?
check "promtool check metrics" 0 "$rc"
[ -n "$out" ] && echo "$out"
metric() { grep -F "$1 " "$work/metrics.txt" | awk '{print $2}'; }
check "reader present" 1 "$(metric 'tarnwick_device_present{family="idcard"}')"
check "terminal missing" 0 "$(metric 'tarnwick_device_present{family="terminal"}')"
check "reader read counted" 1 "$(metric 'tarnwick_requests_total{family="idcard",outcome="ok"}')"
check "failed open counted" 1 "$(metric 'tarnwick_requests_total{family="terminal",outcome="device_error"}')"
check "unknown route counted" 1 "$(metric 'tarnwick_requests_total{family="local",outcome="not_found"}')"
check "build info" 1 "$(grep -c '^tarnwick_build_info{version="[0-9]' "$work/metrics.txt")"
check "resident memory" 1 "$(awk '$1 == "process_resident_memory_bytes" && $2 > 1000000 {print 1}' "$work/metrics.txt")"
check "settings on the page" 1 "$(curl -s -m 20 "$base/" | grep -c '192.0.2.0/24, 2001:db8::/32')"
stop INT
check "exit status" 0 "$status"

echo "passed $passes, failed $fails"
[ "$fails" -eq 0 ]
