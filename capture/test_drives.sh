#!/bin/sh
# The small file systems of the end-to-end tests in which a drive fails the
# handler (a ctest fixture; needs root, for mount):
#
#   test_drives.sh setup|cleanup FOLDER PREFIX LETTER USER
#
# setup mounts, under FOLDER,
#   tiny/      a 64 KiB tmpfs, mapped to drive LETTER: of the Wine prefix
#              PREFIX: a crash folder there fills up while the dump is written;
#   readonly/  a read-only tmpfs, linked in as the report cache folder of the
#              Wine user USER (AppData\LocalLow\Nelko\CrashReports).
# cleanup unmounts both and removes the links. Both are safe to repeat.
set -eu

action=$1 folder=$2 prefix=$3 letter=$4 user=$5
drive_link="$prefix/dosdevices/$(echo "$letter" | tr 'A-Z' 'a-z'):"
cache_parent="$prefix/drive_c/users/$user/AppData/LocalLow/Nelko"

# Mounting needs root: through sudo when the tests run as another user.
as_root=""
[ "$(id -u)" -eq 0 ] || as_root=sudo

unmount() {
  if mountpoint -q "$1"; then $as_root umount "$1" 2>/dev/null || $as_root umount -l "$1"; fi
}

case $action in
  setup)
    mkdir -p "$folder/tiny" "$folder/readonly" "$cache_parent"
    unmount "$folder/tiny"
    unmount "$folder/readonly"
    $as_root mount -t tmpfs -o size=64k,mode=0777 nelko-tiny-drive "$folder/tiny"
    $as_root mount -t tmpfs -o size=4k,ro nelko-readonly-cache "$folder/readonly"
    ln -sfn "$folder/tiny" "$drive_link"
    rm -rf "$cache_parent/CrashReports"
    ln -sfn "$folder/readonly" "$cache_parent/CrashReports"
    ;;
  cleanup)
    rm -f "$drive_link"
    rm -f "$cache_parent/CrashReports"
    unmount "$folder/tiny"
    unmount "$folder/readonly"
    ;;
  *)
    echo "usage: $0 setup|cleanup FOLDER PREFIX LETTER USER" >&2
    exit 2
    ;;
esac
