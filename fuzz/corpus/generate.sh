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
  [discovery]="ports_discovery=00 lifs_walk=01"
  [dump]="coredump_card=00 coredump_suc=01 dtb_type1=0201e803 dtb_type2=02020002 dtb_type3=02030008 dtb_type4=0204bc02 dtb_size_only=02010000"
  [qsfp]="read=00800000 dom_read=01800000 queries=02000000 write=03100000 led=04000000 plain_read=05000100"
  [cpld]="fru=000001 fru_plain=014000 cpld=020000 reg=030000 sensors=040000 reset=050000 led=060000"
  [rfc]="flash_erase=00 flash_erase_hash=01 flash_write=02 flash_write_small=12 flash_verify=03 flash_checksum=04 flash_startup=05 flash_sector_erase=06 flash_startup_image=07 flash_operation=08 info_card_info=2000 info_card_info_file=3000 info_versions=2100 info_partition_one=2209 info_partition_all=2215 info_metadata=230b info_xcvr=2401 secure_info_fuses=4001 secure_info_records=4002 secure_info_bl31=5003 secure_info_partitions=4004 secure_update=4101 secure_secure_boot=4200 secure_signed_meta=4300 secure_signature=4400")

ninja -C "$build" -j1 $(for t in "${!seeds[@]}"; do echo "make_corpus_$t"; done)

for t in "${!seeds[@]}"; do
  rm -rf "${here:?}/$t"
  mkdir -p "$here/$t"
  # the targets' scratch files stay out of the tree
  TMPDIR=$(mktemp -d) "$build/fuzz/make_corpus_$t" "$here/$t" ${seeds[$t]}
  mkdir -p "$here/../crashes/$t"
  [ -n "$(ls -A "$here/../crashes/$t")" ] || touch "$here/../crashes/$t/.keep"
done
