#!/bin/bash
# regenerates the seed corpora of the card targets in fuzz/corpus/<target>/:
# each replays its requests against the card emulator (make_corpus.cpp). the
# seeds of the ipc framing and of the text targets (configuration, manifest,
# boot count) are files kept as they are.
#
#   fuzz/corpus/generate.sh BUILD_DIR    (a configured build directory)
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)

declare -A seeds=(
  [device_info]="fru_mac=00 running_image=01 device_role=02 heartbeat=03 time=04 cmb=05"
  [ports]="discovery="
  [lif_walk]="walk="
  [coredump]="card=00 suc=01"
  [dtb]="type1=01e803 type2=020002 type3=030008 type4=04bc02 size_only=010000"
  [qsfp]="read=00800000 dom_read=01800000 queries=02000000 write=03100000 led=04000000 plain_read=05000100"
  [cpld]="fru=000001 fru_plain=014000 cpld=020000 reg=030000 sensors=040000 reset=050000 led=060000"
  [rfc_flash]="erase=00 erase_hash=01 write=02 write_small=12 verify=03 checksum=04 startup=05 sector_erase=06 startup_image=07 operation=08"
  [rfc_secure]="info_fuses=0001 info_records=0002 info_bl31=1003 info_partitions=0004 update=0101 secure_boot=0200 signed_meta=0300 signature=0400"
  [rfc_info]="card_info=0000 card_info_file=1000 versions=0100 partition_one=0209 partition_all=0215 metadata=030b xcvr=0401"
)

ninja -C "$build" -j1 $(for t in "${!seeds[@]}"; do echo "make_corpus_$t"; done)

fresh() {
  rm -rf "${here:?}/$1"
  mkdir -p "$here/$1"
}

for t in "${!seeds[@]}"; do
  fresh "$t"
  # the targets' scratch files stay out of the tree
  TMPDIR=$(mktemp -d) "$build/fuzz/make_corpus_$t" "$here/$t" ${seeds[$t]}
  mkdir -p "$here/../crashes/$t"
  [ -n "$(ls -A "$here/../crashes/$t")" ] || touch "$here/../crashes/$t/.keep"
done
