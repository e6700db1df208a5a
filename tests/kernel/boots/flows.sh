# The "flows" boot: programming cards end to end through a real kernel,
# "initial" on an IDE card (compared with the same run under the preload
# library), "initial SN", "keepsn" and "update" on a SCSI card, whose
# identity then comes from the new firmware, and "keepsn", "update" and
# "swap" on a second IDE card.
#
# qemu answers IDENTIFY DEVICE for an IDE disk itself, from the properties
# it was started with, so the identity read back after a flow is qemu's:
# the base image set carries the IDE card's serial and model, and qemu the
# WWN that goes with them (so "initial" and "keepsn" leave what qemu
# shows), and a flow that brings new firmware to an IDE
# card ends with the identity check naming qemu's firmware revision, while
# the card itself runs the new firmware.

ATA_MODEL="QEL QC3300 SSD ATA"
SCSI_MODEL="QEL QC3300 SSD SCSI"
CARD_FWREV=P1001A
NEW_FWREV=P1101A
NEW_SERIAL=QELNEW00000000000042

boot_begin flows
# Fresh cards sit in the boot ROM with blank flash; ata_card already runs
# its ISP firmware.
new_card ata_initial --mode rom --attach ata --serial QELATA00000000000011 --model "$ATA_MODEL" --fwrev "$CARD_FWREV"
new_card ata_card --attach ata --serial QELATA00000000000012 --model "$ATA_MODEL" --fwrev "$CARD_FWREV"
new_card scsi_card --mode rom --attach scsi --serial QELSCSI0000000000013 --model "$SCSI_MODEL" --fwrev "$CARD_FWREV"
new_imageset base ata_initial --fw-version "$CARD_FWREV" --serial QELATA00000000000011 --model "$ATA_MODEL"
ATA_WWN=0x$("$lane_vcard" show "$(card_dir ata_initial)" | sed -n 's/^wwn *: //p')
new_imageset newer ata_initial --fw-version "$NEW_FWREV"
guest_env NEW_SERIAL "$NEW_SERIAL"
attach ata_initial card ide 0 0 serial=QELATA00000000000011 "model=$ATA_MODEL" "ver=$CARD_FWREV" "wwn=$ATA_WWN"
attach ata_card card ide 1 0 serial=QELATA00000000000012 "model=$ATA_MODEL" "ver=$CARD_FWREV" "wwn=$ATA_WWN"
attach scsi_card card scsi 1
boot_run

scenario "initial on an IDE card"
expect_status initial 0
expect_line initial "Initial Card..................."
expect_line initial "Total Process finished,the result is Pass"
expect_display_log initial
expect_card ata_initial "mode       : isp (ISPMode 2), ready"
expect_card ata_initial "ISP copies : $CARD_FWREV / $CARD_FWREV"
scenario_end

scenario "initial: the card saw the same vendor blocks as under the preload library"
fast_lane_run ata_initial base initial
expect_same_vendor_blocks ata_initial
scenario_end

scenario "initial SN on a SCSI card, which then shows the new serial"
expect_status scsi_initial_sn 0
expect_line scsi_initial_sn "Inital Card with new Serial Number............"
expect_line scsi_initial_sn "Total Process finished,the result is Pass"
expect_display_log scsi_initial_sn
expect_status scsi_show_sn 1
expect_line scsi_show_sn "  Serial Number    : $NEW_SERIAL"
scenario_end

scenario "keepsn on the SCSI card keeps the new serial"
expect_status scsi_keepsn 0
expect_line scsi_keepsn "Initial Card(keepsn)..........."
expect_line scsi_keepsn "Total Process finished,the result is Pass"
expect_display_log scsi_keepsn
expect_line scsi_show_keepsn "  Serial Number    : $NEW_SERIAL"
scenario_end

scenario "update on the SCSI card brings the new firmware and keeps the serial"
expect_status scsi_update 0
expect_line scsi_update "Update Card.................."
expect_line scsi_update "Total Process finished,the result is Pass"
expect_display_log scsi_update
expect_line scsi_show_update "  Serial Number    : $NEW_SERIAL"
expect_line scsi_show_update "  Firmware Version : $NEW_FWREV"
expect_card scsi_card "ISP copies : $NEW_FWREV / $NEW_FWREV"
scenario_end

scenario "keepsn on an IDE card; update writes the new firmware, which qemu's IDENTIFY cannot show"
expect_status ata_keepsn 0
expect_line ata_keepsn "Total Process finished,the result is Pass"
expect_display_log ata_keepsn
expect_status ata_update 1
expect_line ata_update "Identity check fail! firmware revision is <$CARD_FWREV>, expected <$NEW_FWREV>"
expect_line ata_update "Total Process finished,the result is failed"
expect_display_log ata_update
expect_card ata_card "serial     : QELATA00000000000012"
expect_card ata_card "ISP copies : $NEW_FWREV / $NEW_FWREV"
scenario_end

scenario "swap on the IDE card, already at the image's version, ends with qemu's revision too"
expect_status ata_swap 1
expect_line ata_swap "Swap Card...................."
expect_line ata_swap "Identity check fail! firmware revision is <$CARD_FWREV>, expected <$NEW_FWREV>"
expect_display_log ata_swap
expect_card ata_card "ISP copies : $NEW_FWREV / $NEW_FWREV"
scenario_end

