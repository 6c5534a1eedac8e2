# Sourced by the scripts that need the local test servers. Call fh_servers_up once inside
# the private namespace: it starts the servers, stops them on exit, and loads
# servers.env (HTTP_PORT, HTTPS_PORT, HELPER_PORT, TEST_DIR).
fh_servers_dir=/var/tmp/fh-servers
fh_servers_up() {
  local root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  # shellcheck disable=SC2064
  trap "'$root/scripts/test-servers.sh' stop '$fh_servers_dir' >/dev/null 2>&1 || true" EXIT
  "$root/scripts/test-servers.sh" start "$fh_servers_dir" >/dev/null
  # shellcheck disable=SC1091
  . "$fh_servers_dir/servers.env"
}
