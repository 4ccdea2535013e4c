#!/usr/bin/env bash
# Every program that a step's tests call comes from a package of that step's list in
# scripts/lib.sh, and where the program is installed, dpkg says it is that package's.
set -u
. "$(dirname "$0")/../../scripts/lib.sh"
failed=0
for step in native cluster sanitize tsan fuzz windows mutate; do
    packages=" $(quorvane_step_packages "$step" | tr '\n' ' ') "
    while read -r entry; do
        program=${entry%%:*} package=${entry#*:}
        if [[ "$packages" != *" $package "* ]]; then
            echo "$step: $program comes from $package, which the step does not install"
            failed=1
        fi
        path=$(command -v "$program") || continue
        owner=$(dpkg-query -S "$path" 2>/dev/null | head -1 | cut -d: -f1) || true
        if [ -n "$owner" ] && [ "$owner" != "$package" ]; then
            echo "$step: $path is of the package $owner, not $package"
            failed=1
        fi
    done < <(quorvane_step_programs "$step")
done
exit $failed
