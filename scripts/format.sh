#!/usr/bin/env bash
# Applies the tree's one style (.clang-format) to every C++ file git knows,
# or, with --check, lists the files that differ from it and fails.
# Usage: scripts/format.sh [--check]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$BRISKLINK_ROOT"

check=0
case ${1:-} in
--check) check=1 ;;
"") ;;
*) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
if ((!check)); then
    clang-format -i "${files[@]}"
    exit 0
fi
unformatted=()
for f in "${files[@]}"; do
    if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
        unformatted+=("$f")
    fi
done
if ((${#unformatted[@]})); then
    echo "format: these files differ from .clang-format (run scripts/format.sh):"
    printf '  %s\n' "${unformatted[@]}"
    exit 1
fi
echo "format: ${#files[@]} files follow .clang-format"
