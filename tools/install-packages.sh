#!/bin/sh
# Installs the Debian packages named as arguments that are not installed yet
# (as root, after apt-get update); does nothing when all are present.
missing=""
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
if [ "$(id -u)" != 0 ]; then
  echo "run as root to install:$missing" >&2
  exit 1
fi
apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
