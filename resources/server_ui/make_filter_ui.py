#!/usr/bin/env python3
"""Writes FilterDlg.ui: the "Apply filters" dialog. The rows, their captions and the check boxes'
identifiers are read from server/dialogs/filter/FilterBits.h, the one table the code uses as well."""

import os
import re
import xml.dom.minidom
from xml.sax.saxutils import escape

here = os.path.dirname(os.path.abspath(__file__))
header = open(os.path.join(here, "..", "..", "server", "dialogs", "filter", "FilterBits.h")).read()

rows = []
for m in re.finditer(r'\{"([^"]+)",\s*"([^"]+)",\s*\{\{(.*?)\}\}\}', header, re.S):
    ids = [int(x) for x in re.findall(r'0x[0-9A-Fa-f]+,\s*(\d+)', m.group(3))]
    assert len(ids) == 4, m.group(0)
    rows.append((m.group(1), m.group(2), ids))
assert len(rows) == 15, len(rows)

def prop_id(cid):
    return f'<property name="controlId" stdset="0"><number>{cid}</number></property>'

def label(name, text, extra=""):
    return (f'<widget class="QLabel" name="{name}"><property name="text"><string>{escape(text)}'
            f'</string></property>{extra}</widget>')

CENTER = '<property name="alignment"><set>Qt::AlignCenter</set></property>'
BOLD = '<property name="font"><font><bold>true</bold></font></property>'
outlets = ["Log", "Balloon", "Email", "History"]

grid = [f'<item row="0" column="0">{label("headAlerts", "Alerts", BOLD)}</item>']
for c, name in enumerate(outlets):
    grid.append(f'<item row="0" column="{c + 1}">{label("head" + name, name, BOLD + CENTER)}</item>')
for r, (category, caption, ids) in enumerate(rows):
    key = re.sub(r"[^A-Za-z]", "", category)
    grid.append(f'<item row="{r + 1}" column="0">{label("caption" + key, caption)}</item>')
    for c, cid in enumerate(ids):
        grid.append(f'<item row="{r + 1}" column="{c + 1}" alignment="Qt::AlignHCenter">'
                    f'<widget class="QCheckBox" name="box{key}{outlets[c]}">{prop_id(cid)}</widget></item>')

intro = ("Filters lets you choose which alerts you wish to recieve. You can also decide whether "
         "the alert should be seen in the log file, balloon pop-up, history window or sent by email.")

ui = f'''<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>FilterDlg</class>
 <widget class="QDialog" name="FilterDlg">
  <property name="dialogId" stdset="0"><number>190</number></property>
  <property name="windowTitle"><string>Apply filters</string></property>
  <layout class="QVBoxLayout" name="dialogLayout">
   <item>{label("intro", intro, '<property name="wordWrap"><bool>true</bool></property>')}</item>
   <item>
    <widget class="QGroupBox" name="filtersBox">
     <property name="title"><string>Filters</string></property>
     <layout class="QGridLayout" name="filtersGrid">{"".join(grid)}</layout>
    </widget>
   </item>
   <item>
    <layout class="QHBoxLayout" name="buttonRow">
     <item><spacer name="buttonSpacer"><property name="orientation"><enum>Qt::Horizontal</enum></property></spacer></item>
     <item><widget class="QPushButton" name="saveButton">{prop_id(1)}<property name="text"><string>Save</string></property><property name="default"><bool>true</bool></property></widget></item>
     <item><widget class="QPushButton" name="cancelButton">{prop_id(2)}<property name="text"><string>Cancel</string></property></widget></item>
    </layout>
   </item>
  </layout>
 </widget>
 <resources/>
 <connections/>
</ui>
'''

pretty = xml.dom.minidom.parseString(ui.encode()).toprettyxml(indent=" ", encoding="UTF-8").decode()
pretty = "\n".join(line for line in pretty.splitlines() if line.strip())
with open(os.path.join(here, "FilterDlg.ui"), "w") as f:
    f.write(pretty + "\n")
