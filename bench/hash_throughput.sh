#!/bin/sh
# Content-hashing throughput of `cubehash FILE` against sha256sum and b2sum on
# one file in the page cache: runs interleaved, the median of each reported
# in MB/s (10^6 bytes a second) with the ratios of cubehash to the others.
# Usage: bench/hash_throughput.sh BUILD_DIR [MiB] [RUNS]   (1024 MiB, 5 runs)
set -eu
cubehash=$(cd "$1" && pwd)/cubehash
mib=${2:-1024}
runs=${3:-5}
[ -x "$cubehash" ] || { echo "no cubehash in $1" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

file=$work/data
head -c "$((mib * 1024 * 1024))" /dev/urandom > "$file"
bytes=$(wc -c < "$file")
# Warm the page cache and each program.
cat "$file" > /dev/null
for tool in "$cubehash" sha256sum b2sum; do "$tool" "$file" > /dev/null; done

# Seconds of one run of a command over the file.
seconds() {
    start=$(date +%s.%N)
    "$@" "$file" > /dev/null
    end=$(date +%s.%N)
    echo "$start $end" | awk '{ printf "%.6f\n", $2 - $1 }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

k=0
while [ "$k" -lt "$runs" ]; do
    seconds "$cubehash" >> "$work/cubehash.t"
    seconds sha256sum >> "$work/sha256sum.t"
    seconds b2sum >> "$work/b2sum.t"
    k=$((k + 1))
done

t_cube=$(median < "$work/cubehash.t")
t_sha=$(median < "$work/sha256sum.t")
t_b2=$(median < "$work/b2sum.t")
echo "hashing a file of $mib MiB in the page cache, median of $runs interleaved runs:"
echo "$bytes $t_cube $t_sha $t_b2" | awk '{
    printf "  cubehash   %8.1f MB/s\n", $1 / $2 / 1e6
    printf "  sha256sum  %8.1f MB/s\n", $1 / $3 / 1e6
    printf "  b2sum      %8.1f MB/s\n", $1 / $4 / 1e6
    printf "  cubehash/sha256sum %.2f  cubehash/b2sum %.2f\n", $3 / $2, $4 / $2
}'
