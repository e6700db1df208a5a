# The "bridge" boot: cards behind a SAT bridge in the guest's own SCSI stack
# (LIO's user-space backstore served by qelcard-tcmu, on the loopback
# fabric), so the tool's SG_IO crosses the block layer, sd and the SCSI
# midlayer, and DOWNLOAD MICROCODE reaches the card through a real kernel.
# Each bridge habit runs a flow that must pass and one that must fail; the
# standard tools read the card's identity, WWN and features.

CARD_FWREV=P1001A
NEW_FWREV=P1101A
NEW_SERIAL=QELBRIDGE00000000042
CARD_MODEL="QEL QC3300 SSD Bridge"

# bridge_card LABEL SERIAL [qelvcard create options...]
bridge_card() {
    local label=$1 serial=$2
    shift 2
    new_card "$label" --attach ata --serial "$serial" --model "$CARD_MODEL" --fwrev "$CARD_FWREV" "$@"
    attach "$label" card bridge
}

boot_begin bridge
# DOWNLOAD MICROCODE DMA refused (though IDENTIFY offers it): the tool falls
# back to PIO.
bridge_card dm_default QELBRG00000000000001 --no-dma --identify 69=256
bridge_card dm_mode3 QELBRG00000000000002
bridge_card dm_mode7 QELBRG00000000000003
bridge_card dm_modee QELBRG00000000000004
bridge_card flow_card QELBRG00000000000005 --mode rom
bridge_card fault_card QELBRG00000000000006 --fail-op 27
bridge_card sat2_card QELBRG00000000000007 --fixed-sense --dm-codes 1,2
bridge_card linux61_card QELBRG00000000000008 --fixed-sense-linux61 --fail-op 27
bridge_card busy_card QELBRG00000000000009 --busy-every 20
bridge_card limit_card QELBRG00000000000010 --max-transfer 65536
bridge_card nock_card QELBRG00000000000011 --no-ck-cond
bridge_card tools_card QELBRG00000000000012
new_imageset base dm_mode3 --fw-version "$CARD_FWREV"
new_imageset newer dm_mode3 --fw-version "$NEW_FWREV"
guest_env NEW_SERIAL "$NEW_SERIAL"
boot_run

# expect_microcode_applied STEP CARD SERIAL: the run passed, the card runs
# the new firmware in both copies and kept its own identity.
expect_microcode_applied() {
    expect_status "$1" 0
    expect_line "$1" "Total Process finished,the result is Pass"
    expect_card "$2" "firmware   : $NEW_FWREV"
    expect_card "$2" "ISP copies : $NEW_FWREV / $NEW_FWREV"
    expect_card "$2" "serial     : $3"
    expect_card "$2" "model      : $CARD_MODEL"
}

# expect_failed STEP: the run failed with the failure banner.
expect_failed() {
    expect_status "$1" 1
    expect_line "$1" "Total Process finished,the result is failed"
}

# expect_same_wwn BEFORE AFTER: hdparm -I showed one WWN in both steps.
expect_same_wwn() {
    local before after
    step_ran "$1" && step_ran "$2" || return 0
    before=$(grep 'WWN Device Identifier' "$(step_dir "$1")/stdout")
    after=$(grep 'WWN Device Identifier' "$(step_dir "$2")/stdout")
    if [ -z "$before" ]; then
        fail "$1: hdparm -I shows no WWN"
    elif [ "$before" != "$after" ]; then
        fail "the WWN changed: '$before' before, '$after' after"
    fi
}

# expect_same_ata_commands CARD: the card received the same ATA
# PASS-THROUGH commands, with the same results, through the bridge as its
# twin under the preload library (sd's own commands at attach are SCSI).
expect_same_ata_commands() {
    local label=$1 dir=$lane_boot_dir/fast/$1 diffs
    if [ "$(cat "$dir/status" 2>/dev/null)" != 0 ]; then
        fail "$label: the preload lane's run failed (see $dir/stdout)"
    fi
    grep ' cmd=0x' "$(card_dir "$label")/journal.log" | sed 's/^[0-9]* //' > "$dir/ata-bridge"
    grep ' cmd=0x' "$dir/card/journal.log" | sed 's/^[0-9]* //' > "$dir/ata-preload"
    if [ ! -s "$dir/ata-bridge" ]; then
        fail "$label: no ATA PASS-THROUGH command reached the card through the bridge"
    elif ! diffs=$(diff "$dir/ata-bridge" "$dir/ata-preload"); then
        fail "$label: journals differ (< bridge, > preload lane):"
        fail "$(printf '%s\n' "$diffs" | head -n 20)"
    fi
}

scenario "bridge: download-microcode with no option, DMA refused, then PIO"
expect_microcode_applied dm_default dm_default QELBRG00000000000001
expect_text dm_default "Download microcode fail(0x01)!"
# DMA (protocol 6) once, refused; then PIO data-out (protocol 5).
expect_trace dm_default '^ATA  CMD = 85 0C 26 00 03 00 80 00 00 00 00 00 00 E0 93$'
expect_trace dm_default '^ATA  CMD = 85 0A 26 00 03 00 80 00 00 00 80 00 01 E0 92$'
scenario_end

scenario "bridge: download-microcode journal matches the preload lane's"
fast_lane_run dm_default newer download-microcode
expect_same_ata_commands dm_default
scenario_end

scenario "bridge: download-microcode Mode3 keeps the card's WWN"
expect_microcode_applied dm_mode3 dm_mode3 QELBRG00000000000002
expect_same_wwn dm_mode3_wwn_before dm_mode3_wwn_after
scenario_end

scenario "bridge: download-microcode Mode7"
expect_microcode_applied dm_mode7 dm_mode7 QELBRG00000000000003
scenario_end

scenario "bridge: download-microcode ModeE activates the saved microcode"
expect_microcode_applied dm_modee dm_modee QELBRG00000000000004
expect_line dm_modee_show "  Firmware Version : $NEW_FWREV"
expect_line dm_modee_show "  Serial Number    : QELBRG00000000000004"
scenario_end

scenario "bridge: initial SN, keepsn, update and swap on one card; update and swap keep the WWN"
expect_status initial_sn 0
expect_line initial_sn "Total Process finished,the result is Pass"
expect_status keepsn 0
expect_line keepsn "Total Process finished,the result is Pass"
expect_status update 0
expect_line update "Total Process finished,the result is Pass"
expect_status swap 0
expect_line swap "Total Process finished,the result is Pass"
expect_line flow_show "  Serial Number    : $NEW_SERIAL"
expect_line flow_show "  Firmware Version : $NEW_FWREV"
expect_card flow_card "serial     : $NEW_SERIAL"
expect_card flow_card "ISP copies : $NEW_FWREV / $NEW_FWREV"
expect_card flow_card "mode       : isp (ISPMode 2), ready"
expect_same_wwn flow_wwn_before flow_wwn_after
scenario_end

scenario "bridge: a fault answered in the middle of update fails the run; update again passes"
expect_failed fault_update
expect_line fault_update "Load ISP Fail!"
expect_status fault_again 0
expect_line fault_again "Total Process finished,the result is Pass"
expect_card fault_card "serial     : QELBRG00000000000006"
expect_card fault_card "ISP copies : $NEW_FWREV / $NEW_FWREV"
scenario_end

scenario "bridge with SAT-2 fixed sense: an early completion code is read and fails; Mode3 passes"
expect_failed sat2_code2
expect_text sat2_code2 "Sub CMD 0x03 Output Fail(02--Apply the new FW)"
expect_microcode_applied sat2_mode3 sat2_card QELBRG00000000000007
scenario_end

scenario "bridge answering errors in Linux 6.1's fixed layout: a refused load fails update; Mode3 passes"
expect_failed linux61_update
expect_line linux61_update "Load ISP Fail!"
expect_trace linux61_update '^sense = 70 00 0B 00 00 00 00 0A 04 51 '
expect_microcode_applied linux61_mode3 linux61_card QELBRG00000000000008
scenario_end

# The SCSI midlayer retries a command answered BUSY before SG_IO returns,
# so through a kernel the flow passes although the card answered BUSY; the
# same card under the preload library, where nothing retries, fails.
scenario "bridge answering BUSY now and then: the midlayer retries and Mode3 passes; without it, it fails"
expect_microcode_applied busy_mode3 busy_card QELBRG00000000000009
grep -q 'busy (bridge)' "$(card_dir busy_card)/journal.log" || fail "busy_card: the bridge never answered BUSY"
fast_lane_run busy_card newer download-microcode Mode3
[ "$(cat "$lane_boot_dir/fast/busy_card/status")" = 1 ] ||
    fail "busy_card: under the preload library Mode3 ended with $(cat "$lane_boot_dir/fast/busy_card/status"), expected 1"
scenario_end

scenario "bridge with a 64 KiB transfer limit: Mode7 is cut and fails, Mode3 passes"
expect_failed limit_mode7
expect_microcode_applied limit_mode3 limit_card QELBRG00000000000010
scenario_end

# No register comes back, so the transport's rule (a success needs the ATA
# status descriptor) fails the very first ATA command of the unlock.
scenario "bridge without CK_COND support: every ATA command fails, the card is left alone"
expect_status nock_show 1
expect_line nock_show "This is not QEL disk!"
expect_status nock_mode3 1
expect_line nock_mode3 "This is not QEL disk!"
expect_card nock_card "ISP copies : $CARD_FWREV / $CARD_FWREV"
expect_card nock_card "mode       : isp (ISPMode 2), ready"
scenario_end

scenario "smartctl -a -d sat on a healthy bridge card"
expect_status smartctl 0
expect_text smartctl "Serial Number:    QELBRG00000000000012"
expect_text smartctl "LU WWN Device Id: 5 acde48 "
expect_text smartctl "TRIM Command:     Available"
expect_text smartctl "SMART overall-health self-assessment test result: PASSED"
scenario_end

scenario "hdparm -I on a bridge card: identity, WWN, NCQ and TRIM"
expect_status hdparm 0
expect_text hdparm "Serial Number:      QELBRG00000000000012"
expect_text hdparm "Logical Unit WWN Device Identifier: 5acde48"
expect_text hdparm "Native Command Queueing (NCQ)"
expect_text hdparm "Data Set Management TRIM supported"
scenario_end

scenario "sg_vpd on a bridge card: block limits, characteristics, provisioning"
expect_status vpd_b0 0
expect_text vpd_b0 "Maximum unmap LBA count"
expect_status vpd_b1 0
expect_text vpd_b1 "Non-rotating medium"
expect_status vpd_b2 0
expect_text vpd_b2 "Unmap command supported (LBPU)"
scenario_end

# Both are refused before the card is touched, so no banner follows.
scenario "bridge: a user without CAP_SYS_RAWIO gets the privilege message"
expect_status nonroot 1
expect_text nonroot "CAP_SYS_RAWIO"
scenario_end

scenario "bridge: a disk with a mounted file system is refused"
expect_status mount 0
expect_status mounted 1
expect_text mounted "mounted"
scenario_end
