#!/usr/bin/env python3
"""Writes the templates of the five client-settings dialogs (BlockUSBDlg.ui, ViewStatusDlg.ui,
ControlDialog.ui, SaveEnergyDlg.ui, OfflineMsgLogDlg.ui). One convention for all: each control
carries its dialog identifier (dynamic property "controlId"), the dialog its template number
("dialogId"), and the parts every client dialog shares have the same object names (ipRadio,
nameRadio, activeRadio, ipAddress, machineName, activeClients, getStatus, apply, statusLine), so
one base class drives them. Run it again after changing a layout below."""

import os
import xml.dom.minidom
from xml.sax.saxutils import escape

here = os.path.dirname(os.path.abspath(__file__))


def prop_id(cid):
    return f'<property name="controlId" stdset="0"><number>{cid}</number></property>'


def widget(cls, name, cid, text=None, extra=""):
    t = f'<property name="text"><string>{escape(text)}</string></property>' if text is not None else ""
    return f'<widget class="{cls}" name="{name}">{prop_id(cid) if cid else ""}{t}{extra}</widget>'


def item(inner, row=None, col=None, rowspan=1, colspan=1):
    if row is None:
        return f'<item>{inner}</item>'
    return f'<item row="{row}" column="{col}" rowspan="{rowspan}" colspan="{colspan}">{inner}</item>'


def box(name, title, layout_class, items):
    return (f'<widget class="QGroupBox" name="{name}"><property name="title"><string>{escape(title)}</string></property>'
            f'<layout class="{layout_class}" name="{name}Layout">{"".join(items)}</layout></widget>')


def row(name, items, stretch_first=False):
    inner = "".join(item(i) for i in items)
    if stretch_first:
        inner = item(f'<spacer name="{name}Spacer"><property name="orientation"><enum>Qt::Horizontal</enum></property></spacer>') + inner
    return f'<layout class="QHBoxLayout" name="{name}">{inner}</layout>'


READONLY = '<property name="readOnly"><bool>true</bool></property>'
WRAP = '<property name="wordWrap"><bool>true</bool></property>'
MINSTATUS = '<property name="minimumSize"><size><width>360</width><height>0</height></size></property>'


def target_box(ids):
    """ids: radio IP, radio name, radio active, name edit."""
    rip, rname, ractive, edit = ids
    return box("targetBox", "Client", "QGridLayout", [
        item(widget("QRadioButton", "ipRadio", rip, "Client IP Address"), 0, 0),
        item(widget("uv::server::CIPAddressCtrl", "ipAddress", 1025), 0, 1),
        item(widget("QRadioButton", "nameRadio", rname, "Client Machine Name"), 1, 0),
        item(widget("QLineEdit", "machineName", edit), 1, 1),
        item(widget("QRadioButton", "activeRadio", ractive, "Active Clients"), 2, 0),
        item(widget("QComboBox", "activeClients", 1118), 2, 1),
    ])


def status_line(cid, text):
    return widget("QLabel", "statusLine", cid, text, WRAP + MINSTATUS)


def cancel_button():
    return widget("QPushButton", "cancelButton", 2, "Cancel")


def dialog(cls, dialog_id, title, body_items):
    ui = f'''<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0"><class>{cls}</class>
<widget class="QDialog" name="{cls}">
<property name="dialogId" stdset="0"><number>{dialog_id}</number></property>
<property name="windowTitle"><string>{escape(title)}</string></property>
<layout class="QVBoxLayout" name="dialogLayout">{"".join(item(b) for b in body_items)}</layout>
</widget>
<customwidgets><customwidget><class>uv::server::CIPAddressCtrl</class><extends>QWidget</extends>
<header>server/dialogs/settings/CIPAddressCtrl.h</header></customwidget>
<customwidget><class>QTabBar</class><extends>QWidget</extends><header>QTabBar</header></customwidget>
</customwidgets><resources/><connections/></ui>'''
    pretty = xml.dom.minidom.parseString(ui.encode()).toprettyxml(indent=" ", encoding="UTF-8").decode()
    pretty = "\n".join(line for line in pretty.splitlines() if line.strip())
    with open(os.path.join(here, cls + ".ui"), "w") as f:
        f.write(pretty + "\n")


ENTER = "Enter the Client details and then click 'Get Status'"

dialog("BlockUSBDlg", 193, "USB Vantrel! Block USB", [
    target_box((1111, 1112, 1117, 1110)),
    box("blockBox", "USB storage", "QHBoxLayout", [
        item(widget("QRadioButton", "blockRadio", 1104, "Block USB")),
        item(widget("QRadioButton", "unblockRadio", 1105, "Unblock USB")),
    ]),
    status_line(1141, ENTER),
    row("buttonRow", [
        widget("QPushButton", "getStatus", 1008, "Get Status"),
        widget("QPushButton", "apply", 1046, "Apply"),
        widget("QPushButton", "viewStatus", 1044, "View Status"),
        widget("QPushButton", "whitelist", 1089, "Whitelist"),
        cancel_button(),
    ]),
])

dialog("ViewStatusDlg", 194, "USB Vantrel! Active Client USB Satus", [
    widget("QTreeWidget", "statusList", 1119, None,
           '<property name="rootIsDecorated"><bool>false</bool></property>'
           '<property name="selectionBehavior"><enum>QAbstractItemView::SelectRows</enum></property>'
           '<column><property name="text"><string>Active Client IP</string></property></column>'
           '<column><property name="text"><string>USB Status</string></property></column>'),
    row("buttonRow", [widget("QPushButton", "okButton", 1, "OK")], stretch_first=True),
])

dialog("ControlDialog", 195, "USB Vantrel! Whitelist", [
    target_box((1120, 1121, 1122, 1123)),
    row("queryRow", [widget("QPushButton", "getStatus", 1008, "Get Status"),
                     widget("QPushButton", "apply", 1046, "Apply")], stretch_first=True),
    widget("QTabBar", "tabControl", 1002),
    '<layout class="QGridLayout" name="editLayout">' + "".join([
        item(widget("QLabel", "userLabel", 1129, "User Name:"), 0, 0),
        item(widget("QLineEdit", "userName", 1125), 0, 1),
        # A device text (description and serial) is wider than half the dialog: its own row.
        item(widget("QLabel", "deviceLabel", 1132, "Inserted Device Details"), 1, 0, 1, 2),
        item(widget("QLineEdit", "deviceField", 1131, None, READONLY), 2, 0, 1, 2),
        item(widget("QPushButton", "addButton", 1090, "Add to Whitelist"), 3, 1),
        item(widget("QLabel", "entriesLabel", 1126, "Whitelist Entries"), 4, 0, 1, 2),
        item(widget("QListWidget", "entries", 1005), 5, 0, 1, 2),
        item(row("entryButtons", [widget("QPushButton", "removeButton", 1127, "Remove from Whitelist"),
                                  widget("QPushButton", "safeRemove", 1089, "Safely remove device")]),
             6, 0, 1, 2),
    ]) + '</layout>',
    status_line(1142, "Enter the Client details and then click Get"),
    row("buttonRow", [cancel_button()], stretch_first=True),
])

dialog("SaveEnergyDlg", 196, "USB Vantrel! Save Energy", [
    target_box((1120, 1136, 1137, 1123)),
    row("timeRow", [widget("QLabel", "timeLabel", 1140, "Save Energy Time"),
                    widget("QComboBox", "timeList", 1138)]),
    status_line(1144, ENTER),
    row("buttonRow", [widget("QPushButton", "getStatus", 1134, "Get Status"),
                      widget("QPushButton", "apply", 1046, "Apply"), cancel_button()],
        stretch_first=True),
])

dialog("OfflineMsgLogDlg", 201, "USB Vantrel! Send Offline Message ", [
    target_box((1153, 1136, 1155, 1156)),
    widget("QCheckBox", "offlineCheck", 1159, "Send offline message(s)"),
    status_line(1160, ENTER),
    row("buttonRow", [widget("QPushButton", "getStatus", 1134, "Get Status"),
                      widget("QPushButton", "apply", 1, "Apply"), cancel_button()],
        stretch_first=True),
])
