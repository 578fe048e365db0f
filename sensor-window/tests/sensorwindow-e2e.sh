#!/usr/bin/env bash
# End-to-end tests of tarvo-vexa-sensorwindow: the real program on Xvfb with a
# window manager, a private session bus and the stand-in sensor service.
#
# usage: sensorwindow-e2e.sh CASE
# needs: SENSORWINDOW_BIN FAKE_SENSOR SINGLEAPP_HELPER SYSLOG_SINK QM_DIR QT_TRANSLATIONS_DIR

here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e-lib.sh"

PAD_TEXTS=(
    "0.0:-8.:0.0" "0.0:8.0:0.0" "8.0:0.0:0.0" "-8.:0.0:0.0" "8.0:-8.:0.0"
    "8.0:8.0:0.0" "-8.:-8.:0.0" "-8.:8.0:0.0" "0.0:0.0:9.8"
)
# Button centres in window coordinates, by index 1 to 9.
PAD_X=(210 210 50 340 50 50 340 340 210)
PAD_Y=(40 340 190 190 40 340 40 340 190)

click_index() {
    click "$XDISPLAY" "$WINDOW_ID" "${PAD_X[$2 - 1]}" "${PAD_Y[$2 - 1]}"
    wait_for "$WAIT_LIMIT" received_count "$1" || fail "click on button $2 was not received"
}

# run_bounded SECONDS COMMAND...: runs COMMAND, killing it when it overstays.
run_bounded() {
    timeout --kill-after=5 "$@"
}

# Runs a command (for at most $WAIT_LIMIT s) in a private mount namespace where /dev/log is the socket $1,
# so the syslog entries of that command (and nothing else) reach our sink.
with_devlog() {
    local socket=$1
    shift
    mkdir -p "$WORK/dev"
    timeout --kill-after=5 "$WAIT_LIMIT" unshare --mount --propagation private -- bash -c '
        set -e
        socket=$1 dev=$2
        shift 2
        mount -t tmpfs -o mode=755 tmpfs "$dev"
        for n in null zero full random urandom tty ptmx; do
            if [ -e "/dev/$n" ]; then touch "$dev/$n"; mount --bind "/dev/$n" "$dev/$n"; fi
        done
        for n in pts shm; do
            if [ -d "/dev/$n" ]; then mkdir "$dev/$n"; mount --rbind "/dev/$n" "$dev/$n"; fi
        done
        ln -s /proc/self/fd "$dev/fd"
        touch "$dev/log"
        mount --bind "$socket" "$dev/log"
        mount --move "$dev" /dev
        exec "$@"
    ' with-devlog "$socket" "$WORK/dev" "$@"
}

case_clicks() {
    start_display
    start_wm "$XDISPLAY"
    start_bus
    start_sensor "$FAKE_SENSOR" "$WORK/received"
    start_window "$XDISPLAY" first

    DISPLAY=$XDISPLAY xwininfo -id "$WINDOW_ID" >"$WORK/xwininfo.txt"
    grep -q 'Width: 400$' "$WORK/xwininfo.txt" && grep -q 'Height: 400$' "$WORK/xwininfo.txt" ||
        fail "window is not 400 x 400: $(cat "$WORK/xwininfo.txt")"
    DISPLAY=$XDISPLAY xprop -id "$WINDOW_ID" WM_NORMAL_HINTS >"$WORK/hints.txt"
    grep -q 'minimum size: 400 by 400' "$WORK/hints.txt" && grep -q 'maximum size: 400 by 400' "$WORK/hints.txt" ||
        fail "window can be resized: $(cat "$WORK/hints.txt")"

    local i expected=()
    for i in 1 2 3 4 5 6 7 8 9; do
        click_index "$i" "$i"
        expected+=("${PAD_TEXTS[i - 1]}")
    done
    # The same button twice is two calls.
    click_index 10 7
    click_index 11 7
    expected+=("-8.:-8.:0.0" "-8.:-8.:0.0")
    diff <(printf '%s\n' "${expected[@]}") "$WORK/received" >"$WORK/diff.txt" ||
        fail "service received other texts: $(cat "$WORK/diff.txt")"
    grep -qxF '"9" 9' "$WORK/first.err" || fail "no debug line for the pause button"
    kill -0 "$WINDOW_PID" || fail "program ended"
}

case_keyboard() {
    start_display
    start_wm "$XDISPLAY"
    start_bus
    start_sensor "$FAKE_SENSOR" "$WORK/received"
    start_window "$XDISPLAY" first
    DISPLAY=$XDISPLAY xdotool windowactivate --sync "$WINDOW_ID" || fail "cannot activate window"

    # The keypad as it is with NumLock off (the default here); the digits, as
    # with NumLock on, are covered by the widget test.
    local keys=(KP_Up KP_Down KP_Left KP_Right KP_Home KP_End KP_Prior KP_Next KP_Begin Up Down Left Right)
    local expected=(
        "0.0:-8.:0.0" "0.0:8.0:0.0" "8.0:0.0:0.0" "-8.:0.0:0.0" "8.0:-8.:0.0"
        "8.0:8.0:0.0" "-8.:-8.:0.0" "-8.:8.0:0.0" "0.0:0.0:9.8"
        "0.0:-8.:0.0" "0.0:8.0:0.0" "8.0:0.0:0.0" "-8.:0.0:0.0"
    )
    local i
    for i in "${!keys[@]}"; do
        DISPLAY=$XDISPLAY xdotool key "${keys[i]}"
        wait_for "$WAIT_LIMIT" received_count $((i + 1)) || fail "key ${keys[i]} sent nothing"
    done
    diff <(printf '%s\n' "${expected[@]}") "$WORK/received" >"$WORK/diff.txt" ||
        fail "keys sent other texts: $(cat "$WORK/diff.txt")"
}

case_no_service() {
    start_display
    start_wm "$XDISPLAY"
    start_bus
    start_window "$XDISPLAY" first
    click "$XDISPLAY" "$WINDOW_ID" 210 190
    wait_for "$WAIT_LIMIT" grep -qxF '"9" 9' "$WORK/first.err" || fail "click was not handled"

    # Still running and responsive: a service started now gets the next click, and only that.
    start_sensor "$FAKE_SENSOR" "$WORK/received"
    click_index 1 1
    [ "$(cat "$WORK/received")" = "0.0:-8.:0.0" ] || fail "unexpected texts: $(cat "$WORK/received")"
    kill -0 "$WINDOW_PID" || fail "program ended"
    [ -n "$(visible_windows "$XDISPLAY" "$WINDOW_PID")" ] || fail "window went away"
    if grep -v '^"[0-9]" [0-9]$' "$WORK/first.err" | grep -v '^Waring : ' | grep -q .; then
        fail "unexpected output: $(cat "$WORK/first.err")"
    fi
}

case_forwarded_text() {
    start_display
    # A stand-in running instance that prints what it is given, under the
    # exact id the program must use for this display.
    local id="tarvo-vexa-snsorwindow$XDISPLAY"
    QT_QPA_PLATFORM=offscreen "$SINGLEAPP_HELPER" "$id" serve <"$WORK/stdin.fifo" >"$WORK/helper.out" 2>"$WORK/helper.err" &
    PIDS+=("$!")
    wait_for "$WAIT_LIMIT" grep -q '^primary ' "$WORK/helper.out" || fail "helper did not start"

    run_bounded "$WAIT_LIMIT" env DISPLAY="$XDISPLAY" "$SENSORWINDOW_BIN" forwarded-argument >"$WORK/second.out" 2>"$WORK/second.err"
    local status=$?
    [ "$status" -eq 0 ] || fail "second start ended with $status"
    wait_for "$WAIT_LIMIT" grep -qxF 'received:0:forwarded-argument' "$WORK/helper.out" || fail "argument not forwarded"
    grep -qxF '"tarvo-vexa-snsorwindow is already running!"' "$WORK/second.err" ||
        fail "no debug message: $(cat "$WORK/second.err")"
    [ ! -e "$HOME/.config/tarvo-vexa-snsorwindow.lock" ] || fail "second start touched the lock file"

    run_bounded "$WAIT_LIMIT" env DISPLAY="$XDISPLAY" "$SENSORWINDOW_BIN" >"$WORK/third.out" 2>"$WORK/third.err" ||
        fail "start without argument failed"
    wait_for "$WAIT_LIMIT" grep -qxF "received:0:$(readlink -f "$SENSORWINDOW_BIN")" "$WORK/helper.out" ||
        fail "executable path not forwarded: $(cat "$WORK/helper.out")"
    [ -z "$(visible_windows "$XDISPLAY")" ] || fail "a second start opened a window"

    # Without DISPLAY the id has no suffix at all.
    QT_QPA_PLATFORM=offscreen "$SINGLEAPP_HELPER" tarvo-vexa-snsorwindow serve <"$WORK/stdin.fifo" >"$WORK/helper2.out" 2>"$WORK/helper2.err" &
    PIDS+=("$!")
    wait_for "$WAIT_LIMIT" grep -q '^primary ' "$WORK/helper2.out" || fail "helper without display did not start"
    run_bounded "$WAIT_LIMIT" env -u DISPLAY QT_QPA_PLATFORM=offscreen "$SENSORWINDOW_BIN" no-display >"$WORK/fourth.out" 2>"$WORK/fourth.err" ||
        fail "start without DISPLAY failed"
    wait_for "$WAIT_LIMIT" grep -qxF 'received:0:no-display' "$WORK/helper2.out" || fail "id without DISPLAY is not the bare name"
}

case_same_display() {
    start_display
    start_wm "$XDISPLAY"
    start_bus
    start_window "$XDISPLAY" first
    local first=$WINDOW_ID
    DISPLAY=$XDISPLAY xdotool windowminimize "$first"
    wait_for "$WAIT_LIMIT" is_state "$XDISPLAY" "$first" Iconic || fail "window could not be minimized"

    run_bounded "$WAIT_LIMIT" env DISPLAY="$XDISPLAY" "$SENSORWINDOW_BIN" again >"$WORK/second.out" 2>"$WORK/second.err"
    local status=$?
    [ "$status" -eq 0 ] || fail "second start ended with $status"
    grep -qxF '"tarvo-vexa-snsorwindow is already running!"' "$WORK/second.err" || fail "no debug message"

    wait_for "$WAIT_LIMIT" is_state "$XDISPLAY" "$first" Normal ||
        fail "first window stayed '$(wm_state "$XDISPLAY" "$first")' (none: withdrawn, not mapped)"
    wait_for "$WAIT_LIMIT" sh -c "[ \"\$(DISPLAY=$XDISPLAY xdotool getactivewindow)\" = $first ]" ||
        fail "first window is not active"
    kill -0 "$WINDOW_PID" || fail "first instance ended"
}

case_other_display() {
    require_root
    start_display
    local display_a=$XDISPLAY
    start_wm "$display_a"
    start_bus
    start_window "$display_a" first
    local first=$WINDOW_ID
    DISPLAY=$display_a xdotool windowminimize "$first"
    wait_for "$WAIT_LIMIT" is_state "$display_a" "$first" Iconic || fail "window could not be minimized"

    start_display
    local display_b=$XDISPLAY
    "$SYSLOG_SINK" "$WORK/devlog.sock" >"$WORK/syslog.out" 2>"$WORK/syslog.err" &
    PIDS+=("$!")
    wait_for "$WAIT_LIMIT" test -S "$WORK/devlog.sock" || fail "syslog sink did not start"

    DISPLAY=$display_b with_devlog "$WORK/devlog.sock" "$SENSORWINDOW_BIN" >"$WORK/second.out" 2>"$WORK/second.err"
    local status=$?
    [ "$status" -eq 0 ] || fail "start on the other display ended with $status"
    wait_for "$WAIT_LIMIT" grep -q . "$WORK/syslog.out" || fail "no syslog entry"
    # Priority 11 is LOG_ERR in the default facility LOG_USER.
    grep -q "^<11>.*Can't lock single file, tarvo-vexa-snsorwindow is already running!\$" "$WORK/syslog.out" ||
        fail "unexpected syslog entry: $(cat "$WORK/syslog.out")"
    [ "$(wc -l <"$WORK/syslog.out")" -eq 1 ] || fail "more than one syslog entry"
    [ -z "$(visible_windows "$display_b")" ] || fail "a window opened on the other display"
    is_state "$display_a" "$first" Iconic || fail "first window was touched: $(wm_state "$display_a" "$first")"
    kill -0 "$WINDOW_PID" || fail "first instance ended"
}

case_no_config() {
    start_display
    rm -rf "$HOME/.config"
    run_bounded "$WAIT_LIMIT" env DISPLAY="$XDISPLAY" "$SENSORWINDOW_BIN" >"$WORK/first.out" 2>"$WORK/first.err"
    local status=$?
    [ "$status" -eq 1 ] || fail "expected status 1, got $status"
    [ ! -e "$HOME/.config" ] || fail "~/.config was created"
    if grep -v '^Waring : ' "$WORK/first.err" | grep -q .; then
        fail "unexpected output: $(cat "$WORK/first.err")"
    fi
}

case_lock_file() {
    start_display
    start_wm "$XDISPLAY"
    local lock="$HOME/.config/tarvo-vexa-snsorwindow.lock"
    start_window "$XDISPLAY" first
    [ -f "$lock" ] || fail "no lock file"
    [ "$(stat -c '%s %a' "$lock")" = "0 600" ] || fail "lock file is $(stat -c '%s bytes, mode %a' "$lock")"

    # Closing the window ends the program normally; the lock file stays.
    # The window manager has been seen to miss the first key on a loaded
    # machine: the close is asked for again until the program ends.
    local status attempt
    for attempt in 1 2 3 4 5 6; do
        DISPLAY=$XDISPLAY xdotool windowactivate --sync "$WINDOW_ID" 2>/dev/null
        DISPLAY=$XDISPLAY xdotool key --clearmodifiers alt+F4
        wait_for 30 sh -c "! kill -0 $WINDOW_PID" && break
    done
    wait_for 1 sh -c "! kill -0 $WINDOW_PID" || fail "closing the window did not end the program"
    wait "$WINDOW_PID"
    status=$?
    [ "$status" -eq 0 ] || fail "program ended with $status"
    [ -f "$lock" ] || fail "lock file removed at exit"

    # Whatever a file holds there is cut off at the next start.
    echo leftover >"$lock"
    start_window "$XDISPLAY" second
    [ "$(stat -c '%s' "$lock")" = 0 ] || fail "lock file was not truncated"
}

# Hides the given directories behind empty ones in a private mount namespace.
hidden_dirs_exec() {
    local dirs=$1
    shift
    unshare --mount --propagation private -- bash -c '
        set -e
        for d in $1; do [ -d "$d" ] && mount -t tmpfs -o ro tmpfs "$d"; done
        shift
        exec "$@"
    ' hide "$dirs" "$@"
}

case_no_catalogue() {
    start_display
    local ours=/usr/share/tarvo-vexa-sensorwindow/translations
    local launcher=()
    if [ -d "$ours" ] || [ -d "$QT_TRANSLATIONS_DIR" ]; then
        # Installed catalogues have to be hidden for this test.
        require_root
        launcher=(hidden_dirs_exec "$ours $QT_TRANSLATIONS_DIR")
    fi
    LANG=zh_CN.UTF-8 DISPLAY=$XDISPLAY "${launcher[@]}" "$SENSORWINDOW_BIN" >"$WORK/first.out" 2>"$WORK/first.err" &
    WINDOW_PID=$!
    PIDS+=("$WINDOW_PID")
    wait_for "$WAIT_LIMIT" visible_windows "$XDISPLAY" "$WINDOW_PID" || fail "window did not open without catalogues"
    printf 'Waring : load translation file fail\nWaring : load qt translation file fail\n' >"$WORK/expected.txt"
    grep '^Waring' "$WORK/first.err" | diff "$WORK/expected.txt" - >"$WORK/diff.txt" ||
        fail "warnings differ: $(cat "$WORK/diff.txt")"
}

case_title_locale() {
    require_root
    start_display
    # Our catalogues appear at their installed place, in this namespace only.
    mkdir -p "$WORK/share/tarvo-vexa-sensorwindow/translations"
    cp "$QM_DIR"/tarvo-vexa-sensorwindow_*.qm "$WORK/share/tarvo-vexa-sensorwindow/translations/"
    local locale title n=0
    for locale in en_US zh_CN; do
        case $locale in
        en_US) title='Gravity Sensor' ;;
        zh_CN) title='重力传感器' ;;
        esac
        n=$((n + 1))
        LANG=$locale.UTF-8 DISPLAY=$XDISPLAY unshare --mount --propagation private -- bash -c '
            set -e
            mount -t overlay overlay -o "lowerdir=$1:/usr/share" /usr/share
            shift
            exec "$@"
        ' with-catalogue "$WORK/share" "$SENSORWINDOW_BIN" >"$WORK/run$n.out" 2>"$WORK/run$n.err" &
        WINDOW_PID=$!
        PIDS+=("$WINDOW_PID")
        wait_for "$WAIT_LIMIT" visible_windows "$XDISPLAY" "$WINDOW_PID" || fail "$locale: no window"
        WINDOW_ID=$(visible_windows "$XDISPLAY" "$WINDOW_PID" | head -n 1)
        local shown
        shown=$(DISPLAY=$XDISPLAY xprop -id "$WINDOW_ID" -notype _NET_WM_NAME | sed -n 's/^_NET_WM_NAME = "\(.*\)"$/\1/p')
        [ "$shown" = "$title" ] || fail "$locale: title is '$shown', expected '$title'"
        ! grep -qxF 'Waring : load translation file fail' "$WORK/run$n.err" || fail "$locale: catalogue not loaded"
        kill "$WINDOW_PID"
        wait "$WINDOW_PID" 2>/dev/null
    done
}

case_planted_instance() {
    require_root
    start_display
    start_wm "$XDISPLAY"
    # As in a session without a runtime folder, started with a bare environment.
    unset XDG_RUNTIME_DIR
    # A mount namespace with an empty /tmp and /run/user: the program has not
    # run there yet, and the user has no runtime folder. The X server's socket
    # folder, $WORK and the build (which may lie under /tmp too) stay
    # reachable through bind mounts.
    unshare --mount --propagation private sleep 100000 &
    local holder=$!
    PIDS+=("$holder")
    wait_for "$WAIT_LIMIT" sh -c "[ \"\$(readlink /proc/$holder/ns/mnt)\" != \"\$(readlink /proc/self/ns/mnt)\" ]" ||
        fail "no mount namespace"
    WINDOW_LAUNCHER=(nsenter --target "$holder" --mount --)
    "${WINDOW_LAUNCHER[@]}" sh -ec '
        # A container or a fresh root has no /run/user, which only a booted
        # systemd makes; the window needs nothing else of /run here.
        if [ ! -d /run/user ]; then
            mount -t tmpfs -o mode=755 tmpfs /run
            mkdir /run/user
        fi
        mount -t tmpfs -o mode=755 tmpfs /run/user
        mkdir /run/user/outside
        mount --rbind /tmp /run/user/outside
        mount -t tmpfs -o mode=1777 tmpfs /tmp
        planter=$1
        shift
        for d in .X11-unix "$@"; do
            case $d in /tmp/*) d=${d#/tmp/}; d=${d%%/*} ;; /*) continue ;; esac
            [ -d "/tmp/$d" ] && continue
            mkdir -p "/tmp/$d"
            mount --bind "/run/user/outside/$d" "/tmp/$d"
        done
        install -m 755 "$planter" /tmp/planter
    ' setup "$SINGLEAPP_HELPER" "$WORK" "$SENSORWINDOW_BIN" "$SINGLEAPP_HELPER" "$SYSLOG_SINK" "$FAKE_SENSOR" "$QM_DIR" ||
        fail "cannot prepare the mount namespace"

    # Another user comes first: makes the /tmp folder this user would fall
    # back to without a runtime folder and listens where our socket would be.
    local id="tarvo-vexa-snsorwindow$XDISPLAY" path
    path=/tmp/vexa-single-$(id -u)/vexa-single-$(printf %s "$id" | sha1sum | cut -c1-24)
    "${WINDOW_LAUNCHER[@]}" setpriv --reuid=65534 --regid=65534 --clear-groups \
        sh -c 'mkdir -p "$(dirname "$1")" && exec /tmp/planter - plant "$1"' plant "$path" \
        >"$WORK/planted.out" 2>"$WORK/planted.err" &
    PIDS+=("$!")
    wait_for "$WAIT_LIMIT" grep -qx planted "$WORK/planted.out" || fail "the other user could not plant a socket at $path"

    # That does not matter while the home is ours: the single instance lives
    # below it and still works.
    start_window "$XDISPLAY" first planted-argument
    ! grep -q SingleApplication "$WORK/first.err" || fail "warning: $(cat "$WORK/first.err")"
    [ -S "$HOME/.cache/vexa-single/$(basename "$path")" ] || fail "no socket below the home's cache folder"
    run_bounded "$WAIT_LIMIT" env DISPLAY="$XDISPLAY" "${WINDOW_LAUNCHER[@]}" "$SENSORWINDOW_BIN" >"$WORK/second.out" 2>"$WORK/second.err"
    grep -qxF '"tarvo-vexa-snsorwindow is already running!"' "$WORK/second.err" || fail "the second start did not find the first"

    # Without a usable home only /tmp is left: the planted folder is refused.
    HOME=/nonexistent QT_QPA_PLATFORM=offscreen run_bounded "$WAIT_LIMIT" "${WINDOW_LAUNCHER[@]}" "$SINGLEAPP_HELPER" "$id" serve \
        </dev/null >"$WORK/homeless.out" 2>"$WORK/homeless.err"
    [ "$(cat "$WORK/planted.out")" = planted ] || fail "a program talked to the planted socket"
    grep -q "SingleApplication: refusing $(dirname "$path")" "$WORK/homeless.err" ||
        fail "no warning about the folder: $(cat "$WORK/homeless.err")"
}

mkfifo "$WORK/stdin.fifo"
# Keeps the fifo open for writing, so helpers reading it run until cleanup.
sleep 100000 >"$WORK/stdin.fifo" &
PIDS=("$!" "${PIDS[@]}")

case ${1:-} in
clicks) case_clicks ;;
keyboard) case_keyboard ;;
no-service) case_no_service ;;
forwarded-text) case_forwarded_text ;;
same-display) case_same_display ;;
other-display) case_other_display ;;
no-config) case_no_config ;;
lock-file) case_lock_file ;;
no-catalogue) case_no_catalogue ;;
title-locale) case_title_locale ;;
planted-instance) case_planted_instance ;;
*)
    echo "usage: $0 clicks|keyboard|no-service|forwarded-text|same-display|other-display|no-config|lock-file|no-catalogue|title-locale|planted-instance" >&2
    exit 64
    ;;
esac
echo "PASS: $1"
