#!/bin/bash
# The init script's supervisor with a stand-in player and gadget script, under each shell a board
# may run it with (dash, BusyBox ash): start and status, the player back after a SIGKILL, a clean
# end left alone, stop, and no player when the gadget cannot be made. The real player on a real
# kernel is the bench's part.
#
#   init_test.sh SOURCE_DIR
set -uo pipefail
template=$1/board/S95tavimoro.in

. "$(dirname "$0")/checks.sh"

work=$(mktemp -d) || exit 1
trap '"$work/S95tavimoro" stop > /dev/null 2>&1; rm -rf "$work"' EXIT

# A player that runs until SIGTERM ends it with status 0, or until $work/end-cleanly appears.
cat > "$work/player" <<'PLAYER'
#!/bin/sh
trap 'exit 0' TERM
while [ ! -e "${0%/*}/end-cleanly" ]; do sleep 0.1; done
PLAYER
printf '#!/bin/sh\n[ ! -e "${0%%/*}/no-gadget" ]\n' > "$work/gadget"
chmod +x "$work/player" "$work/gadget"

# Waits up to five seconds for the test that follows.
settle() {
  local tries=50
  until "$@"; do
    ((tries-- > 0)) || return 1
    sleep 0.1
  done
}
player_pid() { cat "$work/run/tavimoro.pid" 2>/dev/null; }
new_player() { [ -n "$(player_pid)" ] && [ "$(player_pid)" != "$1" ] && kill -0 "$(player_pid)" 2>/dev/null; }
no_supervisor() { [ ! -e "$work/run/tavimoro-supervisor.pid" ]; }

for shell in /bin/dash "/bin/busybox sh"; do
  [ -x "${shell%% *}" ] || { echo "skipped under $shell: not installed"; continue; }
  sed -e "1s|.*|#!$shell|" -e "s|@TAVIMORO_PLAYER@|$work/player|" -e "s|@TAVIMORO_GADGET@|$work/gadget|" \
      -e "s|@TAVIMORO_IDENTITY@|$work/identity|" -e "s|@TAVIMORO_RUNDIR@|$work/run|g" \
      -e "s|@TAVIMORO_LOG@|$work/log|" -e "s|@TAVIMORO_DEFAULTS@|$work/defaults|g" "$template" > "$work/S95tavimoro"
  chmod +x "$work/S95tavimoro"
  init=$work/S95tavimoro
  rm -f "$work/end-cleanly" "$work/log"

  check "$shell: start" "$init" start
  check "$shell: a player runs" settle new_player none
  first=$(player_pid)
  check "$shell: status 0 while running" "$init" status
  check "$shell: a second start keeps the player" bash -c "'$init' start | grep -q 'already running'"
  check "$shell: still the first player" test "$(player_pid)" = "$first"

  kill -KILL "$first"
  check "$shell: a new player after SIGKILL" settle new_player "$first"
  check "$shell: the supervisor logged the crash" grep -q "ended with status 137; starting it again" "$work/log"

  second=$(player_pid)
  touch "$work/end-cleanly"
  check "$shell: a clean end is not restarted" settle no_supervisor
  check "$shell: ... and logged" grep -q "ended cleanly; not restarted" "$work/log"
  check "$shell: status 3 when stopped" bash -c "'$init' status; [ \$? -eq 3 ]"
  rm "$work/end-cleanly"

  check "$shell: start again" "$init" start
  check "$shell: a player runs again" settle new_player "$second"
  third=$(player_pid)
  check "$shell: stop" "$init" stop
  check "$shell: stop ends the player" bash -c "! kill -0 $third 2>/dev/null"
  check "$shell: stop ends the supervisor" no_supervisor

  touch "$work/no-gadget"
  check "$shell: no gadget, start fails" bash -c "! '$init' start 2>/dev/null"
  check "$shell: no gadget, no player" bash -c "sleep 0.5; no_supervisor() { [ ! -e '$work/run/tavimoro-supervisor.pid' ]; }; no_supervisor"
  rm "$work/no-gadget"
done

finish "init script checked"
