#!/bin/sh
# The Wine wrapper on a machine that refuses 32-bit programs, imitated by a
# "wine" first on PATH that fails as Debian's does there: it must say so, and
# still run the 64-bit program through the 64-bit loader.
# Usage: loader-check.sh WINE-WRAPPER IMITATION-DIR PROGRAM.exe
set -u
wrapper=$1 imitation=$2 program=$3
status=0

said=$(env -u KEEPAWAKE_WINE32 PATH="$imitation:$PATH" "$wrapper" --32-bit)
code=$?
echo "imitated: --32-bit said '$said', exit $code"
case $said in "no: this machine cannot execute 32-bit programs"*) ;; *) echo "FAIL: not recognised as refusing 32-bit programs"; status=1 ;; esac
[ "$code" -eq 1 ] || { echo "FAIL: --32-bit exit $code, expected 1"; status=1; }

version=$(env -u KEEPAWAKE_WINE32 PATH="$imitation:$PATH" "$wrapper" "$program" --version </dev/null | tr -d '\r')
echo "imitated: keepawake.exe --version said '$version'"
case $version in "keepawake "[0-9]*) ;; *) echo "FAIL: the 64-bit program did not run"; status=1 ;; esac

# A saved answer is taken as it is, without starting any loader.
said=$(KEEPAWAKE_WINE32="no: told so" PATH="$imitation:$PATH" "$wrapper" --32-bit)
[ "$said" = "no: told so" ] || { echo "FAIL: saved answer not used: '$said'"; status=1; }
exit $status
