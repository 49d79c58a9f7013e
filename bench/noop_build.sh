#!/bin/sh
# Time of a build that has nothing to do, for ombu, GNU make and ninja, on a
# generated C project of N source files that all include one header.
# Usage: bench/noop_build.sh OMBU_BUILD_DIR [N] [RUNS]
set -eu
ombu_dir=$(cd "$1" && pwd)
n=${2:-200}
runs=${3:-20}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
PATH="$ombu_dir:$PATH"
export PATH

cd "$work"
echo '#define VALUE 1' > common.h
objects=""
i=1
while [ "$i" -le "$n" ]; do
    printf '#include "common.h"\nint f%d(void) { return VALUE + %d; }\n' "$i" "$i" > "s$i.c"
    objects="$objects s$i.o"
    i=$((i + 1))
done
echo 'int main(void) { return 0; }' > main.c
objects="$objects main.o"

# ombu
cat > default.o.do <<'DO'
#!/bin/sh -e
ombu-ifchange "$1.c"
cc -MMD -MF "$1.d" -c -o "$3" "$1.c"
headers=$(sed -e 's/^[^:]*://' -e 's/\\$//' "$1.d")
rm -f "$1.d"
ombu-ifchange $headers
DO
printf '#!/bin/sh -e\nombu-ifchange%s\ncc -o "$3"%s\n' "$objects" "$objects" > prog.do
printf '#!/bin/sh -e\nombu-ifchange prog\n' > all.do
chmod +x ./*.do

# make
mkdir make && cp ./*.c common.h make/
printf 'prog:%s\n\tcc -o $@ $^\n%%.o: %%.c\n\tcc -MMD -c -o $@ $<\n-include $(wildcard *.d)\n' "$objects" > make/Makefile

# ninja
mkdir ninja && cp ./*.c common.h ninja/
{
    printf 'rule cc\n  command = cc -MMD -MF $out.d -c -o $out $in\n  depfile = $out.d\n  deps = gcc\n'
    printf 'rule link\n  command = cc -o $out $in\n'
    for o in $objects; do printf 'build %s: cc %s\n' "$o" "${o%.o}.c"; done
    printf 'build prog: link%s\n' "$objects"
} > ninja/build.ninja

ombu -s all
make -s -C make -j2 >/dev/null
ninja -C ninja >/dev/null

# Seconds for RUNS no-op builds.
measure() {
    start=$(date +%s.%N)
    k=0
    while [ "$k" -lt "$runs" ]; do "$@" >/dev/null; k=$((k + 1)); done
    end=$(date +%s.%N)
    echo "$start $end" | awk -v r="$runs" '{ printf "%.2f", ($2 - $1) * 1000 / r }'
}
t_ombu=$(measure ombu -s all)
t_make=$(measure make -s -C make)
t_ninja=$(measure ninja -C ninja)
echo "no-op build of $n files, milliseconds a build (mean of $runs):"
echo "  ombu  $t_ombu"
echo "  make  $t_make"
echo "  ninja $t_ninja"
echo "$t_ombu $t_make $t_ninja" | awk '{ printf "  ombu/make %.2f  ombu/ninja %.2f\n", $1 / $2, $1 / $3 }'
