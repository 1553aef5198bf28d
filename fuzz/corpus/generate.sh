#!/bin/bash
# regenerates the seed corpora of fuzz/corpus/<target>/ from valid examples:
# the card targets replay their requests against the card emulator
# (make_corpus.cpp), the ipc framing takes the emulated driver's messages,
# the text targets get the files written below.
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

ninja -C "$build" -j1 make_ipc_corpus $(for t in "${!seeds[@]}"; do echo "make_corpus_$t"; done)

fresh() {
  rm -rf "${here:?}/$1"
  mkdir -p "$here/$1"
}

for t in "${!seeds[@]}"; do
  fresh "$t"
  # the targets' scratch files stay out of the tree
  TMPDIR=$(mktemp -d) "$build/fuzz/make_corpus_$t" "$here/$t" ${seeds[$t]}
done

fresh ipc_frame
"$build/fuzz/make_ipc_corpus" "$here/ipc_frame"

fresh config
cat > "$here/config/full.json" <<'JSON'
{"log_dir": "/var/log", "telemetry_dir": "/var/run", "worker_wait": "sleep",
 "filter": {"card": {"liveness_poll_interval": 200000},
  "lif": {"poll_interval": 100000, "counters": [
   {"counter": "tx_rdma_unicast_bytes", "cumulative": true, "action": {"stats_record": true}},
   {"counter": "rx_rdma_unicast_bytes", "cumulative": false, "threshold": {"value": 1000},
    "action": {"stats_record": true, "event_record": true}}]},
  "port": {"poll_interval": 100000, "counters": [
   {"counter": "frames_tx_ok", "cumulative": true, "action": {"stats_record": true}}]}}}
JSON
cat > "$here/config/minimal.json" <<'JSON'
{"filter": {"lif": {"counters": []}, "port": {"counters": []}}}
JSON
cat > "$here/config/spin.json" <<'JSON'
{"worker_wait": "spin", "filter": {"lif": {"poll_interval": 100, "counters": [
 {"counter": "rx_bytes", "action": {"event_record": true}}]}, "port": {"poll_interval": 5000, "counters": []}}}
JSON

fresh manifest
manifest() {  # NAME BOARD_BYTE TEXT
  { printf "\\x$2"; printf '%s' "$3"; } > "$here/manifest/$1"
}
manifest match_board 00 '{"package_version": "2", "software_version": "1.2.3-45", "asic_compat_list": ["talmira"],
 "package_compat": {"board_policy": "match-boardid", "boardid": ["0x00000001", "0x00000002"]}}'
manifest accept 02 '{"package_version": "3", "software_version": "1.4.2-E-57", "asic_compat_list": ["talmira"],
 "package_compat": {"board_policy": "accept"}}'
manifest policy2 01 '{"software_version": "1.2.3-15", "asic_compat_list": ["sevrin", "talmira"],
 "package_compat": {"board_policy": "accept", "board_policy2": "match-boardid", "boardid": ["0x00000002"]}}'

fresh boot_count
printf '12\n' > "$here/boot_count/plain"
printf '  +42 and more\n7\n' > "$here/boot_count/signed"
printf -- '-3' > "$here/boot_count/negative"
printf '4294967301\n' > "$here/boot_count/wide"

for t in "${!seeds[@]}" ipc_frame config manifest boot_count; do
  mkdir -p "$here/../crashes/$t"
  [ -n "$(ls -A "$here/../crashes/$t")" ] || touch "$here/../crashes/$t/.keep"
done
