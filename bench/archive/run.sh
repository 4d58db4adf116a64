#!/usr/bin/env bash
# Archive writer benchmark: packs a generated tree of about 300 MB (text, structured binary,
# incompressible data, one large mixed file) with TZipFile, `zip -6 -q -j` and Python's zipfile
# at level 6, in the same run and on the same warm files. Prints the best wall time of each,
# its peak resident memory and archive size, and TZipFile's time relative to the others.
#
# usage: bench/archive/run.sh [build-dir]   (default build/bench; configure with --preset bench)
# GLB_BENCH_RUNS sets the runs per tool (default 3); GLB_BENCH_MB scales the tree (default 300).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${1:-$root/build/bench}"
bench="$build/bench/archive/bench_zipfile"
runs="${GLB_BENCH_RUNS:-3}"
megabytes="${GLB_BENCH_MB:-300}"
python="$(command -v python3)"
[ -x /usr/bin/python3 ] && python=/usr/bin/python3

if [ ! -x "$bench" ]; then
  echo "missing $bench: cmake --preset bench -B $build && cmake --build $build --target bench_zipfile" >&2
  exit 1
fi
for tool in zip unzip /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
tree="$work/tree"
mkdir "$tree"

echo "generating about $megabytes MB in $tree ..."
"$python" - "$tree" "$megabytes" <<'PY'
import array, os, random, sys
tree, total = sys.argv[1], int(sys.argv[2]) * 1000 * 1000
rnd = random.Random(2026)
words = ["fazenda", "safra", "gado", "colheita", "talhão", "lote", "pasto", "soja", "milho", "café",
         "adubo", "vacina", "bezerro", "nota", "fiscal", "entrada", "saída", "saldo", "R$", "kg"]
lines = []
for _ in range(20000):
    n = rnd.randint(4, 14)
    fields = [rnd.choice(words) if rnd.random() < 0.7 else str(rnd.randint(0, 99999)) for _ in range(n)]
    lines.append(";".join(fields) + "\r\n")
line_bytes = [l.encode("utf-8") for l in lines]

def text(size):
    out, have = [], 0
    while have < size:
        chunk = rnd.choices(line_bytes, k=2000)
        out.extend(chunk)
        have += sum(len(c) for c in chunk)
    return b"".join(out)[:size]

def records(size):
    # Fixed-width records: ascending ids, small counters, a few random fields.
    count = size // 16
    a = array.array("I", bytes(count * 16))
    base = rnd.randint(0, 1 << 20)
    for i in range(count):
        a[4 * i] = base + i
        a[4 * i + 1] = i % 365
        a[4 * i + 2] = rnd.getrandbits(12)
        a[4 * i + 3] = rnd.getrandbits(32) if i % 8 == 0 else 0
    return a.tobytes()[:size]

def write(name, data):
    with open(os.path.join(tree, name), "wb") as f:
        f.write(data)

share = total // 3  # a third text, a sixth records, a sixth random, a third in one large file
for i in range(40):
    write("texto%02d.txt" % i, text(share // 40))
for i in range(20):
    write("registros%02d.db" % i, records(share // 2 // 20))
for i in range(10):
    write("aleatorio%02d.bin" % i, os.urandom(share // 2 // 10))
with open(os.path.join(tree, "grande.dat"), "wb") as f:
    left = total - 2 * share
    while left > 0:
        part = min(left, 4 * 1000 * 1000)
        kind = rnd.random()
        f.write(text(part) if kind < 0.5 else records(part) if kind < 0.8 else os.urandom(part))
        left -= part
PY
tree_bytes=$(du -sb "$tree" | cut -f1)
cat "$tree"/* >/dev/null   # every tool reads warm files

calc() { awk "BEGIN { print $1 }"; }

# best_of NAME OUTPUT CMD...: runs CMD $runs times, keeps the best wall time and its peak RSS.
declare -A seconds rss size
best_of() {
  local name=$1 out=$2
  shift 2
  local best="" best_rss="" i line
  for ((i = 0; i < runs; i++)); do
    rm -f "$out"
    line=$(/usr/bin/time -f "%e %M" "$@" 2>&1 >/dev/null | tail -n 1)
    local t=${line% *} m=${line#* }
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$t
      best_rss=$m
    fi
  done
  seconds[$name]=$best
  rss[$name]=$best_rss
  size[$name]=$(stat -c %s "$out")
}

files=("$tree"/*)
best_of tzipfile "$work/ours.zip" "$bench" "$tree" "$work/ours.zip"
unzip -t -qq "$work/ours.zip" >/dev/null || { echo "unzip -t rejects the TZipFile archive" >&2; exit 1; }
best_of zip6 "$work/zip.zip" zip -6 -q -j "$work/zip.zip" "${files[@]}"
best_of python "$work/py.zip" "$python" -c '
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
    for p in sys.argv[2:]:
        z.write(p, p.rsplit("/", 1)[-1])
' "$work/py.zip" "${files[@]}"

printf '\ntree: %d files, %.1f MB; best of %d runs\n\n' "${#files[@]}" "$(calc "$tree_bytes / 1000000")" "$runs"
printf '%-16s %10s %14s %14s\n' tool seconds "peak RSS MB" "archive MB"
for name in tzipfile zip6 python; do
  label=$name
  [ "$name" = tzipfile ] && label=TZipFile
  [ "$name" = zip6 ] && label="zip -6"
  [ "$name" = python ] && label="python zipfile"
  printf '%-16s %10.2f %14.1f %14.1f\n' "$label" "${seconds[$name]}" \
    "$(calc "${rss[$name]} / 1024")" "$(calc "${size[$name]} / 1000000")"
done
printf '\nTZipFile time / zip -6: %.2f   TZipFile time / python zipfile: %.2f\n' \
  "$(calc "${seconds[tzipfile]} / ${seconds[zip6]}")" \
  "$(calc "${seconds[tzipfile]} / ${seconds[python]}")"
printf 'TZipFile peak RSS: %.1f MB (target under 32 MB)\n' "$(calc "${rss[tzipfile]} / 1024")"
