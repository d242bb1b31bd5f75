#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages that building and testing need, only where one is missing.
set -e
packages="g++ cmake ninja-build libgtest-dev util-linux"
[ -n "$EOLFIX_EXTRA_PACKAGES" ] && packages="$packages $EOLFIX_EXTRA_PACKAGES"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
$sudo apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
