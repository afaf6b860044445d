#!/usr/bin/env bash
# The crash loop: programs that write the migrated-tree list and the stub tree are killed with
# SIGKILL at random moments, and after every round of kills the list and the tree are checked.
#   - trhsm-tree-editor processes (several at once, one list) add and delete trees, journaling
#     each edit before it starts and after it returns; the list must parse whole and hold every
#     edit that returned.
#   - trhsm-stubjob runs over a small tree backed up with trhsm-index; every file must stay its
#     original bytes or become a whole stub whose archived copy holds them.
# Every few stub rounds the stub job runs to its end (no temporary may be left, every file is a
# stub in a listed tree), every stub is recalled (every file is its original again), and the tree
# is backed up afresh, so that later kills meet every phase of the pass again.
# --naive points the same loop at an editor that rewrites the list in place: the loop must report
# damage then, which shows that it can see it.
# usage: tests/crashloop.sh [COUNT] [--naive] [--build DIR] [--seed N] [--keep]
#   COUNT kills in all (default 10000); DIR the build folder (default $CRASHLOOP_BUILD or build).
#   The sandbox is made in $CRASHLOOP_DIR, else /dev/shm when it is writable, else $TMPDIR or /tmp:
#   a kill leaves the same page cache on any file system, and a RAM one keeps fsync from setting
#   the pace.
# Exit status: 0 no damage, 1 damage found, 2 usage error, 3 the harness itself failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

count=10000
naive=0
keep=0
build=${CRASHLOOP_BUILD:-$root/build}
seed=$(((${EPOCHREALTIME/./} / 1000) % 32768))
while (($#)); do
  case $1 in
    --naive) naive=1 ;;
    --keep) keep=1 ;;
    --build) build=$2; shift ;;
    --seed) seed=$2; shift ;;
    [0-9]*) count=$1 ;;
    *) echo "usage: $0 [COUNT] [--naive] [--build DIR] [--seed N] [--keep]" >&2; exit 2 ;;
  esac
  shift
done
build=$(cd "$build" && pwd)
RANDOM=$seed

editors=4            # editor processes per round, one slot of trees each
editor_max_ms=30     # an editor is killed 0 .. this many ms after it said it is ready
stub_every=2         # every second round runs the stub job beside the editors
cycle_stub_rounds=8  # killed stub rounds between two complete runs
files_per_folder=9

editor_bin=$build/tests/trhsm-tree-editor
check_bin=$build/tests/trhsm-crash-check
stubjob_bin=$build/examples/stubjob/trhsm-stubjob
index_bin=$build/tools/trhsm-index
recall_bin=$build/tools/trhsm-recall
for b in "$editor_bin" "$check_bin" "$stubjob_bin" "$index_bin" "$recall_bin"; do
  [ -x "$b" ] || { echo "crashloop: $b is missing (build the crashloop target)" >&2; exit 3; }
done

scratch=${CRASHLOOP_DIR:-}
if [ -z "$scratch" ]; then
  scratch=${TMPDIR:-/tmp}
  [ -d /dev/shm ] && [ -w /dev/shm ] && scratch=/dev/shm
fi
box=$(mktemp -d "$scratch/crashloop-XXXXXX")
# Messages go to descriptor 3: the rounds silence the shell's own notices of killed children.
exec 3>&2
# The editors say "ready" through this pipe once they have started (which can take tens of ms on
# a busy machine), so their kills land in their edits rather than in their start.
mkfifo "$box/ready"
exec {ready_fd}<> "$box/ready"
# A pipe that never has data: `read -t` on it is a sleep without a process.
exec {nap_fd}<> <(:)
nap_us() {
  local fraction
  printf -v fraction '%06d' $(($1 % 1000000))
  read -r -t "$(($1 / 1000000)).$fraction" -u "$nap_fd" || true
}
damage=0
finish() {
  if ((damage == 0 || naive)) && ((!keep)); then rm -rf "$box"; else echo "crashloop: sandbox kept: $box"; fi
}
trap finish EXIT
fail() {  # the harness itself went wrong
  echo "crashloop: $*" >&3
  keep=1
  exit 3
}

cd "$box"
mkdir files results
cat > registry <<EOR
[Base]
dBACKUP_INDEX=$box/index.db
dARCHIVE_ROOT=$box/archive
dJOB_MANAGER_DIR=$box/jobs
sFOCUS_CLIENT=crash
[Machines/crash]
dJOB_RESULTS_DIR=$box/results
EOR
echo "/dev/root / ext4 rw 0 0" > mounts
export KO_REGISTRY=$box/registry KO_MOUNT_TABLE=$box/mounts KO_LOG_FILE=$box/trhsm.log

# Three folders of files from 300 bytes to ~24 KiB (each larger than its stub), and first in the pass a folder of one file, which
# a killed pass may stub whole: the next pass then finds nothing there to stub, yet must record it.
for d in d0 d1 d2; do
  mkdir "files/$d"
  for ((i = 0; i < files_per_folder; i++)); do
    head -c $((300 + (i * 7919 + ${#d} * 131) % 24000)) /dev/urandom > "files/$d/f$i"
  done
done
mkdir files/a-solo
head -c 5000 /dev/urandom > files/a-solo/only
cp -a files reference
list=$box/results/HSMMNTLIST
journal=$box/journal
stub_trees=("$box/files/a-solo" "$box/files/d0" "$box/files/d1" "$box/files/d2")
stub_args=(--quiet --collect-folder "$box/collect/" -J 9 -D media -a 1:0 -s crash)
check_args=(--list "$list" --journal "$journal" --tree "$box/files" --reference "$box/reference"
  --archive "$box/archive")

backup() {  # a fresh backup of the tree: new index, archive, collect file and job state
  rm -rf index.db archive collect jobs
  mkdir archive collect jobs
  "$index_bin" add --job 9 --archive-group 3 --index index.db --archive archive files > index.out 2>&1 ||
    { cat index.out >&3; fail "trhsm-index add failed"; }
  # The stub job's trees are forgotten too, so each cycle must record them again.
  "$editor_bin" --delete "${stub_trees[@]}" || fail "cannot forget the stub job's trees"
}

damage_events=0
tree_reset=0
report_damage() {  # report_damage WHAT: keeps the evidence and starts the list (and tree) afresh
  damage_events=$((damage_events + 1))
  damage=$((damage + $(grep -c '^damage:' check.out || true)))
  local evidence=$box/damage-$damage_events
  mkdir -p "$evidence"
  cp check.out "$evidence/"
  [ -e "$list" ] && cp "$list" "$evidence/"
  cp "$journal" "$evidence/" 2>/dev/null || true
  if ((damage_events <= 3)); then
    echo "crashloop: damage after kill $kills (round $rounds, $1):" >&3
    head -5 check.out | sed 's/^/  /' >&3
  fi
  rm -f "$list" "$list.tmp" "$journal"
  # Damage in the tree (not only in its record in the list): start from the originals again.
  if grep -q '^damage: \(file\|temporary /[^ ]*/files/\|unexpected\|the \)' check.out; then
    rm -rf files
    cp -a reference files
    backup
    stub_rounds=0
    tree_reset=1
  fi
}

check() {  # check WHAT [trhsm-crash-check options...]: one check; damage is reported and reset
  local what=$1 rc=0
  shift
  "$check_bin" "${check_args[@]}" "$@" > check.out 2> check.err || rc=$?
  case $rc in
    0)
      local n
      n=$(sed -n 's/^interrupted edits: //p' check.out)
      interrupted=$((interrupted + ${n:-0}))
      ;;
    1) report_damage "$what" ;;
    *) cat check.err >&3; fail "trhsm-crash-check failed ($what)" ;;
  esac
}

# The stub job to its end, the checks of a complete run, the recall and a fresh backup.
complete_cycle() {
  local rc=0 t0=${EPOCHREALTIME/./}
  tree_reset=0
  "$stubjob_bin" "${stub_args[@]}" > stubjob.out 2>&1 || rc=$?
  stub_us=$((${EPOCHREALTIME/./} - t0))
  if ((rc != 0)); then
    echo "damage: the complete stub run ended with status $rc: $(head -3 stubjob.out | tr '\n' ' ')" > check.out
    report_damage "complete stub run"
    return
  fi
  check "complete stub run" --complete
  ((tree_reset)) && return
  rc=0
  find files -type f -print0 | xargs -0 "$recall_bin" > recall.out 2>&1 || rc=$?
  if ((rc != 0)); then
    echo "damage: the recall failed: $(grep -v '^trhsm-recall: recalled' recall.out | head -3 | tr '\n' ' ')" > check.out
    report_damage "recall"
  else
    check "recall" --pristine
  fi
  ((tree_reset)) || backup
  cycles=$((cycles + 1))
}

kills=0 rounds=0 stub_rounds=0 cycles=0 finished=0 interrupted=0
stub_us=0
start_us=${EPOCHREALTIME/./}
backup
# The first cycle also times a whole pass; kills of the stub job then spread over all of it.
complete_cycle
stub_max_ms=$((stub_us / 1000 + 5))
editor_opts=()
((naive)) && editor_opts+=(--naive)
echo "crashloop: $count kills, seed $seed, $( ((naive)) && echo "naive editor" || echo "library editor"), kills within $editor_max_ms ms of an editor's first edit and $stub_max_ms ms of a stub pass's start, sandbox $box"

# One round: the editors and maybe the stub job started together, each killed at its own moment.
round() {
  # Each plan entry: the moment of the kill (µs since the epoch), the process, its kind.
  local plan=() entry at pid kind rc wait_us s ready
  local pids=()
  for ((s = 0; s < editors; s++)); do
    "$editor_bin" --slot "$s" --journal "$journal" --seed "$RANDOM$s" --ready "${editor_opts[@]}" \
      > "$box/ready" 2>> editor.err &
    pids+=($!)
  done
  for ((s = 0; s < editors; s++)); do read -r -t 10 -u "$ready_fd" ready || break; done
  ready=${EPOCHREALTIME/./}
  for pid in "${pids[@]}"; do
    plan+=("$((ready + (RANDOM << 15 | RANDOM) % (editor_max_ms * 1000 + 1))) $pid editor")
  done
  if ((rounds % stub_every == 0)); then
    "$stubjob_bin" "${stub_args[@]}" > /dev/null 2>&1 &
    plan+=("$((${EPOCHREALTIME/./} + (RANDOM << 15 | RANDOM) % (stub_max_ms * 1000 + 1))) $! stubjob")
    stub_rounds=$((stub_rounds + 1))
  fi
  # Kills in the order of their moments (an insertion sort: the plan is a handful of entries).
  local i sorted=()
  for entry in "${plan[@]}"; do
    i=${#sorted[@]}
    while ((i > 0)) && ((${sorted[i - 1]%% *} > ${entry%% *})); do
      sorted[i]=${sorted[i - 1]}
      i=$((i - 1))
    done
    sorted[i]=$entry
  done
  for entry in "${sorted[@]}"; do
    read -r at pid kind <<< "$entry"
    wait_us=$((at - ${EPOCHREALTIME/./}))
    ((wait_us > 0)) && nap_us "$wait_us"
    kill -KILL "$pid" 2> /dev/null || true
  done
  for entry in "${plan[@]}"; do
    read -r at pid kind <<< "$entry"
    rc=0
    wait "$pid" || rc=$?
    case $kind:$rc in
      *:137) kills=$((kills + 1)) ;;
      *:0) finished=$((finished + 1)) ;;
      editor:*) tail -3 editor.err >&3; fail "an editor failed with status $rc" ;;
      stubjob:*) finished=$((finished + 1)) ;;  # a pass that refused something; the checks judge
    esac
  done
}

while ((kills < count)); do
  rounds=$((rounds + 1))
  round 2> /dev/null
  check "round of kills" --settle
  if ((stub_rounds >= cycle_stub_rounds)); then
    complete_cycle
    stub_rounds=0
  fi
  if ((rounds % 200 == 0)); then
    echo "crashloop: $kills kills, $rounds rounds, $cycles complete cycles, $damage damage"
  fi
done

elapsed_ms=$(((${EPOCHREALTIME/./} - start_us) / 1000))
printf -v elapsed '%d.%03d' $((elapsed_ms / 1000)) $((elapsed_ms % 1000))
echo "crashloop: $kills kills in $rounds rounds ($interrupted inside a list edit, $finished runs" \
  "ended by themselves, $cycles complete stub cycles), damage found: $damage in $damage_events" \
  "checks, time $elapsed s"
((damage == 0)) || exit 1
