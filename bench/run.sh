#!/usr/bin/env bash
# Measures the disk paths, whole fcbackup runs and the hot loops, next to their anchors, and
# prints one table. Figures are ratios within this run; absolute times are for reading only.
#   FC_BENCH_OUT       results JSON (build-bench/results.json)
#   FC_BENCH_DISK_MIB  size of each bench disk in MiB (4096)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
need=()
command -v nbdkit >/dev/null 2>&1 || need+=(nbdkit)
command -v nbdcopy >/dev/null 2>&1 || need+=(libnbd-bin)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DFC_BUILD_BENCH=ON -DFC_BUILD_TESTS=OFF

out=${FC_BENCH_OUT:-build-bench/results.json}
mib=${FC_BENCH_DISK_MIB:-4096}
bin=build-bench/bin
work=$(mktemp -d "$PWD/build-bench/work.XXXXXX")
figures=$work/figures.json
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export FC_LOG_DIR=$work/logs

echo "== disk paths through the plug-in ($mib MiB disks)"
$bin/fcbench paths "$figures" "$work" "$mib"

echo "== nbdcopy from and into nbdkit's file plugin"
$bin/fcbench mkfile "$figures" "$work/source.img" "$mib"
truncate -s "${mib}M" "$work/target.img"
port_r=$((20000 + RANDOM % 20000)); port_w=$((port_r + 1))
nbdkit -f -i 127.0.0.1 -p "$port_r" file "$work/source.img" & pids+=($!)
nbdkit -f -i 127.0.0.1 -p "$port_w" file "$work/target.img" & pids+=($!)
sleep 1
bytes=$((mib * 1048576))
clk=$(getconf CLK_TCK)
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }  # a process's CPU time so far
rate() {  # MB/s of a command, and the CPU seconds per GB of server $1 meanwhile
  local server=$1 t0 t1 c0 c1
  shift
  c0=$(ticks "$server"); t0=$(date +%s%N); "$@" >/dev/null; t1=$(date +%s%N); c1=$(ticks "$server")
  echo "$bytes $t0 $t1 $c0 $c1 $clk" |
    awk '{ printf "%.1f %.4f", $1 / (($3 - $2) / 1e9) / 1e6, ($5 - $4) / $6 / ($1 / 1e9) }'
}
best() {  # the run of three with the best rate, as the plug-in's read figures are
  local r b="0 0"
  for _ in 1 2 3; do
    r=$(rate "$@")
    b=$(echo "$r $b" | awk '{ print ($1 > $3) ? $1 " " $2 : $3 " " $4 }')
  done
  echo "$b"
}
for s in 65536:64KiB 262144:256KiB 1048576:1MiB 4194304:4MiB; do
  got=$(best "${pids[0]}" nbdcopy --connections=1 --requests=1 --request-size="${s%%:*}" \
          --no-extents "nbd://127.0.0.1:$port_r" null:)
  r=${got% *} cpu=${got#* }
  $bin/fcbench add "$figures" "nbdcopy.read.${s##*:}" "$r" MB/s
  $bin/fcbench add "$figures" "nbdcopy.read.${s##*:}.server-cpu" "$cpu" s/GB
  echo "nbdcopy read ${s##*:}: $r MB/s, nbdkit $cpu CPU s/GB"
done
got=$(rate "${pids[1]}" nbdcopy --connections=1 --requests=1 --request-size=1048576 \
        --no-extents "$work/source.img" "nbd://127.0.0.1:$port_w")
r=${got% *}
$bin/fcbench add "$figures" nbdcopy.write.1MiB "$r" MB/s
echo "nbdcopy write 1MiB: $r MB/s"
rm -f "$work/source.img" "$work/target.img"

echo "== fcbackup backup, incremental and restore"
$bin/fcbench endtoend "$figures" "$work" "$bin/fcbackup" "$mib"

echo "== hot loops"
for b in bench_extents bench_hot; do
  $bin/$b --benchmark_out="$work/$b.json" --benchmark_out_format=json >/dev/null
  $bin/fcbench gbench "$figures" "$work/$b.json"
done

echo
status=0
$bin/fcbench report "$figures" "$out" || status=$?
cp "$figures" "${out%.json}-figures.json"
[ $status -eq 3 ] && echo "some targets were missed (marked NO)"
[ $status -eq 0 ] || [ $status -eq 3 ] || exit $status
echo "results: $out"
