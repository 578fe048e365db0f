#!/bin/sh
# Stands in for cp, chmod, zip and chown in the log collection tests: appends
# how it was called (argument count, "uid:groups" it ran with, program,
# arguments, each ended by a NUL byte) to $VEXA_RECORD_FILE and exits with
# $VEXA_RECORD_EXIT (default 0). The tool named by $VEXA_RECORD_STALL hangs
# instead of exiting, as a tool blocked on a FIFO would.
printf '%s\0' "$#" "$(id -u):$(id -G)" "$0" "$@" >>"$VEXA_RECORD_FILE"
if [ -n "${VEXA_RECORD_STALL:-}" ] && [ "$(basename "$0")" = "$VEXA_RECORD_STALL" ]; then
    exec sleep 60
fi
exit "${VEXA_RECORD_EXIT:-0}"
