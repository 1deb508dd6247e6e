# The part of the host's smoke test that both systems run, on disk files only: sourced by
# cli_smoke.sh (Linux) and cli_smoke_windows.sh (under Wine), each of which defines
# vantor() to run the host and has made a scratch folder the current one. It leaves
# sample.img and sample.vqi there for the checks that follow, and counts failures in
# $failures. What the library's own tests prove (image formats, refusals of damaged
# images, range checks) is not repeated here: only what the host adds to it.
export MTOOLS_SKIP_CHECK=1
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# expect STATUS PATTERN -- ARGS...: runs vantor ARGS, checks its exit status and that its
# standard error matches PATTERN (empty: anything). Line ends are made Unix ones.
expect() {
  local status=$1 pattern=$2 rc=0
  shift 3
  vantor "$@" >out.raw 2>err.raw </dev/null || rc=$?
  tr -d '\r' <out.raw >out.txt
  tr -d '\r' <err.raw >err.txt
  if [ "$rc" -ne "$status" ] || { [ -n "$pattern" ] && ! grep -qE "$pattern" err.txt; }; then
    fail "vantor $* exited $rc, expected $status and /$pattern/ on standard error"; sed 's/^/    /' err.txt >&2
  else
    pass "vantor $* -> $rc"
  fi
}

files_digest() {  # files_digest DISK OFFSET: checksums of every file on the FAT volume
  rm -rf extract && mkdir extract
  mcopy -s -n -i "$1@@$2" '::/*' extract/ 2>/dev/null
  (cd extract && find . -type f -print0 | sort -z | xargs -0 sha256sum)
}

"$(dirname "${BASH_SOURCE[0]}")/../scripts/make-sample-disk.sh" sample.img >/dev/null
fat16=$((2048 * 512))
fat32=$((51200 * 512))

# --- capture, info, restore to several targets at once ----------------------------------
expect 0 "" -- capture sample.img sample.vqi
expect 1 "^vantor: ERR_FILE_ACCESS \(6\): .*exists" -- capture sample.img sample.vqi
expect 0 "" -- info --json sample.vqi
grep -q '"complete":true' out.txt || fail "info --json: $(cat out.txt)"
expect 0 "" -- restore --verify sample.vqi copy1.img copy2.img --size 64M
[ "$(grep -c '(verified)' out.txt)" -eq 2 ] || fail "restore: two verified targets expected"
[ "$(files_digest copy1.img $fat32 | wc -l)" -ge 5 ] || fail "restore: too few files extracted"
for offset in $fat16 $fat32; do
  [ "$(files_digest sample.img $offset)" = "$(files_digest copy2.img $offset)" ] || fail "copy2.img: files differ at $offset"
done

# --- refusals: what a failed or refused command leaves behind -----------------------------
truncate -s 1M blank.img
expect 1 "^vantor: ERR_" -- capture blank.img failed.vqi
ls failed.vqi* >/dev/null 2>&1 && fail "a failed capture left $(ls failed.vqi*)"
cp sample.vqi kept.vqi
expect 1 "^vantor: ERR_" -- capture --force blank.img kept.vqi
cmp -s kept.vqi sample.vqi || fail "a failed capture --force damaged the image it was to replace"
expect 2 "given twice" -- restore sample.vqi new.img ./new.img --size 64M
[ -e new.img ] && fail "a refused restore left the disk file it created"
expect 1 "holds a captured image: that will be lost" -- zero kept.vqi
cmp -s kept.vqi sample.vqi || fail "an unconfirmed zero wrote an image"

# --- zero, partitions, boot key: the host reads the arguments as the library wants them ----
cp sample.img zero.img
expect 0 "" -- zero --force zero.img --range 0x800-0x8ff
cmp -s -i $((0x800 * 512)) -n $((256 * 512)) zero.img /dev/zero && cmp -s -n $((0x800 * 512)) zero.img sample.img &&
  cmp -s -i $((0x900 * 512)) zero.img sample.img || fail "zero: not exactly sectors 800h-8ffh zeroed"
cp sample.img parts.img
expect 0 "" -- partitions parts.img backup
expect 0 "" -- partitions parts.img select 1
sfdisk -d parts.img 2>/dev/null | grep -q 'start= *51200.*type=c, bootable' || fail "select 1: not the FAT32 entry"
{ head -c 100 /dev/zero; printf 'VRK\001\000'; head -c 895 /dev/zero; } >loader.bin
head -c 5000 /dev/urandom >payload.bin
truncate -s 8M key.img
expect 0 "" -- bootkey key.img format --loader loader.bin --payload payload.bin --reserved 4
cmp -s -i 0:$((6 * 512)) -n 5000 payload.bin key.img || fail "bootkey: payload not at sector 6, after 4 reserved"

# --- two runs, one disk file: the first holds its lock while it waits at the question ----
cp sample.img busy.img
mkfifo answer
vantor zero busy.img <answer >/dev/null 2>asking.txt &
asking=$!
exec 3>answer
for _ in $(seq 100); do grep -q 'Type "yes"' asking.txt && break; sleep 0.1; done
expect 1 "^vantor: ERR_FILE_ACCESS \(6\): disk file .*busy.img is locked" -- restore sample.vqi busy.img
(echo no >&3) 2>/dev/null || true  # in a subshell: a reader already gone raises SIGPIPE there
exec 3>&-
wait "$asking" || true
cmp -s busy.img sample.img || fail "a refused second writer changed the file"

# smoke_end: the verdict, as the exit status.
smoke_end() {
  [ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
  echo "all checks passed"
}
