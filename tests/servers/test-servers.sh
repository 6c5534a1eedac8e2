#!/bin/bash
# Local HTTP/HTTPS servers for the file-transfer tests.
#
#   tests/servers/test-servers.sh start DIR   generate test PKI and content, start
#                                       nginx and tests/servers/http_helper.py
#   tests/servers/test-servers.sh stop DIR    stop both (harmless if nothing runs)
#
# Everything (config, PKI, logs, pid files, nginx temp dirs) lives under DIR;
# servers listen on loopback only.  Ports can be changed with FH_HTTP_PORT
# (18080), FH_HTTPS_PORT (18443) and FH_HELPER_PORT (18081).  FH_IPV6=0 turns
# off the extra nginx listeners on [::1].  After a successful start,
# DIR/servers.env holds HTTP_PORT, HTTPS_PORT, HELPER_PORT and TEST_DIR.
set -euo pipefail

HTTP_PORT="${FH_HTTP_PORT:-18080}"
HTTPS_PORT="${FH_HTTPS_PORT:-18443}"
HELPER_PORT="${FH_HELPER_PORT:-18081}"
SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)"
NGINX="$(command -v nginx || echo /usr/sbin/nginx)"
PYTHON=/usr/bin/python3
CURL=(curl --noproxy '*' -fsS -o /dev/null --max-time 2)

die() { echo "test-servers: $*" >&2; exit 1; }
. "$(dirname "${BASH_SOURCE[0]}")/server-lib.sh"


# stop_pid PIDFILE PATTERN: SIGTERM, wait up to 5 s, then SIGKILL.
stop_pid() {
  local pid
  if pid="$(running_pid "$1" "$2")"; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      running_pid "$1" "$2" >/dev/null || break
      sleep 0.1
    done
    if running_pid "$1" "$2" >/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  fi
  rm -f "$1"
}

stop_all() {
  # nginx's fast shutdown (TERM) rather than "quit": a graceful quit would
  # wait for requests parked on /stall/ to finish.
  stop_pid "$DIR/nginx.pid" "nginx: master process"
  stop_pid "$DIR/http_helper.pid" "http_helper.py"
  rm -f "$DIR/servers.env"
}

# leaf_cert NAME SUBJECT EXTENSION...: key + certificate signed by the test CA.
leaf_cert() {
  local d="$DIR/pki" name="$1" subj="$2"
  shift 2
  [ -s "$d/$name.pem" ] && [ -s "$d/$name.key" ] && return 0
  openssl req -new -newkey rsa:2048 -nodes -subj "$subj" \
    -keyout "$d/$name.key" -out "$d/$name.csr" 2>/dev/null
  openssl x509 -req -in "$d/$name.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" \
    -set_serial "0x$(openssl rand -hex 8)" -days 3650 -sha256 -out "$d/$name.pem" \
    -extfile <(printf '%s\n' basicConstraints=CA:FALSE subjectKeyIdentifier=hash \
      authorityKeyIdentifier=keyid "$@") 2>/dev/null
  rm -f "$d/$name.csr"
}

make_pki() {
  local d="$DIR/pki"
  mkdir -p "$d"
  if [ ! -s "$d/ca.pem" ] || [ ! -s "$d/ca.key" ]; then
    rm -f "$d"/server.* "$d"/client.*  # they would not chain to a new CA
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 3650 \
      -subj "/CN=File transfer test CA" -keyout "$d/ca.key" -out "$d/ca.pem" \
      -addext "basicConstraints=critical,CA:TRUE" \
      -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  fi
  leaf_cert server /CN=localhost "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1" \
    extendedKeyUsage=serverAuth keyUsage=critical,digitalSignature,keyEncipherment
  leaf_cert client /CN=fhclient extendedKeyUsage=clientAuth \
    keyUsage=critical,digitalSignature,keyEncipherment
}

make_content() {
  mkdir -p "$DIR/www/files" "$DIR/uploads" "$DIR/logs" "$DIR/tmp"
  [ -e "$DIR/www/files/hello.txt" ] || printf 'hello world\n' >"$DIR/www/files/hello.txt"
  [ -e "$DIR/www/files/1m.bin" ] || head -c 1048576 /dev/urandom >"$DIR/www/files/1m.bin"
  printf 'fhuser:%s\n' "$(openssl passwd -apr1 fhpass)" >"$DIR/htpasswd"
}

# listen_lines PORT [ssl]: loopback listeners for one server block.
listen_lines() {
  echo "        listen 127.0.0.1:$1${2:+ $2};"
  if [ "${FH_IPV6:-1}" != 0 ] &&
    "$PYTHON" -c 'import socket; socket.socket(socket.AF_INET6).bind(("::1", 0))' 2>/dev/null; then
    echo "        listen [::1]:$1${2:+ $2};"
  fi
}

# Locations shared by the HTTP and HTTPS servers.
locations() {
  local proxy="proxy_pass http://127.0.0.1:$HELPER_PORT; client_max_body_size 0;"
  cat <<EOF
        root "$DIR/www";
        location /files/ { }
        location /redirect/ { rewrite ^/redirect/(.*)\$ /files/\$1 redirect; }
        location /redirect-rel/ {
            absolute_redirect off;
            rewrite ^/redirect-rel/(.*)\$ /files/\$1 redirect;
        }
        location /redirect-loop/ { return 302 \$uri; }
        location /auth/ {
            auth_basic "file transfer test";
            auth_basic_user_file "$DIR/htpasswd";
            alias "$DIR/www/files/";
        }
        location /mtls/ {
            if (\$ssl_client_verify != SUCCESS) { return 403; }
            alias "$DIR/www/files/";
        }
        location /upload/ { $proxy }
        location /status/ { $proxy }
        location /stall/ { $proxy }
        # Pass the close-delimited body on as it is instead of re-framing it
        # with chunked encoding.
        location /nolen/ { $proxy chunked_transfer_encoding off; }
EOF
}

write_nginx_conf() {
  local user=""
  # Workers run as the caller so they can read files the tests put in DIR.
  [ "$(id -u)" = 0 ] && user="user $(id -un) $(id -gn);"
  cat >"$DIR/nginx.conf" <<EOF
# Generated by tests/servers/test-servers.sh; rewritten on every start.
$user
worker_processes 1;
pid "$DIR/nginx.pid";
lock_file "$DIR/nginx.lock";
error_log "$DIR/logs/error.log" info;
events { worker_connections 512; }
http {
    access_log "$DIR/logs/access.log";
    client_body_temp_path "$DIR/tmp/client_body";
    proxy_temp_path "$DIR/tmp/proxy";
    fastcgi_temp_path "$DIR/tmp/fastcgi";
    uwsgi_temp_path "$DIR/tmp/uwsgi";
    scgi_temp_path "$DIR/tmp/scgi";
    types { text/plain txt; text/html html; }
    default_type application/octet-stream;
    sendfile on;
    # Settings for the locations proxied to http_helper.py: stream request
    # and response bodies instead of spooling them to temp files.
    proxy_http_version 1.1;
    proxy_request_buffering off;
    proxy_buffering off;
    # Long enough that /stall/ stays silent until the client gives up.
    proxy_read_timeout 900s;
    proxy_send_timeout 900s;

    server {
$(listen_lines "$HTTP_PORT")
        server_name localhost;
$(locations)
    }
    server {
$(listen_lines "$HTTPS_PORT" ssl)
        server_name localhost;
        ssl_certificate "$DIR/pki/server.pem";
        ssl_certificate_key "$DIR/pki/server.key";
        ssl_client_certificate "$DIR/pki/ca.pem";
        ssl_verify_client optional;
$(locations)
    }
}
EOF
}

wait_ready() {
  for _ in $(seq 100); do
    if "${CURL[@]}" "http://127.0.0.1:$HTTP_PORT/files/hello.txt" 2>/dev/null &&
      "${CURL[@]}" --cacert "$DIR/pki/ca.pem" "https://127.0.0.1:$HTTPS_PORT/files/hello.txt" 2>/dev/null &&
      "${CURL[@]}" "http://127.0.0.1:$HELPER_PORT/status/200/" 2>/dev/null; then
      return 0
    fi
    running_pid "$DIR/http_helper.pid" http_helper.py >/dev/null || return 1
    sleep 0.1
  done
  return 1
}

start() {
  stop_all  # a previous instance in the same DIR
  make_pki
  make_content
  write_nginx_conf

  "$PYTHON" "$SCRIPT_DIR/http_helper.py" --dir "$DIR" --port "$HELPER_PORT" \
    </dev/null >>"$DIR/http_helper.log" 2>&1 &
  echo "$!" >"$DIR/http_helper.pid"

  if ! "$NGINX" -p "$DIR/" -c "$DIR/nginx.conf" -e "$DIR/logs/error.log" ||
    ! wait_ready; then
    echo "test-servers: start failed; see $DIR/logs/error.log and $DIR/http_helper.log" >&2
    tail -n 5 "$DIR/logs/error.log" "$DIR/http_helper.log" >&2 2>/dev/null || true
    stop_all
    exit 1
  fi
  printf '%s\n' "HTTP_PORT=$HTTP_PORT" "HTTPS_PORT=$HTTPS_PORT" \
    "HELPER_PORT=$HELPER_PORT" "TEST_DIR=$DIR" >"$DIR/servers.env"
  echo "test servers up: http://127.0.0.1:$HTTP_PORT https://127.0.0.1:$HTTPS_PORT" \
    "helper http://127.0.0.1:$HELPER_PORT (dir $DIR)"
}

fh_server_main "$@" "$HTTP_PORT" "$HTTPS_PORT" "$HELPER_PORT"
