#!/bin/bash
# Looks after the desk's background process.
#
#   agent.sh install          write the LaunchAgent property list, (re)start the desk
#   agent.sh start            start the desk unless it is running
#   agent.sh stop             stop it; succeeds only once nothing answers on its port
#   agent.sh restart          stop, then start
#   agent.sh set-passphrase   make a new console passphrase (used after a restart)
#
# The desk runs under the user's systemd manager when one is reachable, else
# as a background process with a small keeper that restarts it if it dies
# (pid in data/desk.pid, output in logs/desk.log). DESK_SUPERVISOR=process or
# DESK_SUPERVISOR=systemd chooses one instead of asking.
#
# Run as: /bin/bash /full/path/agent.sh COMMAND   (from the desk's folder)

set -u

fail() {
    echo "$1"
    exit 1
}

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)" \
    || fail "The desk's agent could not find its own folder."
cd "$here" || fail "The desk's agent could not open its folder $here."
[[ "${HOME:-}" == /* ]] || fail "The desk's agent needs the HOME variable to name your home folder."

label="com.quendrel.desk"
plist="$HOME/Library/LaunchAgents/$label.plist"
unit_name="quendrel-desk.service"
unit="${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user/$unit_name"
pidfile="$here/data/desk.pid"
log="$here/logs/desk.log"

# ---------------------------------------------------------------- basics

pick_python() {
    if [[ -x "$here/.venv/bin/python" ]] && "$here/.venv/bin/python" -c '' >/dev/null 2>&1; then
        py="$here/.venv/bin/python"
    elif [[ -x /usr/bin/python3 ]]; then
        py=/usr/bin/python3
    elif py="$(command -v python3)"; then
        :
    else
        fail "Python 3 was not found, so the console cannot run. Set this computer up again."
    fi
}

# The port the desk listens on, by the same rule the desk itself uses.
find_port() {
    local out
    out="$("$py" -m engine.desk port 2>&1)" || fail "${out:-The port for the console could not be worked out.}"
    port="$out"
}

# What answers on the port: desk, other or none.
probe() {
    "$py" -m engine.desk probe 2>/dev/null || echo none
}

version() {
    local words=()
    read -r -a words 2>/dev/null < VERSION
    printf '%s' "${words[0]:-}"
}

supervisor() {
    if [[ -n "${mode:-}" ]]; then
        echo "$mode"
        return
    fi
    case "${DESK_SUPERVISOR:-}" in
        process) echo process; return ;;
        systemd) echo systemd; return ;;
    esac
    local state=""
    if command -v systemctl >/dev/null 2>&1; then
        state="$(timeout 5 systemctl --user is-system-running 2>/dev/null)"
    fi
    case "$state" in
        running|degraded|starting|initializing) echo systemd ;;
        *) echo process ;;
    esac
}

take_lock() {
    mkdir -p -- "$here/data" || fail "Could not make the folder $here/data."
    if command -v flock >/dev/null 2>&1; then
        exec 9>"$here/data/.agent-lock" || return 0
        flock -w 30 9 || fail "Another command for the desk is still running. Try again in a minute."
    fi
}

# ---------------------------------------------------------------- processes

# The keeper and desk processes that belong to this folder: the keeper named
# in data/desk.pid (which travels with the data when the desk is laid down
# anew), and any keeper or desk whose working folder is this one.
our_pids() {
    local pid dir args found=()
    if [[ -r "$pidfile" ]]; then
        read -r pid < "$pidfile"
        if [[ "$pid" =~ ^[0-9]+$ ]] && is_ours "$pid"; then
            found+=("$pid")
        fi
    fi
    for dir in /proc/[0-9]*; do
        pid="${dir#/proc/}"
        [[ "$pid" == "$$" || "$pid" == "${BASHPID:-}" ]] && continue
        is_ours "$pid" && [[ "$dir/cwd" -ef "$here" ]] && found+=("$pid")
    done
    (( ${#found[@]} )) && printf '%s\n' "${found[@]}" | sort -un
}

# Whether a process is a keeper or a desk, judged by its arguments (read
# with builtins only: this runs once for every process on the computer).
is_ours() {
    local args=()
    mapfile -d '' -t args 2>/dev/null < "/proc/$1/cmdline" || return 1
    [[ "${args[0]:-}" == */bash && "${args[1]:-}" == */agent.sh && "${args[2]:-}" == _keep ]] \
        || [[ "${args[1]:-}" == -m && "${args[2]:-}" == engine.desk && "${args[3]:-}" == serve ]]
}

# True while any of the processes exists and is not a zombie.
alive() {
    local pid stat
    for pid in "$@"; do
        read -r stat 2>/dev/null < "/proc/$pid/stat" || continue
        stat="${stat##*) }"
        [[ "${stat%% *}" != Z ]] && return 0
    done
    return 1
}

# Signal a keeper's whole process group (it leads its own session) and the
# process itself, so a desk it started goes too.
signal_all() {
    local sig="$1" pid
    shift
    for pid in "$@"; do
        kill "-$sig" -- "-$pid" 2>/dev/null
        kill "-$sig" "$pid" 2>/dev/null
    done
}

stop_processes() {
    local pids=() i
    mapfile -t pids < <(our_pids)
    (( ${#pids[@]} )) || return 0
    signal_all TERM "${pids[@]}"
    for (( i = 0; i < 40; i++ )); do
        alive "${pids[@]}" || break
        sleep 0.2
    done
    if alive "${pids[@]}"; then
        echo "The console did not stop when asked; ending it."
        signal_all KILL "${pids[@]}"
        sleep 0.3
    fi
    rm -f -- "$pidfile"
}

rotate_log() {
    mkdir -p -- "$here/logs" || fail "Could not make the folder $here/logs."
    local size
    size="$(stat -c %s "$log" 2>/dev/null || echo 0)"
    if (( size > 1048576 )); then
        mv -f -- "$log" "$log.1"
    fi
}

start_process() {
    rotate_log
    # The keeper gets its own session and none of our streams, so whoever
    # reads our output to its end is not held up by the desk.
    setsid /bin/bash "$here/agent.sh" _keep </dev/null >>"$log" 2>&1 9>&- &
}

# Runs in the background: starts the desk and starts it again if it dies.
keep() {
    local child="" stopping=0 quick=0 began rc
    echo "$$" > "$pidfile.new" && mv -f -- "$pidfile.new" "$pidfile"
    trap 'stopping=1; [[ -n "$child" ]] && kill -TERM "$child" 2>/dev/null' TERM INT HUP
    while (( ! stopping )); do
        began=$SECONDS
        "$py" -m engine.desk serve &
        child=$!
        wait "$child"
        rc=$?
        while kill -0 "$child" 2>/dev/null; do
            wait "$child"
            rc=$?
        done
        child=""
        (( stopping )) && break
        if (( rc == 3 )); then
            echo "The console cannot start (see the line above), so it is not started again."
            break
        fi
        if (( SECONDS - began < 30 )); then quick=$(( quick + 1 )); else quick=0; fi
        if (( quick >= 5 )); then
            echo "The console stopped by itself five times in a row, so it is not started again."
            break
        fi
        echo "$(date '+%Y-%m-%d %H:%M:%S') The console stopped unexpectedly (status $rc); starting it again."
        sleep 2 &
        wait $!
    done
    if [[ -r "$pidfile" && "$(cat "$pidfile" 2>/dev/null)" == "$$" ]]; then
        rm -f -- "$pidfile"
    fi
}

# ---------------------------------------------------------------- systemd

unit_quote() {
    local s="$1"
    s="${s//'\'/'\\'}"
    s="${s//'"'/'\"'}"
    s="${s//'%'/'%%'}"
    printf '"%s"' "$s"
}

write_unit() {
    mkdir -p -- "$(dirname "$unit")" || fail "Could not make the folder for $unit."
    {
        echo "[Unit]"
        echo "Description=Quendrel desk (the mixing console)"
        echo ""
        echo "[Service]"
        echo "ExecStart=/bin/bash $(unit_quote "$here/agent.sh") run"
        echo "Environment=QUENDREL_PORT=$port"
        [[ -n "${DESK_BIND:-}" ]] && echo "Environment=$(unit_quote "DESK_BIND=$DESK_BIND")"
        echo "Restart=on-failure"
        echo "RestartSec=2"
        echo "RestartPreventExitStatus=3"
        echo "TimeoutStopSec=10"
        echo ""
        echo "[Install]"
        echo "WantedBy=default.target"
    } > "$unit.new" && mv -f -- "$unit.new" "$unit" || fail "Could not write $unit."
    timeout 20 systemctl --user daemon-reload >/dev/null 2>&1 \
        || fail "The user's service manager did not take the desk's service file."
}

systemd_stop() {
    if [[ -f "$unit" ]] && command -v systemctl >/dev/null 2>&1; then
        timeout 20 systemctl --user stop "$unit_name" >/dev/null 2>&1
    fi
}

# ---------------------------------------------------------------- commands

xml() {
    local s="$1"
    s="${s//'&'/'&amp;'}"
    s="${s//'<'/'&lt;'}"
    s="${s//'>'/'&gt;'}"
    printf '%s' "$s"
}

write_plist() {
    local folder
    folder="$(dirname "$plist")"
    mkdir -p -- "$folder" || fail "Could not make the folder $folder."
    cat > "$plist.new" <<EOF || fail "Could not write the desk's agent file $plist."
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>Label</key>
	<string>$label</string>
	<key>ProgramArguments</key>
	<array>
		<string>/bin/bash</string>
		<string>$(xml "$here/agent.sh")</string>
		<string>run</string>
	</array>
	<key>WorkingDirectory</key>
	<string>$(xml "$here")</string>
	<key>EnvironmentVariables</key>
	<dict>
		<key>QUENDREL_PORT</key>
		<string>$port</string>
	</dict>
	<key>RunAtLoad</key>
	<true/>
	<key>KeepAlive</key>
	<dict>
		<key>SuccessfulExit</key>
		<false/>
	</dict>
	<key>StandardOutPath</key>
	<string>$(xml "$log")</string>
	<key>StandardErrorPath</key>
	<string>$(xml "$log")</string>
</dict>
</plist>
EOF
    mv -f -- "$plist.new" "$plist" || fail "Could not write the desk's agent file $plist."
    echo "Wrote the desk's agent file $plist"
}

wait_until_up() {
    local i answer deadline=$(( SECONDS + 15 ))
    for (( i = 0; SECONDS < deadline; i++ )); do
        answer="$(probe)"
        if [[ "$answer" == desk ]]; then
            return 0
        fi
        if [[ "$mode" == process && $i -ge 4 ]] && [[ -z "$(our_pids)" ]]; then
            break       # the keeper gave up: no use waiting longer
        fi
        sleep 0.25
    done
    [[ "${1:-}" == quietly ]] && return 1
    echo "The console did not start. The last lines of its log say:"
    tail -n 3 "$log" 2>/dev/null | sed 's/^/  /'
    fail "The console did not start on port $port. Its log is $log."
}

do_start() {
    case "$(probe)" in
        desk)
            echo "The console is already running on port $port."
            return 0 ;;
        other)
            fail "Port $port is in use by another program, so the console cannot start. Quit that program, or set QUENDREL_PORT to another port." ;;
    esac
    if [[ "$mode" == process && -n "$(our_pids)" ]]; then
        # A keeper is between two runs of the desk: let it finish starting.
        if wait_until_up quietly; then
            echo "The console is running on port $port (version $(version))."
            return 0
        fi
        stop_processes
    fi
    if [[ "$mode" == systemd ]]; then
        write_unit
        rotate_log
        timeout 30 systemctl --user enable --now "$unit_name" >/dev/null 2>&1 \
            || timeout 30 systemctl --user restart "$unit_name" >/dev/null 2>&1 \
            || fail "The user's service manager would not start the console."
    else
        start_process
    fi
    wait_until_up
    echo "The console is running on port $port (version $(version))."
}

do_stop() {
    local answer deadline=$(( SECONDS + 10 ))
    echo "Stopping the console…"
    systemd_stop
    stop_processes
    while :; do
        answer="$(probe)"
        if [[ "$answer" == none ]]; then
            echo "The console has stopped."
            return 0
        fi
        (( SECONDS < deadline )) || break
        sleep 0.25
    done
    if [[ "$answer" == desk ]]; then
        fail "The console did not stop: a desk still answers on port $port. It may have been started from another folder."
    fi
    fail "The console did not stop: something still answers on port $port."
}

do_install() {
    write_plist
    if [[ -n "$(our_pids)" || "$(probe)" == desk ]]; then
        do_stop || exit 1
    fi
    do_start
    echo "The desk is installed and running."
}

do_set_passphrase() {
    local out
    if ! out="$("$py" -m engine.access new 2>&1)"; then
        [[ -n "$out" ]] && printf '%s\n' "$out" | tail -n 2
        fail "The passphrase was not changed."
    fi
    printf '%s\n' "$out"
}

command="${1:-}"
pick_python
mode="$(supervisor)"
case "$command" in
    install)        take_lock; find_port; do_install ;;
    start)          take_lock; find_port; do_start ;;
    stop)           take_lock; find_port; do_stop ;;
    restart)        take_lock; find_port; do_stop && do_start ;;
    set-passphrase) take_lock; do_set_passphrase ;;
    run)            mkdir -p -- "$here/logs"
                    [[ -t 1 ]] || exec >>"$log" 2>&1
                    exec "$py" -m engine.desk serve ;;
    _keep)          keep ;;
    *)              echo "Usage: agent.sh install | start | stop | restart | set-passphrase"
                    fail "\"${command}\" is not something the desk's agent can do." ;;
esac
exit 0
