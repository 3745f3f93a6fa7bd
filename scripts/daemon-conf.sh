#!/usr/bin/env bash
# Prints a configuration of norv-syslog-send for the PostgreSQL cluster that
# the environment names (PGHOST, PGPORT: a private cluster's env file), with
# the log at $1 and the receiver on localhost port $2.
# Usage: scripts/daemon-conf.sh LOG_FILE RECEIVER_PORT >quillon.conf
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 LOG_FILE RECEIVER_PORT" >&2; exit 2; }
cat <<CONF
[LOG]
log_file=$1
[DB]
PGSQL_host=$PGHOST
PGSQL_port=$PGPORT
PGSQL_db=postgres
PGSQL_username=postgres
PGSQL_pwd=
[RECEIVER]
ip=localhost
port=$2
CONF
