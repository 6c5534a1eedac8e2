# Sourced by the scripts that need the local test servers. Call fh_servers_up once inside
# the private namespace: it starts every server, stops them all on exit, loads
# servers.env (HTTP_PORT, HTTPS_PORT, HELPER_PORT, TEST_DIR) and exports the paths of the
# env files that the tests read (FH_TEST_SERVERS, FH_SSH_FTP_ENV, FH_SHARE_ENV, FH_TFTP_ENV).
fh_servers_dir=/var/tmp/fh-servers
fh_servers_up() {
  local here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  # shellcheck disable=SC2064
  trap "'$here/tftp-server.sh' stop '$fh_servers_dir/tftp' >/dev/null 2>&1 || true
        '$here/share-servers.sh' stop '$fh_servers_dir/share' >/dev/null 2>&1 || true
        '$here/ssh-ftp-servers.sh' stop '$fh_servers_dir/ssh' >/dev/null 2>&1 || true
        '$here/test-servers.sh' stop '$fh_servers_dir' >/dev/null 2>&1 || true" EXIT
  "$here/test-servers.sh" start "$fh_servers_dir" >/dev/null
  "$here/ssh-ftp-servers.sh" start "$fh_servers_dir/ssh" >/dev/null
  "$here/share-servers.sh" start "$fh_servers_dir/share" >/dev/null
  "$here/tftp-server.sh" start "$fh_servers_dir/tftp" >/dev/null
  export FH_TEST_SERVERS=$fh_servers_dir/servers.env
  export FH_SSH_FTP_ENV=$fh_servers_dir/ssh/ssh-ftp.env
  export FH_SHARE_ENV=$fh_servers_dir/share/share.env
  export FH_TFTP_ENV=$fh_servers_dir/tftp/tftp.env
  # shellcheck disable=SC1091
  . "$fh_servers_dir/servers.env"
}
