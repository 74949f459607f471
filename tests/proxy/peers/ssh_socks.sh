#!/bin/sh
# A SOCKS 4 / 4A / 5 proxy (no authentication) on 127.0.0.1:PORT made of OpenSSH
# dynamic forwarding, with no sshd listening anywhere: ssh starts "sshd -i"
# (inetd mode) as its ProxyCommand, so this one foreground process (the script
# execs ssh) serves the port, and the sshd child ends with it.
#
# usage: ssh_socks.sh DIR PORT   DIR: scratch directory for keys and config
# needs: openssh-client, openssh-server; root, or a user sshd accepts keys for
# ready: when 127.0.0.1:PORT accepts connections
set -eu
D=$1
PORT=$2
mkdir -p "$D"
D=$(cd "$D" && pwd)
SSHD=$(command -v sshd || echo /usr/sbin/sshd)
# sshd's privilege-separation directory, normally made by the service manager.
[ -d /run/sshd ] || install -d -m 0755 /run/sshd 2>/dev/null || true
[ -f "$D/hostkey" ] || ssh-keygen -q -t ed25519 -N '' -f "$D/hostkey"
[ -f "$D/clientkey" ] || ssh-keygen -q -t ed25519 -N '' -f "$D/clientkey"
cp "$D/clientkey.pub" "$D/authorized_keys"
cat >"$D/sshd_config" <<CFG
HostKey $D/hostkey
AuthorizedKeysFile $D/authorized_keys
PidFile none
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
AllowTcpForwarding yes
PermitRootLogin prohibit-password
LogLevel ERROR
CFG
exec ssh -F /dev/null -N -D "127.0.0.1:$PORT" -i "$D/clientkey" \
  -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
  -o ExitOnForwardFailure=yes -o LogLevel=ERROR \
  -o ProxyCommand="$SSHD -i -e -f $D/sshd_config" "$(id -un)@sshd-inetd"
