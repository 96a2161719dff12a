#!/usr/bin/env bash
# Starts or stops a local Spark Connect server for the tests, from the pyspark in the project's .venv.
#
#   scripts/spark_connect_server.sh start DIR   start a server on a free loopback port, wait until it answers,
#                                               write its address (sc://127.0.0.1:PORT) to DIR/spark_connect.address
#   scripts/spark_connect_server.sh stop DIR    stop the server started for DIR (its pid is in DIR/spark_connect.pid)
#
# When NORQ_TEST_SPARK_REMOTE is already set (scripts/run_tests.sh starts one server for the whole run), `start`
# only writes that address and `stop` leaves the server alone. The server runs with ANSI mode off, the UTC time
# zone and PYSPARK_PYTHON set to the project's Python (Python UDFs run with the same minor version and
# scikit-learn). Its log is DIR/spark_connect.log. The server ends a result stream after 4 MB
# (NORQ_SPARK_MAX_STREAM_SIZE), so every larger result in the tests exercises the client's reattachment.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
action="${1:?usage: $0 start|stop DIR}"
dir="$(mkdir -p "${2:?usage: $0 start|stop DIR}" && cd "$2" && pwd)"
addr_file="$dir/spark_connect.address"
pid_file="$dir/spark_connect.pid"
log_file="$dir/spark_connect.log"
python="$root/.venv/bin/python"

stop_server() {
  [[ -f "$pid_file" ]] || return 0
  local pid
  pid="$(cat "$pid_file")"
  # The server runs in its own process group (setsid): stop the group, then make sure.
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL -- "-$pid" 2>/dev/null || true
  fi
  rm -f "$pid_file" "$addr_file"
}

case "$action" in
  start)
    if [[ -n "${NORQ_TEST_SPARK_REMOTE:-}" ]]; then
      echo "$NORQ_TEST_SPARK_REMOTE" > "$addr_file"
      echo "using the Spark Connect server at $NORQ_TEST_SPARK_REMOTE"
      exit 0
    fi
    stop_server
    [[ -x "$python" ]] || { echo "no Python environment at $python: run scripts/setup.sh" >&2; exit 1; }
    pyspark_dir="$("$python" -c 'import os, pyspark; print(os.path.dirname(pyspark.__file__))')"
    jar="$(ls "$pyspark_dir"/jars/spark-connect_*.jar | sort | tail -n 1)"
    port="$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
    export SPARK_HOME="$pyspark_dir" PYSPARK_PYTHON="$python" PYSPARK_DRIVER_PYTHON="$python" TZ=UTC
    export SPARK_LOCAL_IP=127.0.0.1
    setsid "$pyspark_dir/bin/spark-submit" \
      --master "local[2]" \
      --class org.apache.spark.sql.connect.service.SparkConnectServer \
      --conf spark.connect.grpc.binding.address=127.0.0.1 \
      --conf spark.connect.grpc.binding.port="$port" \
      --conf spark.sql.ansi.enabled=false \
      --conf spark.sql.session.timeZone=UTC \
      --conf spark.driver.extraJavaOptions=-Duser.timezone=UTC \
      --conf spark.executor.extraJavaOptions=-Duser.timezone=UTC \
      --conf spark.ui.enabled=false \
      --conf spark.connect.execute.reattachable.senderMaxStreamSize="${NORQ_SPARK_MAX_STREAM_SIZE:-4m}" \
      --conf spark.ui.showConsoleProgress=false \
      --driver-memory "${NORQ_SPARK_DRIVER_MEMORY:-2g}" \
      "$jar" > "$log_file" 2>&1 < /dev/null &
    echo $! > "$pid_file"
    # Wait until the server answers a query (a JVM start takes tens of seconds on a busy machine).
    deadline=$((SECONDS + ${NORQ_SPARK_START_TIMEOUT:-300}))
    until "$python" - "$port" <<'PY' 2>/dev/null
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1)
s.close()
PY
    do
      if ! kill -0 "$(cat "$pid_file")" 2>/dev/null; then
        echo "the Spark Connect server exited during startup; its log:" >&2
        tail -n 40 "$log_file" >&2
        rm -f "$pid_file"
        exit 1
      fi
      if (( SECONDS > deadline )); then
        echo "the Spark Connect server did not start within ${NORQ_SPARK_START_TIMEOUT:-300} s; its log:" >&2
        tail -n 40 "$log_file" >&2
        stop_server
        exit 1
      fi
      sleep 1
    done
    if ! "$python" -c "
import sys
from pyspark.sql import SparkSession
s = SparkSession.builder.remote('sc://127.0.0.1:$port').getOrCreate()
assert s.range(3).count() == 3
" >> "$log_file" 2>&1; then
      echo "the Spark Connect server on port $port does not answer queries; its log:" >&2
      tail -n 40 "$log_file" >&2
      stop_server
      exit 1
    fi
    echo "sc://127.0.0.1:$port" > "$addr_file"
    echo "Spark Connect server at sc://127.0.0.1:$port (pid $(cat "$pid_file"), log $log_file)"
    ;;
  stop)
    stop_server
    ;;
  *)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
