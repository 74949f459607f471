#!/bin/bash
# Pictures of every dialog and every tab of the properties dialog (Qt's
# offscreen platform, no display needed), for a person to look at. The same
# test checks in the suite that each of them renders.
#
# usage: scripts/screenshots.sh [DIR]     (default: build/screenshots)
# Uses the test program of build/asan (made by ./test), building it if needed.
set -eu
cd "$(dirname "$0")/.."
out=${1:-build/screenshots}
mkdir -p "$out"
if [ ! -f build/asan/build.ninja ]; then
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSORVIK_WERROR=ON \
    -DSORVIK_SANITIZE=address,undefined -DSORVIK_BUILD_BENCH=ON >/dev/null
fi
cmake --build build/asan --target gui_dialogs_test >/dev/null
SORVIK_SHOTS_DIR=$(realpath "$out") QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} \
  build/asan/tests/app/gui/gui_dialogs_test --gtest_filter='Screenshots.*'
ls "$out"/*.png
