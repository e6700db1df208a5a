# The "identity" boot: recognising and listing cards through a real kernel,
# a plain disk and a disk too small for the unlock addresses, and a
# DOWNLOAD MICROCODE that qemu's IDE disk does not offer.

ATA_SERIAL=QELATA00000000000001
ATA_MODEL="QEL QC3300 SSD ATA"
SCSI_SERIAL=QELSCSI0000000000002
SCSI_MODEL="QEL QC3300 SSD SCSI"
CARD_FWREV=P1001A

boot_begin identity
new_card ata_card --attach ata --serial "$ATA_SERIAL" --model "$ATA_MODEL" --fwrev "$CARD_FWREV"
new_card scsi_card --attach scsi --serial "$SCSI_SERIAL" --model "$SCSI_MODEL" --fwrev "$CARD_FWREV"
new_imageset newer ata_card --fw-version P1101A
new_raw plain 64M
# 0x8000 sectors: the unlock's reads at 0x9400 and 0x946B lie beyond the end.
new_raw small 16M
# qemu answers IDENTIFY DEVICE for the IDE disks itself, so it is given the
# card's identity.
attach ata_card card ide 0 0 "serial=$ATA_SERIAL" "model=$ATA_MODEL" "ver=$CARD_FWREV"
attach plain raw ide 0 1 serial=PLAIN00000000000001 "model=Plain Disk" ver=1.0
attach small raw ide 1 0 serial=SMALL00000000000001 "model=Small Disk" ver=1.0
attach scsi_card card scsi 1
boot_run

scenario "showIDinfo on an IDE card (ATA PASS-THROUGH through libata)"
expect_status showid_ata 1
expect_lines_in_order showid_ata \
    "  Serial Number    : $ATA_SERIAL" \
    "  Model Name       : $ATA_MODEL" \
    "  Firmware Version : $CARD_FWREV" \
    "Total Process finished,the result is Pass"
# The unlock read of the answer sector and the identity read went out as
# ATA PASS-THROUGH (16) blocks and were answered with a status descriptor.
expect_trace showid_ata '^ATA  CMD = 85 08 2E 00 00 00 01 00 6B 00 94 00 00 E0 20$'
expect_trace showid_ata '^ATA  CMD = 85 08 2E 00 00 00 01 00 00 00 00 00 00 00 EC$'
expect_trace showid_ata '^sense = 72 01 00 1D 00 00 00 0E 09 0C 00 00'
expect_display_log showid_ata
scenario_end

scenario "showIDinfo on a virtio-scsi card (identity through the vendor channel)"
expect_status showid_scsi 1
expect_lines_in_order showid_scsi \
    "  Serial Number    : $SCSI_SERIAL" \
    "  Model Name       : $SCSI_MODEL" \
    "  Firmware Version : $CARD_FWREV" \
    "Total Process finished,the result is Pass"
expect_trace showid_scsi '^SCSI CMD = 28 00 00 00 94 6B 00 00 01$'
expect_trace showid_scsi '^SCSI CMD = 2A 00 00 00 94 6B 00 00 01$'
expect_no_trace showid_scsi '^ATA  CMD'
expect_display_log showid_scsi
scenario_end

scenario "-list over an IDE card, a plain disk, a small disk and a SCSI card, key piped in"
expect_status list 1
expect_line list "Found QEL SSD Device 0"
expect_line list "Found QEL SSD Device 1"
expect_no_text list "Found QEL SSD Device 2"
expect_line list "  SSD Device       : $(guest_disk ata_card) (ATA)"
expect_line list "  SSD Device       : $(guest_disk scsi_card) (SCSI)"
expect_text list "Please select SSD device:  => $(guest_disk scsi_card)"
expect_lines_in_order list \
    "Please select SSD device:  => $(guest_disk scsi_card)" \
    "  Serial Number    : $SCSI_SERIAL" \
    "Total Process finished,the result is Pass"
expect_display_log list
scenario_end

scenario "readflashid on an IDE card"
expect_status readflashid 0
expect_line readflashid "Read Flash ID................"
expect_line readflashid "Total Process finished,the result is Pass"
expect_display_log readflashid
# The dump shows the first 512 bytes of the table the card answered, which
# the image set's FLASHID.bin holds too.
if step_ran readflashid; then
    shown=$(awk '/^0x[0-9A-F][0-9A-F][0-9A-F][0-9A-F] / { gsub(",", "", $2); printf "%s", $2 }' "$(step_dir readflashid)/stdout")
    table=$(od -An -v -tx1 -N512 "$lane_boot_dir/root/lane/data/newer/REGBIN/3300/FLASHID.bin" | tr -d ' \n' | tr a-f A-F)
    [ "$shown" = "$table" ] || fail "readflashid: the dump is not the card's flash ID table"
fi
scenario_end

scenario "a plain disk is refused after six unlock attempts"
expect_status plain 1
expect_line plain "This is not QEL disk!"
expect_line plain "  Serial Number    : PLAIN00000000000001"
if step_ran plain; then
    n=$(grep -c '^ATA  CMD = 85 08 2E 00 00 00 01 00 6B 00 94 00 00 E0 20$' "$(step_trace plain)")
    [ "$n" = 6 ] || fail "plain: $n reads of the answer sector, expected 6"
fi
scenario_end

scenario "a disk too small for the unlock addresses fails with the kernel's sense"
expect_status small 1
expect_line small "This is not QEL disk!"
# Reading sector 0x9400 of a 0x8000-sector disk fails in the device; the
# kernel reports it in its sense data and the tool stops the unlock there.
expect_trace small '^ATA  CMD = 85 08 2E 00 00 00 01 00 00 00 94 00 00 E0 20$'
expect_no_trace small '^ATA  CMD = 85 08 2E 00 00 00 01 00 6B 00 94 00 00 E0 20$'
if step_ran small; then
    sense=$(awk '/^ATA  CMD = 85 08 2E 00 00 00 01 00 00 00 94 00 00 E0 20$/ { f = 1 } f && /^sense = / { print; exit }' "$(step_trace small)")
    case $sense in
        "sense = 72 "*" 0E 09 0C "*) fail "small: the failed read got a status descriptor: $sense" ;;
        "sense = 00 00 00"*|"") fail "small: no sense data for the failed read: '$sense'" ;;
    esac
fi
scenario_end

scenario "download-microcode on an IDE disk whose IDENTIFY does not offer it"
expect_status microcode 1
expect_lines_in_order microcode \
    "***** Download MicroCode flow(DMA) ******" \
    "DOWNLOAD MICROCODE command is not supported" \
    "Download microcode fail(0x01)!" \
    "******  Download MicroCode flow  ********" \
    "DOWNLOAD MICROCODE command is not supported" \
    "Download microcode fail(0x01)!" \
    "Download Microcode failed.." \
    "Total Process finished,the result is failed" \
    "ErrorCode: 0001"
expect_trace microcode '^ATA  CMD = 85 08 2E 00 00 00 01 00 00 00 00 00 00 00 EC$'
expect_no_trace microcode '=> CMD = 9[23] '
expect_display_log microcode
scenario_end
