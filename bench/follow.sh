#!/usr/bin/env bash
# How fast the system source follows the default sink, and how fast a capture
# has audio again after its server comes back, on each test server:
#   bench/follow.sh [BUILD_DIR] [SWITCHES]
# Needs a build with tests and benchmarks (the tone player and the bench).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
switches=${2:-20}
for server in pulseaudio pipewire; do
    echo "== $server"
    QUORBEL_TEST_SERVER=$server bash tests/pulse/private-server.sh \
        "$build/bench/quorbel_follow_bench" "$build/tests/pulse/quorbel_tone_player" "$switches"
done
