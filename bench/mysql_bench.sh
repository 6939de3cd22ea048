#!/bin/sh
# Runs bench_mysql against a private MariaDB server in a network namespace
# of its own (tests/system/mariadb.py). Needs root.
#
#   bench/mysql_bench.sh [BUILD_DIR] [--reference PROGRAM] [-- MARIADBD_OPTION...]
#
# --reference runs another build's bench_mysql (for example one of an older
# commit) on the same server right before this one, against the table with
# the key and the one without, so the figures compare within one run. Server options after "--" go to mariadbd, for example
#   bench/mysql_bench.sh build -- --innodb-flush-log-at-trx-commit=2
# to measure a server that does not flush its log at every commit.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build
case "${1:-}" in --*|"") ;; *) build=$1; shift ;; esac
reference=
if [ "${1:-}" = "--reference" ]; then
    reference=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
    shift 2
fi
[ "${1:-}" = "--" ] && shift
program=$(cd "$build" && pwd)/bench/bench_mysql
[ -x "$program" ] || { echo "$program: not built" >&2; exit 1; }

exec /usr/bin/python3 - "$here/../tests/system" "$program" "$reference" "$@" <<'PYTHON'
import sys
sys.path.insert(0, sys.argv[1])
import mariadb

program, reference, options = sys.argv[2], sys.argv[3], sys.argv[4:]
status = 0
with mariadb.PrivateServer(prefix="norvobench", server_options=options) as server:
    server.install_norvo_schema()
    server.add_table_without_key("nokey")
    env = server.test_environment()
    env["NORVO_TEST_MYSQL_NOKEY_TABLE"] = "nokey"
    runs = [("this build", program, env)]
    if reference:
        # An older program knows one table only: run it on each.
        for table in ("traffic", "nokey"):
            ref_env = dict(env, NORVO_TEST_MYSQL_TABLE=table)
            runs.insert(-1, ("reference, table %s" % table, reference, ref_env))
    for title, path, run_env in runs:
        print("== %s: %s" % (title, path), flush=True)
        result = server.run_in_netns([path], timeout=1800, env=run_env)
        sys.stdout.write(result.stdout)
        sys.stderr.write(result.stderr)
        status = status or result.returncode
sys.exit(status)
PYTHON
