# Host side of the kernel lane, sourced by tests/kernel/run: packages, the
# guest kernel, the initramfs, the disks (plain images, virtual cards
# served by nbdkit, and cards the guest serves behind its own SAT bridge), the qemu boot, the report read back from the guest, and
# the small assertion vocabulary the boot files use.

lane_log() {
    printf '[lane %4ds] %s\n' "$SECONDS" "$*"
}

lane_die() {
    lane_log "error: $*" >&2
    exit 2
}

# ---------------------------------------------------------------- packages

LANE_PACKAGES=(qemu-system-x86 nbdkit nbdkit-plugin-dev busybox-static cpio kmod linux-libc-dev
    smartmontools hdparm sg3-utils util-linux)
lane_apt_updated=0

lane_apt_update() {
    if [ "$lane_apt_updated" = 0 ]; then
        lane_log "apt-get update"
        apt-get update -q > "$lane_work/apt-update.log" 2>&1 ||
            lane_die "apt-get update failed (see $lane_work/apt-update.log)"
        lane_apt_updated=1
    fi
}

lane_install_packages() {
    local missing=() p
    for p in "${LANE_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    [ "$(id -u)" = 0 ] || lane_die "missing packages (${missing[*]}) and not root to install them"
    lane_apt_update
    lane_log "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "${missing[@]}" \
        > "$lane_work/apt-install.log" 2>&1 ||
        lane_die "apt-get install failed (see $lane_work/apt-install.log)"
}

# ------------------------------------------------------------------ kernel

# The versioned kernel package that linux-image-amd64 currently points at.
lane_kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

# Sets lane_kernel (vmlinuz), lane_kver and lane_modules (the module tree).
# The unpacked package is kept under the cache, keyed by package name, with
# its modules already indexed. Runs of the lane from several builds share
# the cache, so filling it is done under a lock.
lane_fetch_kernel() {
    local pkg dir tmp debs
    exec 9> "$lane_cache/.lock"
    flock 9
    pkg=$(lane_kernel_package)
    if [ -z "$pkg" ]; then
        lane_apt_update
        pkg=$(lane_kernel_package)
    fi
    [ -n "$pkg" ] || lane_die "apt-cache knows no linux-image-amd64"
    dir=$lane_cache/kernel/$pkg
    if [ ! -e "$dir/.ready" ]; then
        mkdir -p "$lane_cache/deb"
        rm -f "$lane_cache/deb/${pkg}_"*.deb
        lane_log "downloading $pkg"
        if ! (cd "$lane_cache/deb" && apt-get download -o APT::Sandbox::User=root "$pkg") \
            > "$lane_work/apt-download.log" 2>&1; then
            lane_apt_update
            (cd "$lane_cache/deb" && apt-get download -o APT::Sandbox::User=root "$pkg") \
                > "$lane_work/apt-download.log" 2>&1 ||
                lane_die "apt-get download $pkg failed (see $lane_work/apt-download.log)"
        fi
        debs=("$lane_cache/deb/${pkg}_"*.deb)
        tmp=$dir.unpack
        rm -rf "$tmp"
        mkdir -p "$tmp"
        lane_log "unpacking ${debs[0]##*/}"
        dpkg -x "${debs[0]}" "$tmp"
        # Newer packages keep the modules under usr/lib; depmod -b expects lib.
        if [ ! -d "$tmp/lib/modules" ] && [ -d "$tmp/usr/lib/modules" ]; then
            ln -s usr/lib "$tmp/lib"
        fi
        lane_kver=$(ls "$tmp/lib/modules")
        depmod -b "$tmp" "$lane_kver"
        rm -f "${debs[@]}"
        rm -rf "$dir"
        mv "$tmp" "$dir"
        touch "$dir/.ready"
    fi
    flock -u 9
    exec 9>&-
    lane_kver=$(ls "$dir/lib/modules")
    lane_kernel=$dir/boot/vmlinuz-$lane_kver
    lane_modules=$dir/lib/modules/$lane_kver
    [ -f "$lane_kernel" ] || lane_die "no kernel image in $dir"
    lane_log "kernel $lane_kver"
}

# ------------------------------------------------------------------- build

# Builds (or brings up to date) qeltool, qelvcard, the nbdkit plugin and the
# TCMU handler in $lane_build and sets lane_tool, lane_vcard, lane_plugin and
# lane_tcmu.
lane_build_binaries() {
    local targets=(qeltool qelvcard nbdkit-qelcard-plugin qelcard-tcmu)
    lane_log "building ${targets[*]} in $lane_build"
    cmake -S "$lane_repo" -B "$lane_build" > "$lane_work/cmake-configure.log" 2>&1 ||
        lane_die "cmake configure failed (see $lane_work/cmake-configure.log)"
    cmake --build "$lane_build" -j "$(nproc)" --target "${targets[@]}" \
        > "$lane_work/cmake-build.log" 2>&1 ||
        lane_die "build failed (see $lane_work/cmake-build.log)"
    lane_tool=$lane_build/qeltool
    lane_vcard=$(find "$lane_build" -name qelvcard -type f -perm -u+x -print -quit)
    lane_plugin=$(find "$lane_build" -name nbdkit-qelcard-plugin.so -type f -print -quit)
    lane_tcmu=$lane_build/qelcard-tcmu
    [ -x "$lane_tcmu" ] || lane_die "no qelcard-tcmu in $lane_build"
    [ -x "$lane_tool" ] || lane_die "no qeltool in $lane_build"
    [ -n "$lane_vcard" ] || lane_die "no qelvcard in $lane_build"
    [ -n "$lane_plugin" ] || lane_die "no nbdkit-qelcard-plugin.so in $lane_build"
}

# --------------------------------------------------------------- initramfs

LANE_MODULES=(sd_mod sg ata_piix virtio_pci virtio_scsi virtio_console
    target_core_user tcm_loop 9pnet_virtio 9p minix)

# Programs of the bridge path in the guest: the card's TCMU handler, qelvcard
# (to change a card's faults between steps) and the standard tools that look
# at a disk.
LANE_GUEST_TOOLS=(smartctl hdparm sg_vpd mkfs.minix)

# Module files (relative to the module tree) that $@ need, dependencies
# included, from the tree's modules.dep.
lane_module_closure() {
    local dep=$lane_modules/modules.dep m
    for m in "$@"; do
        awk -v m="$m" -F': *' '
            { n = $1; sub(/.*\//, "", n); sub(/\.ko(\.[a-z]+)?$/, "", n); gsub(/-/, "_", n) }
            n == m { print $1; if ($2 != "") { k = split($2, d, " "); for (i = 1; i <= k; i++) print d[i] } }
        ' "$dep"
    done | sort -u
}

# Copies an executable and the shared libraries that ldd lists into the
# staging tree, each at its own path.
lane_stage_executable() {
    local stage=$1 exe=$2 dest=$3 lib
    mkdir -p "$stage/${dest%/*}"
    cp "$exe" "$stage/$dest"
    strip --strip-debug "$stage/$dest" 2>/dev/null || true
    ldd "$exe" | awk '/=> \// { print $3 } /^\t\/[^ ]+ \(/ { print $1 }' | while read -r lib; do
        mkdir -p "$stage/${lib%/*}"
        cp -L "$lib" "$stage/$lib"
    done
}

# The part of the initramfs that every boot shares: busybox, the disk
# drivers, qeltool and the guest's init. Written to $lane_work/base.cpio.gz.
lane_build_base_initramfs() {
    local stage=$lane_work/base-root rel
    rm -rf "$stage"
    mkdir -p "$stage"/{bin,dev,proc,sys,tmp,lane,usr/local/bin}
    cp /bin/busybox "$stage/bin/busybox"
    file -b /bin/busybox 2>/dev/null | grep -q 'statically linked' ||
        ldd /bin/busybox 2>&1 | grep -q 'not a dynamic executable' ||
        lane_die "/bin/busybox is not the static build (busybox-static)"
    mkdir -p "$stage/lib/modules/$lane_kver"
    while read -r rel; do
        mkdir -p "$stage/lib/modules/$lane_kver/${rel%/*}"
        case $rel in
            *.ko.xz) xz -dc "$lane_modules/$rel" > "$stage/lib/modules/$lane_kver/${rel%.xz}" ;;
            *.ko.zst) zstd -qdc "$lane_modules/$rel" > "$stage/lib/modules/$lane_kver/${rel%.zst}" ;;
            *) cp "$lane_modules/$rel" "$stage/lib/modules/$lane_kver/$rel" ;;
        esac
    done < <(lane_module_closure "${LANE_MODULES[@]}")
    cp "$lane_modules"/modules.order "$lane_modules"/modules.builtin* "$stage/lib/modules/$lane_kver/"
    depmod -b "$stage" "$lane_kver"
    lane_stage_executable "$stage" "$lane_tool" usr/local/bin/qeltool
    lane_stage_executable "$stage" "$lane_tcmu" usr/local/bin/qelcard-tcmu
    lane_stage_executable "$stage" "$lane_vcard" usr/local/bin/qelvcard
    for rel in "${LANE_GUEST_TOOLS[@]}"; do
        rel=$(PATH=/usr/sbin:/usr/bin:/sbin:/bin command -v "$rel") || lane_die "no $rel on the host"
        lane_stage_executable "$stage" "$rel" "usr/local/bin/${rel##*/}"
    done
    cp "$lane_here/guest/init" "$stage/init"
    cp "$lane_here/guest/lib.sh" "$stage/lane/lib.sh"
    chmod 755 "$stage/init"
    (cd "$stage" && find . | cpio -o -H newc --quiet) | gzip -1 > "$lane_work/base.cpio.gz"
}

# --------------------------------------------------------------- one boot

# State of the boot being set up.
lane_boot_name=
lane_boot_dir=
lane_qemu_disks=()
lane_nbd_labels=()
lane_nbd_pids=()
lane_disk_count=0
lane_bridge_count=0

lane_safe_path() {
    case $1 in
        *,*) lane_die "path with a comma cannot be handed to qemu: $1" ;;
    esac
}

# boot_begin NAME: starts setting up the boot NAME (its steps are
# boots/NAME.steps).
boot_begin() {
    lane_boot_name=$1
    lane_boot_dir=$lane_work/$1
    rm -rf "$lane_boot_dir"
    mkdir -p "$lane_boot_dir"/{cards,raw,root/lane/data,results}
    lane_safe_path "$lane_boot_dir"
    : > "$lane_boot_dir/root/lane/disks"
    : > "$lane_boot_dir/root/lane/env"
    lane_qemu_disks=()
    lane_nbd_labels=()
    lane_disk_count=0
    lane_bridge_count=0
}

# guest_env NAME VALUE: a shell variable for the boot's guest steps.
guest_env() {
    printf "%s='%s'\n" "$1" "${2//\'/\'\\\'\'}" >> "$lane_boot_dir/root/lane/env"
}

# Directory of the card LABEL of the current boot.
card_dir() {
    echo "$lane_boot_dir/cards/$1"
}

# new_card LABEL [qelvcard create options...]
new_card() {
    local label=$1
    shift
    printf '%s\0' "$@" > "$lane_boot_dir/create-$label.args"
    "$lane_vcard" create "$(card_dir "$label")" "$@" > "$lane_boot_dir/create-$label.log" 2>&1 ||
        lane_die "qelvcard create $label failed: $(cat "$lane_boot_dir/create-$label.log")"
}

# new_imageset SET CARD-LABEL [qelvcard imageset options...]: an image set
# for the card, which the guest steps copy with "--regbin SET".
new_imageset() {
    local set=$1 label=$2
    shift 2
    "$lane_vcard" imageset "$(card_dir "$label")" "$lane_boot_dir/root/lane/data/$set" "$@" \
        > "$lane_boot_dir/imageset-$set.log" 2>&1 ||
        lane_die "qelvcard imageset $set failed: $(cat "$lane_boot_dir/imageset-$set.log")"
}

# new_raw LABEL SIZE: a plain disk image (SIZE as for truncate).
new_raw() {
    truncate -s "$2" "$lane_boot_dir/raw/$1.img"
}

# attach LABEL card|raw ide BUS UNIT [ide-hd properties...]
# attach LABEL card|raw scsi ID [scsi-hd properties...]
# attach LABEL card bridge
# A bridge card is served inside the guest: its folder is shared with the
# guest over virtio-9p, the guest's LIO gets a user-space backstore for it
# and qelcard-tcmu answers every command, as a SAT bridge in front of the
# card would; the loopback fabric makes it a /dev/sdX (target N, the Nth
# bridge card).
# Cards are served by nbdkit through the plugin, so the card sees the sector
# reads and writes that reach the guest's disk. qemu's IDE disk carries out
# a PIO command one sector at a time: a READ SECTOR(S) of n sectors reaches
# the card as n reads of one sector at consecutive addresses.
attach() {
    local label=$1 kind=$2 bus=$3 node device p
    shift 3
    if [ "$bus" = bridge ]; then
        lane_bridge_count=$((lane_bridge_count + 1))
        echo "$label $kind bridge $lane_bridge_count" >> "$lane_boot_dir/root/lane/disks"
        return 0
    fi
    node=disk$lane_disk_count
    lane_disk_count=$((lane_disk_count + 1))
    if [ "$bus" = ide ]; then
        device="ide-hd,drive=$node,bus=ide.$1,unit=$2"
        echo "$label $kind ide $1 $2" >> "$lane_boot_dir/root/lane/disks"
        shift 2
    else
        device="scsi-hd,drive=$node,bus=vscsi.0,scsi-id=$1,lun=0"
        echo "$label $kind scsi $1" >> "$lane_boot_dir/root/lane/disks"
        shift
    fi
    for p in "$@"; do
        device+=",${p//,/,,}"
    done
    if [ "$kind" = card ]; then
        lane_nbd_labels+=("$label")
        lane_qemu_disks+=(-blockdev "driver=nbd,node-name=$node,server.type=unix,server.path=$lane_boot_dir/$label.sock")
    else
        lane_qemu_disks+=(-blockdev "driver=file,node-name=$node-file,filename=$lane_boot_dir/raw/$label.img"
            -blockdev "driver=raw,node-name=$node,file=$node-file")
    fi
    lane_qemu_disks+=(-device "$device")
}

lane_start_nbdkit() {
    local label=$1 sock=$lane_boot_dir/$1.sock
    rm -f "$sock"
    nbdkit --foreground --exit-with-parent --unix "$sock" "$lane_plugin" card="$(card_dir "$label")" \
        > "$lane_boot_dir/nbdkit-$label.log" 2>&1 &
    lane_nbd_pids+=($!)
    for _ in $(seq 100); do
        [ -S "$sock" ] && return 0
        sleep 0.05
    done
    lane_die "nbdkit for $label did not start: $(cat "$lane_boot_dir/nbdkit-$label.log")"
}

lane_stop_nbdkit() {
    local pid
    for pid in "${lane_nbd_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    lane_nbd_pids=()
}

# Splits the report of the guest into results/STEP/ directories and
# results/disks.map.
lane_parse_report() {
    local report=$lane_boot_dir/report.log results=$lane_boot_dir/results b64 step
    awk -v out="$results" '
        /^@@QEL DISKS$/ { file = out "/disks.map"; printf "" > file; next }
        /^@@QEL STEP [A-Za-z0-9_-]+$/ { file = out "/" $3 ".b64"; printf "" > file; next }
        /^@@QEL END$/ { if (file != "") close(file); file = ""; next }
        /^@@QEL DONE$/ { print "" > (out "/done"); next }
        file != "" { print >> file }
    ' "$report"
    for b64 in "$results"/*.b64; do
        [ -e "$b64" ] || continue
        step=${b64##*/}
        step=${step%.b64}
        mkdir -p "$results/$step"
        base64 -d < "$b64" | tar -xf - -C "$results/$step" ||
            lane_log "warning: step $step: report damaged"
        rm -f "$b64"
    done
}

# boot_run: builds the boot's initramfs, serves its cards, boots the guest
# and reads the report back. The steps run in the guest; the checks follow
# in the boot file.
boot_run() {
    local steps=$lane_here/boots/$lane_boot_name.steps label t0 status=0 share=()
    [ -f "$steps" ] || lane_die "no $steps"
    cp "$steps" "$lane_boot_dir/root/lane/steps.sh"
    (cd "$lane_boot_dir/root" && find . | cpio -o -H newc --quiet) | gzip -1 > "$lane_boot_dir/boot.cpio.gz"
    cat "$lane_work/base.cpio.gz" "$lane_boot_dir/boot.cpio.gz" > "$lane_boot_dir/initrd"
    for label in "${lane_nbd_labels[@]}"; do
        lane_start_nbdkit "$label"
    done
    if [ "$lane_bridge_count" -gt 0 ]; then
        share=(-fsdev "local,id=cards,path=$lane_boot_dir/cards,security_model=none"
            -device virtio-9p-pci,fsdev=cards,mount_tag=cards)
    fi
    lane_log "boot $lane_boot_name"
    t0=$SECONDS
    timeout --kill-after=10 "$LANE_BOOT_TIMEOUT" qemu-system-x86_64 \
        -M pc -accel tcg -m 768 -smp 1 -nodefaults -no-reboot -display none -monitor none \
        -kernel "$lane_kernel" -initrd "$lane_boot_dir/initrd" \
        -append "console=ttyS0 loglevel=4 panic=-1 scsi_mod.scan=manual" \
        -serial "file:$lane_boot_dir/console.log" \
        -device virtio-serial-pci,id=vserial \
        -chardev "file,id=report,path=$lane_boot_dir/report.log" \
        -device virtserialport,bus=vserial.0,chardev=report,name=lane \
        -device virtio-scsi-pci,id=vscsi \
        "${share[@]}" "${lane_qemu_disks[@]}" > "$lane_boot_dir/qemu.log" 2>&1 || status=$?
    lane_stop_nbdkit
    lane_boot_seconds=$((SECONDS - t0))
    lane_log "boot $lane_boot_name ended after ${lane_boot_seconds}s (qemu status $status)"
    lane_parse_report
    if [ ! -e "$lane_boot_dir/results/done" ]; then
        lane_log "boot $lane_boot_name did not finish its steps; console tail:"
        tail -n 30 "$lane_boot_dir/console.log" | sed 's/^/    /'
        sed 's/^/    qemu: /' "$lane_boot_dir/qemu.log"
    fi
}

# Node of a disk in the guest, from the report (e.g. /dev/sdb).
guest_disk() {
    awk -v l="$1" '$1 == l { print $2 }' "$lane_boot_dir/results/disks.map" 2>/dev/null
}

# ------------------------------------------------------- the preload lane

# fast_lane_run CARD SET TOOL-ARGS...: runs the tool on the host, under
# qelvcard's preload library, against a twin of the card CARD (created with
# the same options, before the boot changed the original) with a copy of
# the image set SET. Results in $lane_boot_dir/fast/CARD/.
fast_lane_run() {
    local label=$1 set=$2 dir=$lane_boot_dir/fast/$1 args
    shift 2
    rm -rf "$dir"
    mkdir -p "$dir/cwd"
    mapfile -d '' args < "$lane_boot_dir/create-$label.args"
    if ! "$lane_vcard" create "$dir/card" "${args[@]}" > "$dir/create.log" 2>&1; then
        fail "fast lane: qelvcard create failed: $(cat "$dir/create.log")"
        return 0
    fi
    cp -a "$lane_boot_dir/root/lane/data/$set/REGBIN" "$dir/cwd/"
    (cd "$dir/cwd" && "$lane_vcard" run --card "/dev/sdb=$dir/card" -- "$lane_tool" /dev/sdb "$@") \
        < /dev/null > "$dir/stdout" 2>&1
    echo $? > "$dir/status"
}

# The vendor command blocks of a card's journal, one a line, in order.
lane_vendor_blocks() {
    grep -o 'VENDOR .*' "$1"
}

# expect_same_vendor_blocks CARD: the card of the boot and its twin of the
# preload lane received the same sequence of vendor command blocks.
expect_same_vendor_blocks() {
    local label=$1 kernel fast diffs
    kernel=$(card_dir "$label")/journal.log
    fast=$lane_boot_dir/fast/$label/card/journal.log
    if [ "$(cat "$lane_boot_dir/fast/$label/status" 2>/dev/null)" != 0 ]; then
        fail "$label: the preload lane's run failed (see $lane_boot_dir/fast/$label/stdout)"
    fi
    if [ ! -s "$kernel" ] || [ ! -s "$fast" ]; then
        fail "$label: journal missing (kernel lane: $kernel, preload lane: $fast)"
        return 0
    fi
    lane_vendor_blocks "$kernel" > "$lane_boot_dir/fast/$label/vendor-kernel"
    lane_vendor_blocks "$fast" > "$lane_boot_dir/fast/$label/vendor-preload"
    if [ ! -s "$lane_boot_dir/fast/$label/vendor-kernel" ]; then
        fail "$label: no vendor block reached the card through the kernel"
    elif ! diffs=$(diff "$lane_boot_dir/fast/$label/vendor-kernel" "$lane_boot_dir/fast/$label/vendor-preload"); then
        fail "$label: vendor blocks differ (< kernel lane, > preload lane):"
        fail "$(printf '%s\n' "$diffs" | head -n 20)"
    fi
}

# -------------------------------------------------------------- assertions

lane_passed=0
lane_failed=0
lane_scenario=
lane_scenario_errors=()

scenario() {
    lane_scenario=$1
    lane_scenario_errors=()
}

fail() {
    lane_scenario_errors+=("$*")
}

scenario_end() {
    local e
    if [ ${#lane_scenario_errors[@]} -eq 0 ]; then
        lane_passed=$((lane_passed + 1))
        echo "PASS: $lane_scenario"
    else
        lane_failed=$((lane_failed + 1))
        echo "FAIL: $lane_scenario"
        for e in "${lane_scenario_errors[@]}"; do
            echo "      $e"
        done
    fi
}

# expect_card CARD TEXT: "qelvcard show" of the card, after the boot,
# holds TEXT in one of its lines.
expect_card() {
    local shown
    shown=$("$lane_vcard" show "$(card_dir "$1")" 2>&1)
    if ! grep -qF -- "$2" <<< "$shown"; then
        fail "card $1: no '$2'; qelvcard show has '$(grep -F -- "${2%%:*}" <<< "$shown" | head -n 1)'"
    fi
}

# Files of one step's results.
step_dir() {
    echo "$lane_boot_dir/results/$1"
}

step_ran() {
    if [ ! -f "$(step_dir "$1")/status" ]; then
        fail "step $1 did not report back"
        return 1
    fi
}

expect_status() {
    local got
    step_ran "$1" || return 0
    got=$(cat "$(step_dir "$1")/status")
    [ "$got" = "$2" ] || fail "$1: exit status $got, expected $2"
}

# expect_line STEP TEXT: a whole line of the step's standard output.
expect_line() {
    step_ran "$1" || return 0
    grep -qxF -- "$2" "$(step_dir "$1")/stdout" || fail "$1: no line '$2' in its output"
}

# expect_text STEP TEXT: text anywhere in one line of the standard output.
expect_text() {
    step_ran "$1" || return 0
    grep -qF -- "$2" "$(step_dir "$1")/stdout" || fail "$1: no '$2' in its output"
}

expect_no_text() {
    step_ran "$1" || return 0
    if grep -qF -- "$2" "$(step_dir "$1")/stdout"; then
        fail "$1: unexpected '$2' in its output"
    fi
}

# expect_lines_in_order STEP LINE...: the lines appear in this order (other
# lines may come between them).
expect_lines_in_order() {
    local step=$1 n
    shift
    step_ran "$step" || return 0
    n=$(awk -v want="$#" '
        BEGIN { for (i = 1; i < ARGC; i++) { w[i] = ARGV[i]; delete ARGV[i] } k = 1 }
        k <= want && $0 == w[k] { k++ }
        END { print k - 1 }
    ' "$@" < "$(step_dir "$step")/stdout")
    [ "$n" = "$#" ] || fail "$step: line $((n + 1)) of the expected sequence is missing: '${*:n+1:1}'"
}

# The trace file that the tool wrote in the step (every *.log but Display.log).
step_trace() {
    local f
    for f in "$(step_dir "$1")"/*.log; do
        [ "${f##*/}" = Display.log ] && continue
        [ -f "$f" ] && echo "$f"
    done
}

# expect_trace STEP ERE: a line of the trace matches.
expect_trace() {
    local traces
    step_ran "$1" || return 0
    mapfile -t traces < <(step_trace "$1")
    if [ ${#traces[@]} -eq 0 ]; then
        fail "$1: no trace file"
        return 0
    fi
    grep -qE -- "$2" "${traces[@]}" || fail "$1: no trace line matching /$2/"
}

expect_no_trace() {
    local traces
    step_ran "$1" || return 0
    mapfile -t traces < <(step_trace "$1")
    if [ ${#traces[@]} -gt 0 ] && grep -qE -- "$2" "${traces[@]}"; then
        fail "$1: a trace line matches /$2/"
    fi
}

# Display.log holds what the console showed, less the escape sequences of
# the screen clearing.
expect_display_log() {
    local dir
    step_ran "$1" || return 0
    dir=$(step_dir "$1")
    if [ ! -f "$dir/Display.log" ]; then
        fail "$1: no Display.log"
    elif ! sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$dir/stdout" | cmp -s - "$dir/Display.log"; then
        fail "$1: Display.log differs from the console text"
    fi
}
