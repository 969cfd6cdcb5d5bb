#!/bin/sh
# Runs a command on a private X display (Xvfb) with a real window manager (openbox) and a session bus
# of its own (for AT-SPI, through which tests read windows as screen readers do), for tests of
# windows, placement and focus. Falls back to what is installed.
if command -v dbus-run-session >/dev/null 2>&1 && [ -z "${TAVOLIN_DESKTOP_BUS:-}" ]; then
    TAVOLIN_DESKTOP_BUS=1 exec dbus-run-session -- "$0" "$@"
fi
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
