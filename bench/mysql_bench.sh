#!/bin/sh
# Runs bench_mysql against a private MariaDB server in a network namespace
# of its own (tests/system/mariadb.py). Needs root.
#
#   bench/mysql_bench.sh [BUILD_DIR] [-- MARIADBD_OPTION...]
#
# Server options after "--" go to mariadbd, for example
#   bench/mysql_bench.sh build -- --innodb-flush-log-at-trx-commit=2
# to measure a server that does not flush its log at every row.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
[ $# -gt 0 ] && shift
[ "${1:-}" = "--" ] && shift
program=$(cd "$build" && pwd)/bench/bench_mysql
[ -x "$program" ] || { echo "$program: not built" >&2; exit 1; }

exec /usr/bin/python3 - "$here/../tests/system" "$program" "$@" <<'PYTHON'
import sys
sys.path.insert(0, sys.argv[1])
import mariadb

program, options = sys.argv[2], sys.argv[3:]
with mariadb.PrivateServer(prefix="norvobench", server_options=options) as server:
    server.install_norvo_schema()
    result = server.run_in_netns([program], timeout=1800,
                                 env=server.test_environment())
    sys.stdout.write(result.stdout)
    sys.stderr.write(result.stderr)
sys.exit(result.returncode)
PYTHON
