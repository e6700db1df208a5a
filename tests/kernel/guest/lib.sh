# Helpers for the guest's step scripts (busybox sh), sourced by /init.
#
# /lane/disks, written by the host, names every attached disk, one a line:
#   LABEL KIND ide BUS UNIT     a disk on the PIIX IDE controller
#   LABEL KIND scsi ID          a disk behind virtio-scsi, at that target id
#   LABEL card bridge N         a card behind the guest's own SAT bridge: LIO's
#                               user-space backstore served by qelcard-tcmu,
#                               on the loopback fabric at target N
# KIND is "card" (served by the virtual card) or "raw" (a plain image).

# The Nth SCSI host (counted from 0 in host number order) whose driver is
# $1; prints "hostK".
lane_host() {
    local want="$1" nth="$2" i=0 seen=0
    while [ $i -lt 32 ]; do
        if [ "$(cat "/sys/class/scsi_host/host$i/proc_name" 2>/dev/null)" = "$want" ]; then
            if [ "$seen" -eq "$nth" ]; then
                echo "host$i"
                return 0
            fi
            seen=$((seen + 1))
        fi
        i=$((i + 1))
    done
    return 1
}

# SCSI address H:C:T:L of a disk from its /lane/disks line fields.
lane_address() {
    local bus="$1" a="$2" b="$3" h
    if [ "$bus" = ide ]; then
        h=$(lane_host ata_piix "$a") || return 1
        echo "${h#host}:0:$b:0"
    elif [ "$bus" = bridge ]; then
        h=$(lane_host tcm_loopback 0) || return 1
        echo "${h#host}:0:$a:0"
    else
        h=$(lane_host virtio_scsi 0) || return 1
        echo "${h#host}:0:$a:0"
    fi
}

# The /dev node of the disk labelled $1.
disk() {
    local label kind bus a b addr blk
    while read -r label kind bus a b; do
        [ "$label" = "$1" ] || continue
        addr=$(lane_address "$bus" "$a" "$b") || return 1
        for blk in /sys/class/scsi_disk/"$addr"/device/block/*; do
            [ -e "$blk" ] && echo "/dev/${blk##*/}" && return 0
        done
        return 1
    done < /lane/disks
    return 1
}

# The key that "-list" expects for the card labelled $1: its place among
# the attached cards in the order the tool scans them (/dev/sda upwards).
list_key() {
    local target label kind rest
    target=$(disk "$1") || return 1
    while read -r label kind rest; do
        [ "$kind" = card ] && disk "$label"
    done < /lane/disks | sort | grep -n -x -F "$target" | cut -d: -f1 | {
        read -r n && echo $((n - 1))
    }
}

# Opens the report channel on descriptor 3: the virtio serial port that the
# host named "lane".
lane_open_report() {
    local port
    modprobe virtio_pci
    modprobe virtio_console
    for port in /sys/class/virtio-ports/*; do
        if [ "$(cat "$port/name" 2>/dev/null)" = lane ]; then
            exec 3> "/dev/${port##*/}"
            return 0
        fi
    done
    echo "lane: no report port"
    poweroff -f
}

lane_uptime() {
    cut -d' ' -f1 /proc/uptime
}

LANE_CONFIGFS=/sys/kernel/config/target
LANE_LOOPBACK=$LANE_CONFIGFS/loopback/naa.5001405000000001

# The bridge cards: their folders come from the host over virtio-9p (tag
# "cards") at /cards; each gets a LIO user-space backstore with the subtype
# "qelcard", its handler qelcard-tcmu, and a LUN on the loopback fabric at
# target N, which the kernel then attaches as a SCSI disk. The handler runs
# before the LUN exists, so sd's first INQUIRY already finds it.
lane_bring_up_bridges() {
    local m label kind bus n rest dev uio size tpg
    grep -q ' bridge ' /lane/disks || return 0
    for m in 9pnet_virtio 9p target_core_user tcm_loop; do
        modprobe "$m" || echo "lane: modprobe $m failed"
    done
    mkdir -p /cards
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 cards /cards || echo "lane: cannot mount /cards"
    grep -q ' /sys/kernel/config ' /proc/mounts || mount -t configfs configfs /sys/kernel/config
    mkdir -p "$LANE_LOOPBACK"
    while read -r label kind bus n rest; do
        [ "$bus" = bridge ] || continue
        dev=$LANE_CONFIGFS/core/user_1/$label
        mkdir -p "$dev"
        size=$(sed -n 's/^capacity=//p' "/cards/$label/card.conf")
        echo -n "dev_config=qelcard//cards/$label" > "$dev/control"
        echo -n "dev_size=$((size * 512))" > "$dev/control"
        echo 1 > "$dev/enable"
        for uio in /sys/class/uio/uio*; do
            case $(cat "$uio/name") in
                "tcm-user/1/$label/qelcard/"*) break ;;
            esac
        done
        qelcard-tcmu "/dev/${uio##*/}" "/cards/$label" 2> "/tmp/tcmu-$label.log" &
        echo $! > "/tmp/tcmu-$label.pid"
        tpg=$LANE_LOOPBACK/tpgt_$n
        mkdir -p "$tpg/lun/lun_0"
        echo "naa.50014050000002$(printf %02d "$n")" > "$tpg/nexus"
        ln -s "$dev" "$tpg/lun/lun_0/$label"
    done < /lane/disks
}

# bridge_reload LABEL: the handler of a bridge card reads the card's
# settings again (after "qelvcard set" changed them).
bridge_reload() {
    kill -HUP "$(cat "/tmp/tcmu-$1.pid")"
    sleep 0.2
}

# Loads the disk drivers and waits until every disk of /lane/disks has its
# /dev node. The kernel runs with scsi_mod.scan=manual: a full scan of the
# virtio HBA probes 256 targets, six seconds under TCG, so only the
# targets that the host attached are asked for.
lane_bring_up_disks() {
    local m vhost label kind bus a b rest tries missing
    for m in sd_mod sg ata_piix virtio_pci virtio_scsi; do
        modprobe "$m" || echo "lane: modprobe $m failed"
    done
    lane_bring_up_bridges
    vhost=$(lane_host virtio_scsi 0)
    while read -r label kind bus a b; do
        if [ "$bus" = scsi ] && [ -n "$vhost" ]; then
            echo "0 $a 0" > "/sys/class/scsi_host/$vhost/scan"
        fi
    done < /lane/disks
    tries=0
    while [ $tries -lt 100 ]; do
        missing=
        while read -r label rest; do
            disk "$label" > /dev/null || missing="$missing $label"
        done < /lane/disks
        [ -z "$missing" ] && break
        sleep 0.1
        tries=$((tries + 1))
    done
    [ -n "$missing" ] && echo "lane: disks not found:$missing"
    echo "lane: disks ready at $(lane_uptime) s"
}

lane_report_disks() {
    local label rest
    echo "@@QEL DISKS" >&3
    while read -r label rest; do
        echo "$label $(disk "$label" || echo none)" >&3
    done < /lane/disks
    echo "@@QEL END" >&3
}

# step NAME [--stdin TEXT] [--regbin SET] [--no-trace] -- COMMAND ARGS...
# Runs the command in a fresh working directory /tmp/steps/NAME (with a copy
# of the image set SET from /lane/data/SET/REGBIN when given), its standard
# input fed with TEXT and then closed, and sends back every file that the
# directory then holds: "stdout", "stderr", "status" (the exit status),
# "seconds", "dmesg" (kernel messages during the step), "Display.log" and
# the trace file that the tool wrote (unless --no-trace: a flow's trace runs
# to megabytes, which take TCG seconds to encode and send).
step() {
    local name="$1" stdin_text='' regbin='' trace=1 dir t0 t1 f
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        case $1 in
            --stdin) stdin_text=$2; shift 2 ;;
            --regbin) regbin=$2; shift 2 ;;
            --no-trace) trace=0; shift ;;
            *) echo "lane: step $name: unknown option $1"; return 1 ;;
        esac
    done
    shift
    dir=/tmp/steps/$name
    mkdir -p "$dir"
    if [ -n "$regbin" ]; then
        cp -a "/lane/data/$regbin/REGBIN" "$dir/"
    fi
    dmesg -c > /dev/null
    echo "lane: step $name: $*"
    t0=$(lane_uptime)
    # A step that hangs is ended, so the boot still reports the others.
    (cd "$dir" && printf '%s' "$stdin_text" | timeout 150 "$@" > stdout 2> stderr)
    echo $? > "$dir/status"
    t1=$(lane_uptime)
    echo "$t0 $t1" | awk '{ printf "%.2f\n", $2 - $1 }' > "$dir/seconds"
    dmesg > "$dir/dmesg"
    echo "lane: step $name: status $(cat "$dir/status") after $(cat "$dir/seconds") s"
    set --
    for f in "$dir"/*; do
        [ -f "$f" ] || continue
        case ${f##*/} in
            Display.log | stdout | stderr) ;;
            *.log) [ "$trace" = 1 ] || continue ;;
        esac
        set -- "$@" "${f##*/}"
    done
    echo "@@QEL STEP $name" >&3
    tar -cf - -C "$dir" "$@" | base64 >&3
    echo "@@QEL END" >&3
}
