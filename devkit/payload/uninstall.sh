#!/bin/bash
# Removes the desk and everything Quendrel installed on this computer, and
# keeps the user's work: every "presets" and "projects" folder is moved to
# the Desktop, into "Quendrel — your mixes" (or "… 2", "… 3" when that name
# is taken). With --app PATH the application bundle at PATH goes too.
#
# It usually runs from a temporary copy, so it finds the desk by itself:
# ~/Library/Application Support/Quendrel/Desk when that holds agent.sh,
# else ~/Tarvic. Each thing done is reported on a line starting with "✓".
# With --mixes-in-home the work goes to the home folder instead of the
# Desktop (the desk does that when it removes itself after the application
# was emptied from the Trash).

set -u

if [[ -t 1 ]]; then
    green=$'\e[32m' red=$'\e[31m' plain=$'\e[0m'
else
    green="" red="" plain=""
fi

did() { printf '%s✓%s %s\n' "$green" "$plain" "$1"; }
trouble() { printf '%s✗%s %s\n' "$red" "$plain" "$1"; }
fail() {
    trouble "$1"
    [[ $# -gt 1 ]] && echo "$2"
    exit 1
}

app=""
in_home=0
while (( $# )); do
    case "$1" in
        --mixes-in-home)
            in_home=1
            shift ;;
        --app)
            [[ $# -ge 2 && -n "$2" ]] || fail "The uninstaller was asked to remove an application but not told where it is."
            app="$2"
            shift 2 ;;
        *)
            fail "The uninstaller does not understand \"$1\"." ;;
    esac
done

[[ "${HOME:-}" == /?* && -d "$HOME" ]] \
    || fail "The uninstaller needs the HOME variable to name your home folder, and it does not."
home="${HOME%/}"

support="$home/Library/Application Support/Quendrel"
moved="$support/Desk"
first="$home/Tarvic"
if [[ -f "$moved/agent.sh" ]]; then
    desk="$moved"
elif [[ -e "$first" || -L "$first" ]]; then
    desk="$first"
else
    desk=""
fi

# Every place the desk has lived or been set aside in, the current one first.
places=()
add_place() {
    local p="$1" known
    [[ -e "$p" || -L "$p" ]] || return 0
    for known in "${places[@]}"; do
        [[ "$known" == "$p" ]] && return 0
    done
    places+=("$p")
}
[[ -n "$desk" ]] && add_place "$desk"
add_place "$moved"
add_place "$support/Desk-previous"
for p in "$support"/Desk-unfinished*; do add_place "$p"; done
add_place "$first"
add_place "$home/Tarvic-previous"
for p in "$home"/Tarvic-unfinished*; do add_place "$p"; done

# ---------------------------------------------------------------- stop

stopped=0
if [[ -n "$desk" && -f "$desk/agent.sh" ]]; then
    if ! out="$(cd "$desk" && /bin/bash "$desk/agent.sh" stop 2>&1)"; then
        printf '%s\n' "$out" | grep -v '^[[:space:]]*$' | tail -n 2
        fail "The console could not be stopped, so nothing was removed." \
             "Quit anything that uses the console's port, then try again."
    fi
    stopped=1
fi

# Desks still running from any of those places (an older copy set aside, a
# half-laid one) are ended too, so nothing runs from a removed folder.
ended=()
for dir in /proc/[0-9]*; do
    args=()
    mapfile -d '' -t args 2>/dev/null < "$dir/cmdline" || continue
    [[ "${args[1]:-}" == */agent.sh && "${args[2]:-}" == _keep ]] \
        || [[ "${args[1]:-}" == -m && "${args[2]:-}" == engine.desk ]] || continue
    cwd="$(readlink "$dir/cwd" 2>/dev/null)" || continue
    for p in "${places[@]}"; do
        if [[ "$cwd" == "$p" || "$cwd" == "$p"/* ]]; then
            kill -TERM "${dir#/proc/}" 2>/dev/null && ended+=("${dir#/proc/}") && stopped=1
        fi
    done
done
for (( i = 0; i < 50 && ${#ended[@]}; i++ )); do
    left=()
    for pid in "${ended[@]}"; do
        [[ -e "/proc/$pid" ]] && left+=("$pid")
    done
    ended=("${left[@]}")
    (( ${#ended[@]} )) && sleep 0.1
done

unit="${XDG_CONFIG_HOME:-$home/.config}/systemd/user/quendrel-desk.service"
if [[ -f "$unit" ]]; then
    if command -v systemctl >/dev/null 2>&1; then
        timeout 20 systemctl --user disable --now quendrel-desk.service >/dev/null 2>&1
    fi
    rm -f -- "$unit" || fail "The console's service file $unit could not be removed."
    command -v systemctl >/dev/null 2>&1 && timeout 20 systemctl --user daemon-reload >/dev/null 2>&1
    stopped=1
fi
(( stopped )) && did "Stopped the console"

# ---------------------------------------------------------------- keep the work

mixes_name="Quendrel — your mixes"
has_work=0
for p in "${places[@]}"; do
    [[ -e "$p/presets" || -e "$p/projects" ]] && has_work=1
done

if (( has_work )); then
    if (( in_home )); then
        parent="$home" shown=""
    else
        parent="$home/Desktop" shown="Desktop/"
        mkdir -p -- "$parent" || fail "There is no Desktop folder to put your presets and projects in, and one could not be made, so nothing was removed."
    fi
    name="$mixes_name"
    n=2
    while [[ -e "$parent/$name" || -L "$parent/$name" ]]; do
        name="$mixes_name $n"
        n=$(( n + 1 ))
    done
    dest="$parent/$name"
    mkdir -- "$dest" || fail "The folder $shown$name could not be made, so nothing was removed."
    what=()
    for p in "${places[@]}"; do
        if [[ "$p" == "${places[0]}" ]]; then
            into="$dest"
        else
            into="$dest/Earlier copy ($(basename "$p"))"
        fi
        for item in presets projects; do
            [[ -e "$p/$item" || -L "$p/$item" ]] || continue
            mkdir -p -- "$into" \
                && out="$(mv -- "$p/$item" "$into/$item" 2>&1)" \
                || fail "Your $item could not be moved to $shown$name, so the rest was not removed." "${out:-}"
            [[ " ${what[*]:-} " == *" $item "* ]] || what+=("$item")
        done
    done
    if (( ${#what[@]} == 2 )); then
        did "Put your presets and projects in $shown$name"
    else
        did "Put your ${what[0]} in $shown$name"
    fi
fi

# ---------------------------------------------------------------- remove

for p in "${places[@]}"; do
    out="$(rm -rf -- "$p" 2>&1)" || fail "The folder $p could not be removed completely." "$(printf '%s\n' "$out" | tail -n 1)"
    if [[ "$p" == "$desk" ]]; then
        did "Removed the console's files (${p#"$home"/})"
    else
        did "Removed an earlier copy of the console (${p#"$home"/})"
    fi
done
rmdir -- "$support" 2>/dev/null

for label in com.quendrel.desk com.tarvicone.tarvic; do
    plist="$home/Library/LaunchAgents/$label.plist"
    if [[ -e "$plist" || -L "$plist" ]]; then
        rm -f -- "$plist" || fail "The start-up file $plist could not be removed."
        did "Removed the console's start-up entry ($label)"
    fi
done
rm -f -- "$home/.tarvic-setting-up" "$home/.tarvic-update.lock"

if (( ! ${#places[@]} )); then
    echo "The console was not installed on this computer."
fi

# ---------------------------------------------------------------- the app

if [[ -n "$app" ]]; then
    bundle="${app%/}"
    if [[ -e "$bundle" || -L "$bundle" ]]; then
        [[ "$bundle" == *.app ]] \
            || fail "$app was left alone: it is not an application." "Everything else was removed."
        out="$(rm -rf -- "$bundle" 2>&1)" \
            || fail "Quendrel itself could not be removed from $(dirname "$bundle")." "Drag $(basename "$bundle") to the Trash yourself."
        did "Removed $(basename "$bundle") from $(dirname "$bundle")"
    fi
fi
exit 0
