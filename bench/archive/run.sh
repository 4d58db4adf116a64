#!/usr/bin/env bash
# Archive writer benchmark: packs a generated tree of about 300 MB (text, structured binary,
# incompressible data, one large mixed file) with TZipFile, `zip -6 -q -j` and Python's zipfile
# at level 6, in the same run and on the same warm files. Prints the best wall and CPU time of each,
# its peak resident memory and archive size, and TZipFile's time relative to the others.
#
# usage: bench/archive/run.sh [build-dir]   (default build/bench; configure with --preset bench)
# GLB_BENCH_RUNS sets the rounds (default 3); GLB_BENCH_MB scales the tree (default 300).
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

# One round runs every tool once, so that a change in the machine's load touches all of
# them alike; each tool keeps its best wall time, its best CPU time (user + system, which
# other work on the machine disturbs less) and its peak resident memory.
declare -A wall cpu rss size
measure() {
  local name=$1 out=$2
  shift 2
  rm -f "$out"
  local line
  line=$(/usr/bin/time -f "%e %U %S %M" "$@" 2>&1 >/dev/null | tail -n 1)
  read -r e u s m <<<"$line"
  local c
  c=$(calc "$u + $s")
  if [ -z "${wall[$name]:-}" ] || awk -v a="$e" -v b="${wall[$name]}" 'BEGIN { exit !(a < b) }'; then
    wall[$name]=$e
  fi
  if [ -z "${cpu[$name]:-}" ] || awk -v a="$c" -v b="${cpu[$name]}" 'BEGIN { exit !(a < b) }'; then
    cpu[$name]=$c
  fi
  if [ -z "${rss[$name]:-}" ] || [ "$m" -gt "${rss[$name]}" ]; then
    rss[$name]=$m
  fi
  size[$name]=$(stat -c %s "$out")
}

files=("$tree"/*)
pack_python='
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
    for p in sys.argv[2:]:
        z.write(p, p.rsplit("/", 1)[-1])
'
for ((round = 1; round <= runs; round++)); do
  echo "round $round of $runs ..."
  measure tzipfile "$work/ours.zip" "$bench" "$tree" "$work/ours.zip"
  measure zip6 "$work/zip.zip" zip -6 -q -j "$work/zip.zip" "${files[@]}"
  measure python "$work/py.zip" "$python" -c "$pack_python" "$work/py.zip" "${files[@]}"
done
unzip -t -qq "$work/ours.zip" >/dev/null || { echo "unzip -t rejects the TZipFile archive" >&2; exit 1; }

printf '\ntree: %d files, %.1f MB; best of %d rounds\n\n' "${#files[@]}" "$(calc "$tree_bytes / 1000000")" "$runs"
printf '%-16s %10s %10s %14s %12s\n' tool "wall s" "CPU s" "peak RSS MB" "archive MB"
for name in tzipfile zip6 python; do
  case $name in
    tzipfile) label=TZipFile ;;
    zip6) label="zip -6" ;;
    python) label="python zipfile" ;;
  esac
  printf '%-16s %10.2f %10.2f %14.1f %12.1f\n' "$label" "${wall[$name]}" "${cpu[$name]}" \
    "$(calc "${rss[$name]} / 1024")" "$(calc "${size[$name]} / 1000000")"
done
printf '\nTZipFile / zip -6:         wall %.2f  CPU %.2f\n' \
  "$(calc "${wall[tzipfile]} / ${wall[zip6]}")" "$(calc "${cpu[tzipfile]} / ${cpu[zip6]}")"
printf 'TZipFile / python zipfile: wall %.2f  CPU %.2f\n' \
  "$(calc "${wall[tzipfile]} / ${wall[python]}")" "$(calc "${cpu[tzipfile]} / ${cpu[python]}")"
printf 'TZipFile peak RSS: %.1f MB (target under 32 MB)\n' "$(calc "${rss[tzipfile]} / 1024")"
