#pragma once
// The device verbs of usbvantrel-sim: plug and unplug USB devices, eject a drive safely, and
// list the devices, drives, volumes and open handles of the emulated computer.

#include "tools/usbvantrel-sim/SimVerb.h"

namespace uv::sim {

// plug: a device arrives (see kPlugVerb.usage for the switches).
int PlugVerb(SimContext& context);
// unplug WHAT: the device leaves without warning (surprise removal).
int UnplugVerb(SimContext& context);
// eject LETTER: safe removal of the drive's device; refused while a handle is open on it.
int EjectVerb(SimContext& context);
// list: devices, drive letters, volumes, handle holders and notification recipients.
int ListVerb(SimContext& context);

inline constexpr SimVerb kPlugVerb{
    "plug",
    "--vid HEX --pid HEX (--serial TEXT | --no-serial) [--vendor NAME] [--product NAME] "
    "[--rev TEXT] [--kind stick|usb-hdd|fixed|cdrom|floppy|other] [--letter X] [--dir DIR] "
    "[--defer-names]",
    "plug a device in: a USB stick (default), a USB hard disk, a fixed disk on another bus, a "
    "USB CD-ROM or floppy drive, or a USB device that is not storage; --letter picks the drive "
    "letter (default: its old one if free, else the next free one), --dir shows an existing "
    "directory as the drive's files, --defer-names makes the disk's names appear only after "
    "the USB arrival was handled",
    PlugVerb};
inline constexpr SimVerb kUnplugVerb{
    "unplug", "LETTER | INSTANCE-ID | SERIAL",
    "pull a device out without warning (the device of drive LETTER, or the one named)", UnplugVerb};
inline constexpr SimVerb kEjectVerb{
    "eject", "LETTER",
    "remove the device of drive LETTER safely: asks the programs first, refused while a handle "
    "on it is open",
    EjectVerb};
inline constexpr SimVerb kListVerb{
    "list", "", "list devices, drive letters, volumes, open handles and notification recipients",
    ListVerb};

}  // namespace uv::sim
