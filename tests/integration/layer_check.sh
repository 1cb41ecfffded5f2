#!/usr/bin/env bash
# The layer check (cmake/layers.cmake) over a small project of three folders: low/, high/ (links
# low) and side/ (links low). Each case changes one thing and configures: a sound tree passes; an
# include up a layer, one across to a folder beside, a library spread over two folders, and two
# libraries in one folder each stop the configure step with their own message.
# Usage: layer_check.sh PROJECT_ROOT WORK_DIR
set -euo pipefail
root=$1
work=$2

# case name | what to change (a shell command run in the project) | the message expected ("" = passes)
cases=(
    "sound||"
    "include up|echo '#include \"high/high.h\"' >> low/low.h|low/low.h includes high/high.h of high, but low does not link high"
    "include across|echo '#include \"side/side.h\"' >> high/high.h|high/high.h includes side/side.h of side, but high does not link side"
    "two folders|sed -i 's#side/side.h#side/side.h low/extra.h#' CMakeLists.txt && touch low/extra.h|side has files in more than one folder (side/, low/)"
    "one folder, two libraries|sed -i 's#side/side.h#low/other.h#' CMakeLists.txt && touch low/other.h|low/ holds files of low and side"
)

failures=0
for row in "${cases[@]}"; do
    IFS='|' read -r name change expected <<<"$row"
    project=$work/$(echo "$name" | tr ' ,' '__')
    rm -rf "$project"
    mkdir -p "$project/low" "$project/high" "$project/side"
    cat >"$project/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(layers LANGUAGES NONE)
include("$root/cmake/layers.cmake")
add_library(low INTERFACE low/low.h)
add_library(high INTERFACE high/high.h)
target_link_libraries(high INTERFACE low)
add_library(side INTERFACE side/side.h)
target_link_libraries(side INTERFACE low)
tavrin_check_layers(low high side)
CMAKE
    echo '// low' >"$project/low/low.h"
    echo '#include "low/low.h"' >"$project/high/high.h"
    echo '#include "low/low.h"' >"$project/side/side.h"
    (cd "$project" && eval "$change")
    if output=$(cmake -S "$project" -B "$project/build" 2>&1); then status=0; else status=1; fi
    output=$(tr -s ' \n' ' ' <<<"$output")
    if [ -z "$expected" ] && [ "$status" = 0 ]; then
        echo "ok   $name"
    elif [ -z "$expected" ]; then
        echo "FAIL $name: the configure step stopped: $output"; failures=$((failures + 1))
    elif [ "$status" = 0 ]; then
        echo "FAIL $name: the configure step passed"; failures=$((failures + 1))
    elif [[ "$output" != *"$expected"* ]]; then
        echo "FAIL $name: no \"$expected\" in: $output"; failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
done
exit "$failures"
