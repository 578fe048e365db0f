#!/bin/sh
# Stands in for cp, chmod, zip and chown in the log collection tests: appends
# how it was called (argument count, program, arguments, each ended by a NUL
# byte) to $VEXA_RECORD_FILE and exits with $VEXA_RECORD_EXIT (default 0).
printf '%s\0' "$#" "$0" "$@" >>"$VEXA_RECORD_FILE"
exit "${VEXA_RECORD_EXIT:-0}"
