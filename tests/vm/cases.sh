# The cases of run.sh, on the machines machines.sh started, with the share mounted on both
# hosts (sourced). run_case NAME runs one, on each protocol it is for.
failures=0
# g HOST SCRIPT: SCRIPT on HOST, with the shared functions.
g() { on "$1" ". /host/bin/guest_lib.sh
$2"; }
check() {
  local name=$1 outcome
  shift
  local start=$(date +%s)
  if outcome=$("$@" 2>&1); then
    echo "pass  $name ($(($(date +%s) - start)) s)${outcome:+: $outcome}"
  else
    echo "FAIL  $name: $outcome"
    failures=$((failures + 1))
  fi
}

# The one export as each protocol reaches it; SMB shares a folder of it.
declare -A root=([v3]=/mnt/v3 [v4]=/mnt/v4 [smb]=/mnt/smb)
# The same folder on the file server, where the outcome is looked at: what a client remembers of
# a folder may be half a minute old.
on_server() {
  local path=${1/#\/mnt\/smb/\/export\/smb}
  echo "${path/#\/mnt\/v[34]/\/export}"
}

# A plain conversion, with the fallbacks the program takes on NFS: no lease, and renames that
# cannot refuse to replace.
case_converts() {
  local scene="${root[$1]}/converts"
  g host1 "make_scene $scene
strace -f -qq -o /tmp/trace -e trace=renameat2,fcntl \$Z $scene/d/0502/A.dat || exit 1
converted_once $scene || exit 1
[ $1 != v3 ] || grep -Eq 'F_SETLEASE, F_RDLCK\) += -1 EINVAL' /tmp/trace || { echo 'a lease'; exit 1; }
[ $1 = smb ] || grep -Eq 'RENAME_NOREPLACE\) += -1 EINVAL' /tmp/trace || { echo 'no fallback rename'; exit 1; }"
}

# One input run from both hosts at the same moment: one converts it, the other fails with
# "in use by another run" or finds nothing to do; never both, and never a record twice.
case_at_once() {
  local scene="${root[$1]}/at-once" round first second refused=0
  for round in 1 2 3; do
    g host1 "make_scene $scene" || return 1
    first=$(submit host1 ". /host/bin/guest_lib.sh; \$Z $scene/d/0502/A.dat")
    second=$(submit host2 ". /host/bin/guest_lib.sh; \$Z $scene/d/0502/A.dat")
    collect host1 "$first" 2>"$work/report1"
    collect host2 "$second" 2>"$work/report2"
    grep -hv "in use by another run" "$work/report1" "$work/report2" && return 1
    refused=$((refused + $(cat "$work/report1" "$work/report2" | wc -l)))
    g host1 "\$Z $scene/d/0502/A.dat" || return 1
    g server "converted_once $(on_server "$scene")" || return 1
  done
  echo "$refused of 6 runs found the input in use"
}

# Two inputs that share one split output, run at once from both hosts and from one: both wait
# their turn and succeed, and each run's records stay together.
case_shared_split() {
  local scene="${root[$1]}/shared" round first second where
  for where in "host1 host2" "host1 host1" "host2 host2"; do
    set -- $where
    for round in 1 2 3; do
      g host1 "rm -rf $scene; mkdir -p $scene/d/0502 $scene/d/1101
make_input 300 1 $scene/d/0502/1101.dat; make_input 300 2 $scene/d/1101/0502.dat" || return 1
      first=$(submit "$1" ". /host/bin/guest_lib.sh; \$Z $scene/d/0502/1101.dat")
      second=$(submit "$2" ". /host/bin/guest_lib.sh; \$Z $scene/d/1101/0502.dat")
      collect "$1" "$first" || { echo "the run on $1 failed ($where)"; return 1; }
      collect "$2" "$second" || { echo "the run on $2 failed ($where)"; return 1; }
      g host1 "runs=\$(grep -a -o 'K0002[-0]*[12]' $scene/d/1101/1101.dat.txt | uniq -c)
[ \"\$(echo \"\$runs\" | wc -l)\" -eq 2 ] && [ \"\$(echo \"\$runs\" | awk '{print \$1}' | sort -u)\" = 300 ] ||
  { echo \"the split output's records: \$runs\"; exit 1; }" || return 1
    done
  done
}

# An input the other host deleted just before the run, whose attributes this host still has: the
# run has nothing to do, and says nothing. And a new input the other host put where this host's
# own run deleted one is converted at once.
case_deleted_elsewhere() {
  local scene="${root[$1]}/deleted"
  g host1 "make_scene $scene; ls -l $scene/d/0502/A.dat >/dev/null" || return 1
  on host2 "rm $scene/d/0502/A.dat" || return 1
  g host1 "\$Z $scene/d/0502/A.dat 2>/tmp/report || { cat /tmp/report; exit 1; }
[ ! -s /tmp/report ] || { cat /tmp/report; exit 1; }
[ ! -e $scene/d/0502/A.dat.txt ] || { echo 'a main output was made'; exit 1; }" || return 1
  # The other way round: a name this host saw go (its own run deleted the input) leads at once to
  # the file another host put there since.
  g host1 "make_scene $scene; \$Z $scene/d/0502/A.dat" || return 1
  g host2 "make_input 200 7 $scene/d/0502/A.dat
printf 'K0002 written by an earlier input\r\n' >$scene/d/1101/A.dat.txt" || return 1
  g host1 "\$Z $scene/d/0502/A.dat" || return 1
  g server "converted_once $(on_server "$scene")"
}

# A writer on the other host that appends to the input while the run converts it, syncing each
# line: the run sees the size or times the file server gives afresh, and keeps the input with
# every line of the writer's.
case_writer_elsewhere() {
  local scene="${root[$1]}/writer" run writer
  g host1 "make_scene $scene" || return 1
  run=$(submit host1 ". /host/bin/guest_lib.sh
strace -f -qq -o /dev/null -e trace=fsync -e inject=fsync:delay_enter=1000000 \$Z $scene/d/0502/A.dat")
  writer=$(submit host2 ". /host/bin/guest_lib.sh; sleep 2; exec 3>>$scene/d/0502/A.dat
for i in \$(seq 100); do printf '%s\r\n' \"\$(record 1 8)\" >&3; sync $scene/d/0502/A.dat; done")
  collect host2 "$writer" || { echo "the writer failed"; return 1; }
  collect host1 "$run" 2>"$work/report" && { echo "the run deleted an input being written"; return 1; }
  grep -q "changed while being converted" "$work/report" || { cat "$work/report"; return 1; }
  g host1 "make_input 200 7 /tmp/original; for i in \$(seq 100); do printf '%s\r\n' \"\$(record 1 8)\"; done >>/tmp/original
cmp /tmp/original $scene/d/0502/A.dat || { echo 'the writer lost lines'; exit 1; }
found=\$(leftovers $scene | grep -v '\.undo\$'); [ -z \"\$found\" ] || { echo \"left: \$found\"; exit 1; }"
}

# An input this user may not write, though it may delete it: without the input open for writing,
# its lock could stay on this host, so the run refuses and touches nothing. One that nobody may
# write, which no run deletes, is converted and kept.
case_not_writable() {
  local scene="${root[$1]}/not-writable"
  g host1 "make_scene $scene; chmod 777 $scene/d/0502 $scene/d/1101; chmod 666 $scene/d/1101/A.dat.txt
setpriv --reuid=65534 --regid=65534 --clear-groups \$Z $scene/d/0502/A.dat 2>/tmp/report && exit 1
grep -q 'which this user may not (error 13)' /tmp/report || { cat /tmp/report; exit 1; }
kept $scene && [ ! -e $scene/d/0502/A.dat.txt ] || { echo 'touched'; exit 1; }
chmod 444 $scene/d/0502/A.dat
setpriv --reuid=65534 --regid=65534 --clear-groups \$Z $scene/d/0502/A.dat 2>/tmp/report && exit 1
grep -q 'cannot delete' /tmp/report || { cat /tmp/report; exit 1; }
expected_main 200 7 | cmp -s - $scene/d/0502/A.dat.txt || { echo 'a read-only input was not converted'; exit 1; }"
}

# The calls where a run changes what lasts, and a kill before each of them in turn: the retry,
# on host $2, leaves what one clean run leaves.
kill_and_retry() {
  local scene="${root[$1]}/kill" retry_host=$2 points point call n killed=0
  points=$(g host1 "make_scene $scene
for call in ftruncate fsync linkat renameat2 rename unlinkat; do
  n=\$(strace -f -qq -o /dev/stdout -e trace=\$call \$Z $scene/d/0502/A.dat | grep -c \"^[0-9 ]*\$call(\")
  make_scene $scene
  i=1; while [ \$i -le \$n ]; do echo \$call:\$i; i=\$((i + 1)); done
done") || return 1
  for point in $points; do
    call=${point%:*} n=${point#*:}
    [ "$(g host1 "make_scene $scene
strace -f -qq -o /dev/null -e trace=$call -e inject=$call:signal=KILL:when=$n \$Z $scene/d/0502/A.dat
echo \$?" 2>/dev/null)" != 137 ] || killed=$((killed + 1))
    g "$retry_host" "\$Z $scene/d/0502/A.dat" &&
      g server "scene=$(on_server "$scene")
for aside in \$scene/d/0502/.zorvant-*.deleting; do
  [ -e \"\$aside\" ] || continue
  make_input 200 7 /tmp/original; cmp -s \"\$aside\" /tmp/original || { echo 'moved aside: not the input'; exit 1; }
  rm \"\$aside\"
done
rm -f \$scene/d/1101/.A.dat.txt.undo \$scene/d/0502/.zorvant-*.converted
converted_once \$scene" || { echo "killed at $call #$n, retried on $retry_host"; return 1; }
  done
  local count
  count=$(echo "$points" | wc -w)
  [ "$count" -ge 10 ] || { echo "only $count kill points: the run does not get far"; return 1; }
  echo "$count kill points, $killed of them reached"
}
case_kill_elsewhere() { kill_and_retry "$1" host2; }
case_kill_here() { kill_and_retry "$1" host1; }

# Shown writable by all, as an SMB share mounted with file_mode=0777: a killed run's own record
# is acted on from either host.
case_all_writable() { kill_and_retry smb host2; }

# The file server's NFS service restarted, then the whole server powered off and booted again,
# while a run syncs its outputs: the run goes on once the server is back, and converts exactly.
case_server_restart() {
  local scene="${root[$1]}/restart" run
  g host1 "make_scene $scene" || return 1
  run=$(submit host1 ". /host/bin/guest_lib.sh
strace -f -qq -o /dev/null -e trace=fsync -e inject=fsync:delay_enter=3000000 \$Z $scene/d/0502/A.dat")
  sleep 2
  on server "rpc.nfsd 0; sleep 2; rpc.nfsd 4" || return 1
  sleep 4
  restart_machine server || return 1
  collect host1 "$run" || { echo "the run failed across the restart"; return 1; }
  g server "converted_once $(on_server "$scene")"
}

run_case() {
  case "$1" in
  all-writable) check "$1 smb" case_all_writable ;;
  server-restart) check "$1 v3" case_server_restart v3 ;;
  *)
    local protocol
    for protocol in v3 v4; do check "$1 $protocol" "case_${1//-/_}" "$protocol"; done
    [ "$1" != converts ] || check "$1 smb" case_converts smb
    ;;
  esac
}
