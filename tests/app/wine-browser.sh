#!/bin/sh
# The Unix web browser that Wine's winebrowser starts in the help tests: it writes the arguments
# it was started with, one per line, beside itself, complete or not at all.
out="$0.out"
printf '%s\n' "$@" >"$out.part" && mv "$out.part" "$out"
