#!/usr/bin/env bash
# Runs a command on a virtual X display of its own: starts Xvfb on the first free display
# number from 71 on, points DISPLAY at it, and stops it when the command ends.
set -u
pid=""
for n in $(seq 71 120); do
  [ -e "/tmp/.X$n-lock" ] && continue
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    [ -S "/tmp/.X11-unix/X$n" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  # Another run may have taken the number in between: Xvfb then exits and the next one is tried.
  if kill -0 "$pid" 2>/dev/null && [ -S "/tmp/.X11-unix/X$n" ]; then break; fi
  pid=""
done
if [ -z "$pid" ]; then
  echo "with_display.sh: no display could be started"
  exit 1
fi
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null' EXIT
DISPLAY=":$n" "$@"
