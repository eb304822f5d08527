#!/usr/bin/env bash
# Starts or stops a throw-away PostgreSQL server for the table database tests.
#
#   eval "$(bash scripts/pg-test-server.sh start)"   # prints export lines
#   ... tests read ARVCORE_TEST_PG_URL ...
#   bash scripts/pg-test-server.sh restart            # (tests of reconnection)
#   bash scripts/pg-test-server.sh stop               # uses ARVCORE_PG_TEST_DIR
#
# The server listens on loopback only, on a free port, with its data, socket and log in a new
# temporary directory; it trusts local connections, so the URL carries no password. As root
# (CI) it runs as the `postgres` user, since PostgreSQL refuses to run as root. Without a
# server binary, `start` says so on standard error and prints nothing to evaluate.
set -euo pipefail

find_bin() {
  local dir
  dir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$dir" ] && [ -x "$dir/initdb" ]; then
    echo "$dir"
  elif command -v initdb >/dev/null 2>&1; then
    dirname "$(command -v initdb)"
  fi
}

as_server_user() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

start() {
  local bin dir port
  bin=$(find_bin)
  if [ -z "$bin" ]; then
    echo "pg-test-server: no PostgreSQL server binary installed (initdb not found)" >&2
    return 0
  fi
  dir=$(mktemp -d "${TMPDIR:-/tmp}/arvcore-pg.XXXXXX")
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
  port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  as_server_user "$bin/initdb" -D "$dir/data" -A trust -U postgres --no-sync >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2
    return 1
  }
  as_server_user "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null || {
    cat "$dir/server.log" >&2
    return 1
  }
  echo "export ARVCORE_PG_TEST_DIR='$dir'"
  echo "export ARVCORE_TEST_PG_URL='postgresql://postgres@127.0.0.1:$port/postgres'"
}

restart() {
  local dir="${ARVCORE_PG_TEST_DIR:?no test server started}" bin
  bin=$(find_bin)
  as_server_user "$bin/pg_ctl" -D "$dir/data" -m fast -w restart >/dev/null
}

stop() {
  local dir="${ARVCORE_PG_TEST_DIR:-}" bin
  [ -n "$dir" ] && [ -d "$dir/data" ] || return 0
  bin=$(find_bin)
  as_server_user "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  restart) restart ;;
  *)
    echo "usage: $0 start|stop|restart" >&2
    exit 2
    ;;
esac
