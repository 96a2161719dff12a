#!/usr/bin/env bash
# TLS and bearer tokens against the local Spark Connect server: makes a certificate authority and a server
# certificate for 127.0.0.1/localhost with openssl, runs nginx terminating TLS (HTTP/2, gRPC) in front of the
# server and accepting only one bearer token, then runs the Tls.* cases of connect_tests trusting that CA.
#   tls_test.sh CONNECT_TESTS ADDRESS_FILE
set -euo pipefail
tests="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
address="$(cat "$2")"
spark_port="${address##*:}"
command -v nginx >/dev/null || { echo "nginx is not installed (scripts/setup.sh installs it)"; exit 77; }
command -v openssl >/dev/null || { echo "openssl is not installed (scripts/setup.sh installs it)"; exit 77; }

dir="$(mktemp -d)"
nginx_pid=""
cleanup() {
  if [[ -n "$nginx_pid" ]]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

cd "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=norq test CA" -keyout ca.key -out ca.pem \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' > ext.cnf
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext.cnf -out server.pem 2>/dev/null

port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
token="norq-test-token-$RANDOM$RANDOM"
mkdir -p logs tmp
cat > nginx.conf <<CONF
daemon off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/logs/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $dir/tmp;
  proxy_temp_path $dir/tmp;
  server {
    listen 127.0.0.1:$port ssl http2;
    ssl_certificate $dir/server.pem;
    ssl_certificate_key $dir/server.key;
    location / {
      if (\$http_authorization != "Bearer $token") { return 401; }
      grpc_pass grpc://127.0.0.1:$spark_port;
      grpc_read_timeout 600s;
      grpc_send_timeout 600s;
    }
  }
}
CONF
nginx -p "$dir" -c "$dir/nginx.conf" &
nginx_pid=$!
for _ in $(seq 1 50); do
  if python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), timeout=1)" 2>/dev/null; then break; fi
  sleep 0.2
done

export GRPC_DEFAULT_SSL_ROOTS_FILE_PATH="$dir/ca.pem"
export NORQ_TEST_TLS_PORT="$port" NORQ_TEST_TLS_TOKEN="$token"
"$tests" --gtest_filter='Tls.*'
