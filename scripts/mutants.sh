#!/usr/bin/env bash
# Mutation check of the key code: each row of the table below is one realistic slip (a file, the
# exact text, its replacement, and the tests that must notice it). The script copies the tree
# into a scratch folder (KS_MUTANT_DIR, default build-mutants/ beside the tree, kept between runs
# so that only what a slip touches is built again), makes each slip there in turn, rebuilds the
# named test programs, runs the named tests and puts the text back. It prints per slip "killed"
# (a test failed), "survived" (every test passed), "stale" (the text is not in the file any more,
# or not once) or "invalid" (the slip does not build), and the kill rate over the slips that ran.
# The named tests are first run on the unchanged copy: a slip whose tests fail there already is
# reported "unjudged" and left out of the rate, since they could not tell it from that fault.
#
# Usage: scripts/mutants.sh [--prepare] [ID...]   (no ID: every row; --prepare: copy, build and
#        run the named tests on the unchanged copy only)
# KS_MUTANT_TESTS="PROGRAM[:FILTER] ..." runs those tests for every chosen row instead of the
# row's own (to see what one test notices alone). Needs git and python3; installs what the tests
# need with scripts/deps.sh. Runs from any clone: every path is the tree's own.
# Not a CI stage: it takes long (a rebuild and a test run per slip).
#
# Table columns, separated by tabs: ID, file, text, replacement ("<none>" for nothing), tests. In
# the texts "\n" is a line break. Tests: program paths below the build folder, each with an
# optional ":FILTER" (a gtest filter), separated by spaces.
set -uo pipefail
# The whole script is one block, read before it runs: editing this file during a run (it takes
# long) does not change the run.
{
cd "$(dirname "$0")/.."
src=$PWD
work=${KS_MUTANT_DIR:-$src/build-mutants}
tree=$work/tree
build=$tree/build
jobs=${KS_MUTANT_JOBS:-2}

KD=tests/keydb/ks_keydb_tests
KC=tests/keydb/concurrent/ks_keydb_concurrent_tests
PV=tests/provision/ks_provision_tests
PL=tests/pool/ks_pool_tests
AC=tests/app/concurrent/ks_app_concurrent_tests
SK=tests/integrity/ks_integrity_tests:SoakTest.*  # M34-M36: what the soak alone guards

table=$(cat <<EOF
R1	keydb/KeyState.cpp	case KeyEvent::kReturn:\n            if (from == KeyState::kTaken) {	case KeyEvent::kReturn:\n            if (from == KeyState::kTaken || from == KeyState::kReserved) {	$KD
R2	keydb/KeyState.cpp	case KeyEvent::kSpend:\n            if (from == KeyState::kReserved) {	case KeyEvent::kSpend:\n            if (from == KeyState::kReserved || from == KeyState::kTaken) {	$KD
R3	keydb/KeyFile.cpp	            states_[index] = KeyState::kInDoubt;\n	<none>	$KD $PV
R4	keydb/KeyState.cpp	return state == KeyState::kReserved || state == KeyState::kDelivered ||	return state == KeyState::kDelivered ||	$KD $PV
R5	keydb/KeyFile.cpp	Transition(i, ok ? KeyEvent::kDeliver : KeyEvent::kSpend);	Transition(i, KeyEvent::kDeliver);	$KD $PV
R6	keydb/KeyFile.cpp	        searchStart_ = std::min(searchStart_, i / 8);\n	<none>	$KD
R7	keydb/GroupCommit.cpp	        pending_.journal += journalLine;\n        ++queued_;	        pending_.journal += journalLine;	$KD
R8	keydb/HeaderCopy.cpp	 || std::memcmp(digest, data + 12 + length, 32) != 0) {	) {	$KD
R9	keydb/KeyJournal.cpp	            ++out->malformed;\n            out->lastLineCut = true;	<none>	$KD
R10	keydb/KeyJournal.cpp	ours_ = record.digest == digest_;	ours_ = true;	$KD
R11	keydb/KeyAudit.cpp	if (history.returned > 0 && history.reserved == 0) {	if (history.returned > 0) {	$KD
R12	keydb/KeyAudit.cpp	if (history.reserved > 1) {	if (history.reserved > 2) {	$KD
R13	provision/UpgradeWorker.cpp	const std::string serial = serialCheckedBy_ == keys_ ? std::string() : keyJob_.serial;	const std::string serial = Settings().Destination() == KeyDestination::kMisc && serialCheckedBy_ != keys_ ? keyJob_.serial : std::string();	$PV
R14	provision/UpgradeWorker.cpp	                return true;  // nothing taken; the job fails as a read failure	                return false;	$PV
R15	keydb/pool/PoolSchema.cpp	ORDER BY k.idx LIMIT v_room FOR UPDATE SKIP LOCKED) f	ORDER BY k.idx LIMIT v_room FOR UPDATE) f	$PL:PoolRules.*
R16	keydb/pool/PoolSchema.cpp	OR (p_from = 'reserved' AND p_to IN ('delivered', 'spent'))) AND v_pool	OR (p_from = 'reserved' AND p_to IN ('delivered', 'spent', 'free'))) AND v_pool	$PL:PoolRules.*
R17	provision/UpgradeWorker.cpp	        host_.KeyFileFailed();\n        return false;  // the key stays used on disk	        return false;  // the key stays used on disk	$PV
R18	app/DeviceSlots.cpp	if (slot.devicePath == desc.path && slot.running != 0) {	if (slot.devicePath == desc.path && slot.running != 0 && slot.portLocation == desc.location) {	$AC:SlotTableTest.*
M1	keydb/KeyState.cpp	case KeyEvent::kTake:\n            if (from == KeyState::kFree || from == KeyState::kReturned) {	case KeyEvent::kTake:\n            if (from == KeyState::kFree) {	$KD
M2	keydb/KeyState.cpp	case KeyEvent::kDeliver:\n            if (from == KeyState::kReserved) {	case KeyEvent::kDeliver:\n            if (from == KeyState::kReserved || from == KeyState::kTaken) {	$KD
M3	keydb/KeyFile.cpp	    return TestBit(loadedBitmap_.data(), index);\n}	    return false;\n}	$KD $PV
M4	keydb/KeyFile.cpp	                    reservedSerials_.insert(serial);	<none>	$KD $PV
M5	keydb/KeyFile.cpp	            reservedSerials_.insert(job.serial);	<none>	$KD $PV
M6	keydb/KeyFile.cpp	if (!batch.headerBits.empty() && !WriteHeaderBits(batch.headerBits)) {	if (false) {	$KD
M7	keydb/KeyFile.cpp	        ClearBit(image_ + kdb::kOffBitmap, i);\n	<none>	$KD
M8	keydb/KeyFile.cpp	        kdb::StoreLe32(image_ + kdb::kOffUnusedCount, unused + 1);\n	<none>	$KD
M9	keydb/GroupCommit.cpp	            ok = batch.empty() || flush_(batch);	            ok = batch.empty() || flush_(batch) || true;	$KD
M10	keydb/GroupCommit.cpp	    std::unique_lock<std::mutex> guard(lock_);\n    if (broken_) {\n        return false;\n    }\n    try {	    std::unique_lock<std::mutex> guard(lock_);\n    try {	$KD $KC
M11	keydb/KeyJournal.cpp	            case JournalEvent::kDelivered:\n                ++history.delivered;\n                history.open = false;	            case JournalEvent::kDelivered:\n                ++history.delivered;	$KD
M12	keydb/KeyAudit.cpp	            !file.IsMarkedUsedAtLoad(index)) {	            false) {	$KD
M13	keydb/KeyAudit.cpp	if (history.delivered > 1) {	if (history.delivered > 2) {	$KD
M14	keydb/KeyAudit.cpp	if (keys.size() > 1) {	if (keys.size() > 2) {	$KD
M15	provision/UpgradeWorker.cpp	        host_.KeyFileFailed();\n        return false;  // the key stays held	        return false;  // the key stays held	$PV
M16	provision/UpgradeWorker.cpp	        SpendKey();  // a reserved key may be on the board: it is never handed out again\n	<none>	$PV
M17	provision/UpgradeWorker.cpp	const uint8_t* key = keySize > 0 ? VendorRecordKey(place, sector, keySize) : nullptr;	const uint8_t* key = nullptr;	$PV
M18	provision/UpgradeWorker.cpp	        if (dest == KeyDestination::kMisc) {\n            ReadSerialQuietly();	        if (true) {\n            ReadSerialQuietly();	$PV
M19	provision/UpgradeWorker.cpp	BoardHoldsAKey(miscRead ? miscBuffer_.data() : nullptr, storage.data()	BoardHoldsAKey(nullptr, storage.data()	$PV
M20	provision/UpgradeWorker.cpp	    if (Settings().AllowReprovision != 0) {\n        return false;\n    }\n    if (keyJob_.serial.empty()) {	    if (Settings().AllowReprovision == 0) {\n        return false;\n    }\n    if (keyJob_.serial.empty()) {	$PV
M21	provision/UpgradeWorker.cpp	                FailStep("IDS_READ_SN_ERROR", 0);\n                ProvLog(log_, "<%s> Error:UpgradeThreadProc-->sn format error", Loc());\n                return true;	                FailStep("IDS_READ_SN_ERROR", 0);\n                ProvLog(log_, "<%s> Error:UpgradeThreadProc-->sn format error", Loc());\n                return false;	$PV
M22	provision/UpgradeWorker.cpp	            FailStep("IDS_KEY_EXIST_ERROR", 0);\n            ProvLog(log_, "<%s> Error:UpgradeThreadProc->key exist!", Loc());\n            return false;	            FailStep("IDS_KEY_EXIST_ERROR", 0);\n            ProvLog(log_, "<%s> Error:UpgradeThreadProc->key exist!", Loc());\n            break;	$PV
M23	provision/VendorStorage.cpp	return AllZero(sector + 8, 148) ? VendorClearState::kClean	return AllZero(sector + 8, 140) ? VendorClearState::kClean	$PV
M24	keydb/pool/PoolSchema.cpp	k.digest = u.digest\n                         AND k.state IN ('reserved', 'delivered', 'spent', 'exported'))	k.digest = u.digest\n                         AND k.state IN ('delivered', 'spent', 'exported'))	$PL:KeyPool.*
M25	keydb/pool/PoolSchema.cpp	AND k.station = session_user\n                         AND k.state IN ('reserved', 'delivered', 'spent')))	AND k.station = session_user\n                         AND k.state IN ('delivered')))	$PL:KeyPool.*
M26	keydb/pool/PoolSchema.cpp	WHERE k.pool_id = v_pool AND k.idx = ANY (p_idx) AND k.state = p_from\n                  AND k.station = session_user AND	WHERE k.pool_id = v_pool AND k.idx = ANY (p_idx) AND k.state = p_from\n                  AND	$PL:KeyPool.*
M27	keydb/pool/PoolSchema.cpp	WHERE k.pool_id = v_pool AND k.state = 'free'\n                  ORDER BY k.idx	WHERE k.pool_id = v_pool\n                  ORDER BY k.idx	$PL:KeyPool.*:PoolRules.*
M28	app/StationController.cpp	    if (stationRunning_ == 1) {\n        Stop("key-file-failure");	    if (false) {\n        Stop("key-file-failure");	$AC:ProvisioningRunTest.*
M29	app/StationController.cpp	    if (settings_->WriteKeybox != 0 && keys_->Source()->IsBroken()) {	    if (false) {	$AC:ProvisioningRunTest.*
M30	keydb/KeyFileSource.cpp	    return file_ != nullptr && file_->WasReservedFor(serial);	    return false;	$PV
M31	keydb/KeyJournal.cpp	            if (!record.job.serial.empty()) {\n                object["serial"] = record.job.serial;\n            }	<none>	$KD $PV
M32	keydb/KeyJournal.cpp	                if (!record.job.serial.empty()) {\n                    out_->keysBySerial[record.job.serial].insert(index);\n                }	<none>	$KD $PV
M33	keydb/KeyFile.cpp	    if (!StationKeyIn(index, KeyState::kReserved, &i)) {\n        return false;\n    }\n    const std::string line = Record(JournalEvent::kDelivered	    if (!StationIndex(index, &i)) {\n        return false;\n    }\n    const std::string line = Record(JournalEvent::kDelivered	$KD
M34	provision/UpgradeWorker.cpp	    BuildMiscKeyImage(miscBuffer_.data(), miscBuffer_.size(), key_.data(), key_.size());\n	    BuildMiscKeyImage(miscBuffer_.data(), miscBuffer_.size(), key_.data(), key_.size());\n    ProvLog(log_, "<%s> writing key %02x%02x%02x%02x%02x%02x%02x%02x...", Loc(), key_.data()[0], key_.data()[1], key_.data()[2], key_.data()[3], key_.data()[4], key_.data()[5], key_.data()[6], key_.data()[7]);\n	$SK
M35	provision/VendorStorage.cpp	    if (snText.find("..") != std::string::npos) {\n        return false;\n    }\n    for (size_t i = 0; i < snText.size(); ++i) {\n        const auto c = static_cast<unsigned char>(snText[i]);\n        if (c < 0x20 || c == 0x7F || c == '/' || 	    for (size_t i = 0; i < snText.size(); ++i) {\n        const auto c = static_cast<unsigned char>(snText[i]);\n        if (c < 0x20 || c == 0x7F || 	$SK
M36	device/ZRUsbComm.cpp	    Outcome last;\n    for (int attempt = 0; attempt < 2; ++attempt) {	    Outcome last;\n    for (int attempt = 0; attempt < 1000; ++attempt) {	$SK
M37	keydb/pool/PoolSchema.cpp	station = session_user, slot = p_slots[array_position(v_got, k.idx)],	station = session_user, slot = p_slots[cardinality(v_got) + 1 - array_position(v_got, k.idx)],	$PL:PoolRules.*
M38	keydb/pool/PoolKeySource.cpp	!(noBlankKey_.load() && IsBlankArea(data, size))	!IsBlankArea(data, size)	$PL:PoolRules.JobsThatAsk*
M39	keydb/pool/PoolSchema.cpp	IF EXISTS (SELECT 1 FROM generate_series(0, v_n - 1) i	IF false AND EXISTS (SELECT 1 FROM generate_series(0, v_n - 1) i	$PL:PoolAttacks.NoKey*
EOF
)

die() { echo "mutants: $*" >&2; exit 2; }
command -v python3 >/dev/null || die "python3 is needed"
command -v git >/dev/null || die "git is needed"
git -C "$src" rev-parse --show-toplevel >/dev/null 2>&1 || die "$src is not a git tree"
scripts/deps.sh test >/dev/null || die "scripts/deps.sh test failed"

# The scratch copy: every file git knows or would add, copied only when its bytes differ (so the
# build folder in it stays valid), and files gone from the tree removed.
sync_tree() {
    mkdir -p "$tree"
    python3 - "$src" "$tree" <<'PY'
import filecmp, os, shutil, subprocess, sys
src, dst = sys.argv[1], sys.argv[2]
names = subprocess.run(["git", "-C", src, "ls-files", "-co", "--exclude-standard", "-z"],
                       check=True, capture_output=True).stdout.decode().split("\0")
keep = set()
for name in filter(None, names):
    if name.startswith("build"):
        continue
    s, d = os.path.join(src, name), os.path.join(dst, name)
    if not os.path.isfile(s):
        continue
    keep.add(name)
    if not os.path.exists(d) or not filecmp.cmp(s, d, shallow=False):
        os.makedirs(os.path.dirname(d), exist_ok=True)
        shutil.copyfile(s, d)  # a new time stamp, so that the build takes it
        shutil.copymode(s, d)
for root, dirs, files in os.walk(dst):
    rel = os.path.relpath(root, dst)
    if rel == "build" or rel.startswith("build" + os.sep):
        dirs[:] = []
        continue
    for f in files:
        name = os.path.normpath(os.path.join(rel, f))
        if name not in keep:
            os.remove(os.path.join(root, f))
PY
}

# apply FILE OLD NEW: makes the one replacement; exit 3 when OLD is not in FILE exactly once or
# FILE is gone.
apply() {
    python3 - "$1" "$2" "$3" <<'PY'
import sys
import os
path, old, new = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
if new == "<none>":
    new = ""
if not os.path.isfile(path):
    sys.exit(3)  # the file is gone: the row is stale
text = open(path, encoding="utf-8").read()
if text.count(old) != 1:
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(old, new))
PY
}

targets_of() {
    local t out=()
    for t in "$@"; do
        out+=("$(basename "${t%%:*}")")
    done
    printf '%s\n' "${out[@]}" | sort -u
}

# run_tests SPEC...: 0 when every named test passes.
run_tests() {
    local spec prog filter
    for spec in "$@"; do
        prog=${spec%%:*}
        filter='*'
        [[ $spec == *:* ]] && filter=${spec#*:}
        if ! (cd "$build/$(dirname "$prog")" &&
            timeout 900 "./$(basename "$prog")" --gtest_filter="$filter" --gtest_brief=1 \
                >"$work/last-test.log" 2>&1); then
            return 1
        fi
    done
    return 0
}

prepare=0
if [[ ${1:-} == --prepare ]]; then
    prepare=1
    shift
fi
wanted=("$@")
selected() {
    [[ ${#wanted[@]} -eq 0 ]] && return 0
    local w
    for w in "${wanted[@]}"; do [[ $w == "$1" ]] && return 0; done
    return 1
}

echo "mutants: scratch copy in $tree"
sync_tree
cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null ||
    die "cmake failed"

mapfile -t rows < <(printf '%s\n' "$table")
all_specs=()
for row in "${rows[@]}"; do
    IFS=$'\t' read -r id file old new tests <<<"$row"
    selected "$id" || continue
    read -ra specs <<<"${KS_MUTANT_TESTS:-$tests}"
    all_specs+=("${specs[@]}")
done
mapfile -t all_specs < <(printf '%s\n' "${all_specs[@]}" | sort -u)
mapfile -t all_targets < <(targets_of "${all_specs[@]}")
echo "mutants: building ${all_targets[*]}"
cmake --build "$build" -j"$jobs" --target "${all_targets[@]}" >"$work/build.log" 2>&1 ||
    die "the unchanged copy does not build (see $work/build.log)"
declare -A broken=()
for spec in "${all_specs[@]}"; do
    if ! run_tests "$spec"; then
        broken[$spec]=1
        echo "mutants: $spec fails on the unchanged copy:"
        grep -E "FAILED|Failure" "$work/last-test.log" | head -5
    fi
done

[[ $prepare -eq 1 ]] && exit 0

killed=0 survived=0 stale=0 invalid=0 unjudged=0
survivors=()
for row in "${rows[@]}"; do
    IFS=$'\t' read -r id file old new tests <<<"$row"
    selected "$id" || continue
    read -ra specs <<<"${KS_MUTANT_TESTS:-$tests}"
    judged=1
    for spec in "${specs[@]}"; do [[ -n ${broken[$spec]:-} ]] && judged=0; done
    if [[ $judged -eq 0 ]]; then
        printf '%-4s %-9s %s\n' "$id" unjudged "$file"
        unjudged=$((unjudged + 1))
        continue
    fi
    cp -p "$tree/$file" "$work/original" 2>/dev/null
    apply "$tree/$file" "$old" "$new"
    case $? in
        0) ;;
        3) echo "$id stale     $file"; stale=$((stale + 1)); continue ;;
        *) die "could not change $file" ;;
    esac
    mapfile -t targets < <(targets_of "${specs[@]}")
    if ! cmake --build "$build" -j"$jobs" --target "${targets[@]}" >"$work/build.log" 2>&1; then
        result=invalid
        invalid=$((invalid + 1))
    elif run_tests "${specs[@]}"; then
        result=survived
        survived=$((survived + 1))
        survivors+=("$id")
    else
        result=killed
        killed=$((killed + 1))
    fi
    cp "$work/original" "$tree/$file"  # a new time stamp: the next build takes it again
    printf '%-4s %-9s %s\n' "$id" "$result" "$file"
done

ran=$((killed + survived))
rate=0
[[ $ran -gt 0 ]] && rate=$((100 * killed / ran))
echo "mutants: $killed killed, $survived survived, $stale stale, $invalid invalid," \
    "$unjudged unjudged;" \
    "kill rate $killed/$ran = $rate%"
[[ ${#survivors[@]} -gt 0 ]] && echo "mutants: survived: ${survivors[*]}"
exit 0
}
