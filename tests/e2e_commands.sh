#!/usr/bin/env bash
# Every client command once against the simulated servers of variants A (ISO
# 8859-15 on the server) and C (UTF-8), with names carrying the euro sign
# and accented letters; Ctrl/C ends each server.
#   e2e_commands.sh <build dir>
source "$(dirname "$0")/e2e_lib.sh" "$1"
session a
session c
finish
