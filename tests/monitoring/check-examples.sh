#!/usr/bin/env bash
# The shipped Prometheus configuration and alert rules pass promtool's
# checks, and the alerts fire on the series they are meant for.
# Exit 77 (skipped) where promtool is not installed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
examples=$(cd "$here/../../examples" && pwd)
command -v promtool >/dev/null || { echo "promtool not installed: skipped"; exit 77; }
promtool check rules "$examples/alert-rules.yml"
# check config resolves rule_files beside the configuration.
promtool check config "$examples/prometheus.yml"
cd "$here"
promtool test rules alert-rules-test.yml
