#!/bin/sh
# Runs a command against a Secret Service of its own: a private session bus with a fresh,
# unlocked gnome-keyring in a throw-away home. Exits 77 (skipped) when either is not installed.
set -eu
if ! command -v dbus-run-session >/dev/null || ! command -v gnome-keyring-daemon >/dev/null; then
  echo "dbus-run-session or gnome-keyring-daemon not installed: skipped"
  exit 77
fi
if [ -z "${SARVO_KEYRING_HOME:-}" ]; then
  home=$(mktemp -d)
  status=0
  SARVO_KEYRING_HOME="$home" dbus-run-session -- "$0" "$@" || status=$?
  rm -rf "$home"
  exit "$status"
fi

export HOME="$SARVO_KEYRING_HOME" XDG_DATA_HOME="$SARVO_KEYRING_HOME/data" XDG_RUNTIME_DIR="$SARVO_KEYRING_HOME/run"
mkdir -p "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
eval "$(printf 'sarvo-test' | gnome-keyring-daemon --unlock --components=secrets)"
# The daemon answers once it owns its bus name.
for _ in $(seq 100); do
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q "boolean true" && break
  sleep 0.1
done
status=0
SARVO_TEST_SECRET_SERVICE=1 "$@" || status=$?
[ -n "${GNOME_KEYRING_PID:-}" ] && kill "$GNOME_KEYRING_PID" 2>/dev/null || true
exit "$status"
