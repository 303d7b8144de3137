#!/bin/bash
# Fails when a core subsystem includes a header it may not use. The core
# never sees the windows (its include root has only core/); within the core
# the allowed edges are listed here, and nothing points back up.
set -euo pipefail
src="${1:-$(dirname "$0")/../src}/core"
declare -A allowed=(
    [base]="base"
    [security]="security base"
    [protocol]="protocol security base"
    [settings]="settings base"
    [session]="session protocol settings security base"
    [netenv]="netenv session protocol settings security base"
    [transfer]="transfer session protocol settings security base"
)
bad=0
for sub in "${!allowed[@]}"; do
    [ -d "$src/$sub" ] || continue
    while IFS= read -r hit; do
        used="$(sed -n 's/.*#include *"core\/\([a-z]*\)\/.*/\1/p' <<<"$hit")"
        if [ -z "$used" ]; then
            # Only core headers, Qt Core and the standard library.
            if grep -Eq '#include *<Q(Widget|Application|Gui|MainWindow|Dialog|Label|Push|Tool|Menu|Desktop|Clipboard|Window|Painter|Icon)' <<<"$hit" \
               || grep -Eq '#include *"gui/' <<<"$hit"; then
                echo "core/$sub may not include: $hit"; bad=1
            fi
        elif ! grep -qw "$used" <<<"${allowed[$sub]}"; then
            echo "core/$sub may not use core/$used: $hit"; bad=1
        fi
    done < <(grep -rn '#include' "$src/$sub" || true)
done
exit $bad
