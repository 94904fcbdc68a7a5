#!/usr/bin/env python3
"""Writes SettingsPage.ui: the Settings tab of the console, each control tagged with its dialog
identifier (dynamic property "controlId"). Run it again after changing the layout below."""

from xml.sax.saxutils import escape

def prop_id(cid):
    return f'<property name="controlId" stdset="0"><number>{cid}</number></property>'

def widget(cls, name, cid, text=None, extra=""):
    t = f'<property name="text"><string>{escape(text)}</string></property>' if text is not None else ""
    return f'<widget class="{cls}" name="{name}">{prop_id(cid) if cid else ""}{t}{extra}</widget>'

def item(inner, row=None, col=None, rowspan=1, colspan=1):
    if row is None:
        return f'<item>{inner}</item>'
    return f'<item row="{row}" column="{col}" rowspan="{rowspan}" colspan="{colspan}">{inner}</item>'

READONLY = '<property name="readOnly"><bool>true</bool></property>'
PASSWORD = '<property name="echoMode"><enum>QLineEdit::Password</enum></property>'
NOEXCL = '<property name="autoExclusive"><bool>false</bool></property>'
BROWSE = '<property name="maximumSize"><size><width>32</width><height>16777215</height></size></property>'

mail = [
    item(widget("QCheckBox", "sendMail", 1018, "Send Mail"), 0, 0, 1, 2),
    item(widget("QLabel", "mailToLabel", 1019, "Mail To:"), 1, 0),
    item(widget("QLineEdit", "mailTo", 1020), 1, 1),
    item(widget("QLabel", "mailFromLabel", 1021, "Mail From:"), 2, 0),
    item(widget("QLineEdit", "mailFrom", 1022), 2, 1),
    item(widget("QLabel", "smtpPortLabel", 1116, "SMTP Port:"), 3, 0),
    item(widget("QLineEdit", "smtpPort", 1115), 3, 1),
    item(widget("QLabel", "smtpServerLabel", 1034, "SMTP Server"), 4, 0, 1, 2),
    item(widget("QRadioButton", "ipAddressRadio", 1024, "IP Address", NOEXCL), 5, 0),
    item(widget("uv::server::CIPAddressCtrl", "ipAddress", 1025), 5, 1),
    item(widget("QRadioButton", "machineNameRadio", 1026, "Machine Name", NOEXCL), 6, 0),
    item(widget("QLineEdit", "machineName", 1027), 6, 1),
    item(widget("QCheckBox", "requiresAuth", 1036, "Requires Authentication"), 7, 0, 1, 2),
    item(widget("QLabel", "userNameLabel", 1041, "Username:"), 8, 0),
    item(widget("QLineEdit", "userName", 1042), 8, 1),
    item(widget("QLabel", "passwordLabel", 1037, "Password:"), 9, 0),
    item(widget("QLineEdit", "password", 1038, None, PASSWORD), 9, 1),
    item(widget("QCheckBox", "smtpStartTls", 1170, "Secure the connection (STARTTLS)"), 10, 0, 1, 2),
    item('<spacer name="mailSpacer"><property name="orientation"><enum>Qt::Vertical</enum></property></spacer>', 11, 0, 1, 2),
]

def row_layout(name, items):
    return f'<layout class="QHBoxLayout" name="{name}">{"".join(item(i) for i in items)}</layout>'

options = [
    item(widget("QCheckBox", "disableBalloon", 1028, "Disable Balloon Message")),
    item(widget("QCheckBox", "enableLog", 1029, "Enable Log")),
    item(row_layout("logPathRow", [widget("QLineEdit", "logPath", 1030, None, READONLY),
                                   widget("QPushButton", "logPathBrowse", 1031, "...", BROWSE)])),
    item(widget("QCheckBox", "playSound", 1045,
                "Play sound for insert and remove USB device messages")),
    item(row_layout("soundFileRow", [widget("QLineEdit", "soundFile", 1047, None, READONLY),
                                     widget("QPushButton", "soundFileBrowse", 1046, "...", BROWSE)])),
    item(widget("QCheckBox", "disallowClientConfig", 1148, "Disallow Client side Configuration")),
    item(row_layout("buttonRow", [widget("QPushButton", "applyFilters", 1044, "Apply filters"),
                                  widget("QPushButton", "applySettings", 1008, "Apply settings")])),
]

BOLD = '<property name="font"><font><bold>true</bold></font></property>'
WRAP = '<property name="wordWrap"><bool>true</bool></property>'
product_text = [
    "Watches the use of USB storage on the computers of your network.",
    "Every event can raise a balloon, play a sound, go to the log file and be mailed.",
    "Version 1.6",
]
product = (
    '<widget class="QGroupBox" name="productBox">' + prop_id(1049) +
    '<layout class="QGridLayout" name="productLayout" columnstretch="0,1">' +
    item(widget("QLabel", "productPicture", 1050, None,
                '<property name="minimumSize"><size><width>48</width><height>48</height></size></property>'),
         0, 0, 4, 1) +
    item(widget("QLabel", "productTitle", 1051, "USB Vantrel! Configuration", BOLD), 0, 1) +
    "".join(item(widget("QLabel", f"productLine{i + 1}", 1052 + i, t, WRAP), i + 1, 1)
            for i, t in enumerate(product_text)) +
    '</layout></widget>')

ui = f'''<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>SettingsPage</class>
 <widget class="QWidget" name="SettingsPage">
  <property name="dialogId" stdset="0"><number>102</number></property>
  <layout class="QHBoxLayout" name="pageLayout">
   <item>
    <widget class="QGroupBox" name="mailBox">
     <property name="title"><string>E-mail</string></property>
     <layout class="QGridLayout" name="mailLayout" rowstretch="0,0,0,0,0,0,0,0,0,0,0,1">{"".join(mail)}</layout>
    </widget>
   </item>
   <item>
    <layout class="QVBoxLayout" name="rightColumn">
     <item>
      <widget class="QGroupBox" name="optionsBox">
       <property name="title"><string>Alerts and log</string></property>
       <layout class="QVBoxLayout" name="optionsLayout">{"".join(options)}</layout>
      </widget>
     </item>
     <item>{product}</item>
     <item><spacer name="rightSpacer"><property name="orientation"><enum>Qt::Vertical</enum></property></spacer></item>
    </layout>
   </item>
  </layout>
 </widget>
 <customwidgets>
  <customwidget>
   <class>uv::server::CIPAddressCtrl</class>
   <extends>QWidget</extends>
   <header>server/dialogs/settings/CIPAddressCtrl.h</header>
  </customwidget>
 </customwidgets>
 <resources/>
 <connections/>
</ui>
'''

import xml.dom.minidom
pretty = xml.dom.minidom.parseString(ui.encode()).toprettyxml(indent=" ", encoding="UTF-8").decode()
pretty = "\n".join(line for line in pretty.splitlines() if line.strip())
with open(__file__.replace("make_settings_ui.py", "SettingsPage.ui"), "w") as f:
    f.write(pretty + "\n")
