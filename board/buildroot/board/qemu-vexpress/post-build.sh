#!/bin/sh
# The read-only area the player expects, for the emulated board: DejaVu Sans stands in for its
# font (a real board's /rom is the integrator's, with its own font and boot media), and /data
# holds the player's persistent state.
set -eu
target_dir=$1
mkdir -p "$target_dir/rom/vorlix/fonts" "$target_dir/data"
ln -sf ../../../usr/share/fonts/dejavu/DejaVuSans.ttf "$target_dir/rom/vorlix/fonts/Futura_Medium.ttf"
