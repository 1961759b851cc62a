#!/bin/sh
# Shows a folder in the desktop's file browser. The file browser may take a while to come up,
# so it is started in the background and the caller is not kept waiting.
if [ $# -ne 1 ]; then
    echo "usage: revealInFinder.sh <folder>" >&2
    exit 2
fi
if ! command -v xdg-open >/dev/null 2>&1; then
    echo "xdg-open not found" >&2
    exit 1
fi
folder=$1
# A relative name starting with "-" would be taken for an option.
case "$folder" in
/*) ;;
*) folder=$PWD/$folder ;;
esac
# Our standard output is read by the caller until we exit; the background job must not keep it.
xdg-open "$folder" </dev/null >/dev/null &
exit 0
