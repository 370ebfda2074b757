#!/bin/bash
# One scenario, two platforms. kelvo-sim plays each scenario on the simulated platform as Wine's
# machine is (an undocked slate, the touch-v2 controller or the legacy one as the registry file
# chooses, three button devices, the frame driver), and kelvo-play plays it against Kelvo.exe
# installed as a service under Wine, with the substitute devices and graphics driver. The touch
# controller's reports and the driver's records must come in the same order on both, times aside.
# Traces are not compared: the service's own power-event handler traces on the simulated side
# only, since no program can send a service the control manager's power events.
#
#   differential.sh KELVO_SIM WIN64_BUILD_DIR [--generated N] [--seed S]
#
# The scenarios: the examples Wine can play and this folder's scenarios (tables below), then N
# generated ones (default 20): random sequences of the commands both sides play, each command
# followed by a wait long enough to settle. The same seed gives the same scenarios (default 1).
# Both sides of each scenario stay in WIN64_BUILD_DIR/differential; a difference
# shows both sides around the first record that differs.
set -euo pipefail

usage() {
    echo "usage: $0 KELVO_SIM WIN64_BUILD_DIR [--generated N] [--seed S]" >&2
    exit 2
}
[[ $# -ge 2 ]] || usage
sim=$(readlink -f "$1")
build=$(readlink -f "$2")
shift 2
generated=20
seed=1
while [[ $# -gt 0 ]]; do
    case $1 in
    --generated) [[ $# -ge 2 ]] || usage; generated=$2; shift 2 ;;
    --seed) [[ $# -ge 2 ]] || usage; seed=$2; shift 2 ;;
    *) usage ;;
    esac
done
source_dir=$(readlink -f "$(dirname "${BASH_SOURCE[0]}")/../..")
cd "$source_dir"
[[ -x $sim ]] || { echo "differential: no kelvo-sim at $sim" >&2; exit 2; }

wine=(cmake/wine-run.sh "$build/wineprefix")
kelvo_exe=$build/src/service/Kelvo.exe
play_dir=$build/tools/kelvo_play
work=$build/differential
rm -rf "$work"
mkdir -p "$work"

# A path of this machine as the Windows programs see it.
windows_path() { local path; path=$(readlink -f "$1"); echo "Z:${path//\//\\}"; }

# Each example: a scenario, a registry file (-: the configuration is empty) and the graphics
# driver at the start (frame: its frame class registered, none: not there).
examples=(
    "examples/slate.scenario - frame"
    "examples/slate.scenario examples/current.reg frame"
    "examples/slate.scenario examples/legacy.reg frame"
    "examples/slate.scenario examples/out-of-range.reg frame"
    "tests/differential/frame_with_devices.scenario - frame"
    "tests/differential/devices_come_back.scenario - frame"
    "tests/differential/gfx_late.scenario - none"
)

# The commands of the generated scenarios, as "WAIT COMMAND": the wait that lets each settle.
# 5500 where the command may arm the undock timer (an unlock), which fires 5 s later. "@N" in a
# registry command is N plus the command's place in the scenario, so that no write repeats the
# data already there: Windows reports every write as a change, Wine only one that changes the data.
# Settings of the animation stay short enough to end within the wait.
commands=(
    "500 hotkey toggle" "500 hotkey toggle" "500 hotkey dock" "500 hotkey lock"
    "5500 hotkey unlock" "500 hotkey slate"
    "500 button 0 1a 01" "500 button 1 1a 00" "500 button 2 18 01" "500 button 0 18 00"
    "5500 button 1 19 01" "500 button 2 19 00"
    "500 setting ConvertibleSlateMode" "500 setting SystemDockMode" "500 setting Policy"
    "500 power suspend" "500 power standby" "500 power resumeautomatic" "500 power resumesuspend"
    "500 power resumecritical" "500 power resumestandby" "500 power batterylow"
    "500 power powerstatus" "500 power oem 0x2a"
    "500 post 0" "500 post 1" "500 post 2" "500 post 3" "500 post 4" "500 post 5" "5500 post 6"
    "500 post 7" "500 post 8" "500 post 9" "500 post 10" "500 post 11" "500 post 12" "500 post 13"
    "500 post 14" "500 post 15" "500 post 16" "500 post 17" "500 post 18" "500 post 19"
    "500 post 20" "500 post 99"
    "500 gfxmode" "500 device ARRIVAL {4d1e55b2-f16f-11cf-88cb-001111000030}"
    "500 device REMOVAL {4d1e55b2-f16f-11cf-88cb-001111000030}"
    "500 registry set . MonitorSettings @2" "500 registry set Display AnimationSteps @11"
    "500 registry set Display ViewPort_X @60" "500 registry set Display ViewPort_YPosition_Px @20"
    "500 registry set Display NativeResolution_X @2000" "500 registry delete Display ViewPort_X"
    "500 registry set Touch ViewPort_Left @100000" "500 registry set Touch AMBInputMethod @2"
    "500 registry set Touch AMB_HidReportId @7" "500 registry delete Touch ViewPort_Left"
    "1000 unplug touch|1000 plug touch" "1000 unplug button 1|1000 plug button 1"
    "500 gfx off|500 gfx on"
)

# A random scenario of 6 to 10 commands (a pair counts as one), from the seed.
generate() {
    RANDOM=$1
    echo "# generated from seed $1"
    echo "wait 1000"
    local count=$((6 + RANDOM % 5)) i entry step command
    for ((i = 1; i <= count; ++i)); do
        entry=${commands[RANDOM % ${#commands[@]}]}
        IFS='|' read -ra steps <<<"$entry"
        for step in "${steps[@]}"; do
            command=${step#* }
            if [[ $command =~ ^(.*)@([0-9]+)$ ]]; then
                command=${BASH_REMATCH[1]}$((BASH_REMATCH[2] + i))
            fi
            echo "$command"
            echo "wait ${step%% *}"
        done
    done
    # Half of them stop the service themselves; the others are stopped at their end.
    ((RANDOM % 2 == 0)) && echo "stop"
    return 0
}

# The touch controller's reports, then the driver's records, without their times. A GetFeature
# goes by its report id and length: the substitute device does not keep what it answered.
# Windows programs end their lines with CR LF.
records() {
    tr -d '\r' <"$1" | sed -nE 's/^\[[0-9]+\.[0-9]+\] ((touch|gfx) .*)$/\1/p' |
        awk '$1 == "touch" && $2 == "GetFeature" && $4 != "length" {
                 print $1, $2, $3, "length", NF - 2; next } { print }' |
        sort -s -k1,1
}

# The substitute graphics driver's frame class, beside kelvo-play; or none.
gfx_class='HKLM\Software\Classes\CLSID\{071BCD17-1720-430B-AB8B-D6E4AB56689F}'
register_driver() {
    "${wine[@]}" reg add "$gfx_class\\InprocServer32" /ve /d \
        "$(windows_path "$play_dir/kelvo_substitute_driver.dll")" /f >/dev/null
    "${wine[@]}" reg add "$gfx_class\\InprocServer32" /v ThreadingModel /d Both /f >/dev/null
}
unregister_driver() { "${wine[@]}" reg delete "$gfx_class" /f >/dev/null 2>&1 || true; }

setup() {
    "${wine[@]}" "$kelvo_exe" -UnregServer >/dev/null 2>&1 || true
    "${wine[@]}" "$kelvo_exe" -Service >/dev/null
    register_driver
}
# The prefix as the other tests expect it: no service, no driver, no configuration.
teardown() {
    "${wine[@]}" "$kelvo_exe" -UnregServer >/dev/null 2>&1 || true
    unregister_driver
    "${wine[@]}" reg delete 'HKLM\SOFTWARE\Corvane\Nolt\AMB' /f >/dev/null 2>&1 || true
}

failures=()
# Plays one scenario on both sides: NAME SCENARIO REGISTRY|- frame|none.
compare() {
    local name=$1 scenario=$2 registry=$3 gfx=$4 touch=current2
    [[ $registry != - ]] || registry=$work/empty.reg
    grep -qi '"IsLegacy"=dword:0*1$' "$registry" && touch=legacy
    "$sim" run --slate 0 --docked 0 --touch "$touch" --gfx "$gfx" --registry "$registry" \
        "$scenario" >"$work/$name.sim.txt" 2>"$work/$name.sim.err" || true
    [[ $gfx == frame ]] || unregister_driver
    local started=$SECONDS
    local status=0
    "${wine[@]}" "$play_dir/kelvo-play.exe" --start --registry "$(windows_path "$registry")" \
        "$(windows_path "$scenario")" >"$work/$name.play.txt" 2>"$work/$name.play.err" ||
        status=$?
    [[ $gfx == frame ]] || register_driver
    if [[ $status -ne 0 ]]; then
        failures+=("$name")
        echo "differential: $name: kelvo-play failed:" >&2
        cat "$work/$name.play.err" >&2
        return 0
    fi
    records "$work/$name.sim.txt" >"$work/$name.sim.records"
    records "$work/$name.play.txt" >"$work/$name.play.records"
    if ! diff -U6 --label "kelvo-sim $name" --label "kelvo-play $name" "$work/$name.sim.records" \
        "$work/$name.play.records" >"$work/$name.diff"; then
        failures+=("$name")
        echo "differential: $name ($scenario, registry $3, driver $4) differs:" >&2
        awk 'NR > 2 && /^@@/ { if (++hunks > 1) exit } { print }' "$work/$name.diff" >&2
        return 0
    fi
    echo "differential: $name: $(wc -l <"$work/$name.sim.records") records alike" \
        "($((SECONDS - started)) s)"
}

# What cannot be made real is refused by name, and nothing runs.
status=0
"${wine[@]}" "$play_dir/kelvo-play.exe" "$(windows_path tests/differential/refused.scenario)" \
    >/dev/null 2>"$work/refused.err" || status=$?
echo "exit $status" >>"$work/refused.err"
if ! diff -u tests/differential/refused.txt <(tr -d '\r' <"$work/refused.err") >&2; then
    echo "differential: kelvo-play does not refuse as tests/differential/refused.txt says" >&2
    exit 1
fi

printf 'Windows Registry Editor Version 5.00\n' >"$work/empty.reg"
trap teardown EXIT
setup
index=0
for example in "${examples[@]}"; do
    read -r scenario registry gfx <<<"$example"
    compare "example-$((index++))" "$scenario" "$registry" "$gfx"
done
# The generated scenarios take turns: no configuration, the current controller's with the settings
# watched (so that the registry commands reach the service), and the legacy controller's.
registries=(- examples/current.reg examples/legacy.reg)
for ((i = 0; i < generated; ++i)); do
    generate $((seed + i)) >"$work/generated-$i.scenario"
    compare "generated-$i" "$work/generated-$i.scenario" "${registries[i % 3]}" frame
done
if [[ ${#failures[@]} -gt 0 ]]; then
    echo "differential: ${#failures[@]} of $((index + generated)) differ: ${failures[*]}" \
        "(seed $seed; both sides in $work)" >&2
    exit 1
fi
echo "differential: all $((index + generated)) scenarios alike (seed $seed)"
