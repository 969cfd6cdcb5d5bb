#!/bin/sh
# Runs a command on a private X display (Xvfb) with a real window manager (openbox), for tests of
# windows, placement and focus. Falls back to running it as it is when Xvfb is not installed.
if ! command -v xvfb-run >/dev/null 2>&1; then
    exec "$@"
fi
exec xvfb-run -a -s "-screen 0 1440x900x24 -nolisten tcp" sh -c '
    if command -v openbox >/dev/null 2>&1; then
        openbox --sm-disable >/dev/null 2>&1 &
        wm=$!
        sleep 0.5
    fi
    "$@"
    status=$?
    [ -n "$wm" ] && kill "$wm" 2>/dev/null
    exit $status
' desktop-session "$@"
