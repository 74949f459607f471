#!/usr/bin/python3
# A minimal StatusNotifierItem host for tests: owns org.kde.StatusNotifierWatcher
# on the session bus (with a host registered, as a KDE panel or GNOME's
# AppIndicator extension has), and prints one line per registered item:
#   ITEM <bus name> <object path> id=<Id> title=<Title> status=<Status> icon=<IconName or pixmap sizes>
# Prints "READY" once the name is owned. Runs until SIGTERM or SIGINT.
# Needs: python3-dbus, python3-gi (GLib main loop).
import signal
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
# Written out because dbus-python's own introspection leaves out properties,
# which clients (Qt among them) read the host's presence from.
INTROSPECTION = """<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
  <interface name="org.freedesktop.DBus.Properties">
    <method name="Get">
      <arg name="interface" type="s" direction="in"/><arg name="prop" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="GetAll">
      <arg name="interface" type="s" direction="in"/><arg name="props" type="a{sv}" direction="out"/>
    </method>
  </interface>
  <interface name="org.freedesktop.DBus.Introspectable">
    <method name="Introspect"><arg name="xml" type="s" direction="out"/></method>
  </interface>
</node>
"""


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.bus = bus
        self.items = []

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature="", out_signature="s",
                         path_keyword="object_path", connection_keyword="connection")
    def Introspect(self, object_path, connection):
        return INTROSPECTION

    @dbus.service.method(WATCHER, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        # Qt passes its bus name; others pass an object path on their connection.
        if service.startswith("/"):
            name, path = sender, service
        else:
            name, path = service, "/StatusNotifierItem"
        self.items.append(name + path)
        self.StatusNotifierItemRegistered(name + path)
        GLib.idle_add(self.describe, name, path)

    @dbus.service.method(WATCHER, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        return self.GetAll(interface)[prop]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    def describe(self, name, path):
        # Asynchronous: the item's program may itself be waiting on this host.
        def show(props):
            icon = str(props.get("IconName", ""))
            if not icon:
                icon = ",".join("%dx%d" % (w, h) for (w, h, _) in props.get("IconPixmap", []))
            print("ITEM %s %s id=%s title=%s status=%s icon=%s" % (
                name, path, props.get("Id", ""), props.get("Title", ""), props.get("Status", ""), icon),
                flush=True)

        def failed(e):
            print("ITEM %s %s unreadable: %s" % (name, path, e), flush=True)

        item = self.bus.get_object(name, path, introspect=False)
        item.GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE, reply_handler=show, error_handler=failed)
        return False


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    name = dbus.service.BusName(WATCHER, bus, do_not_queue=True)
    loop = GLib.MainLoop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    print("READY", flush=True)
    loop.run()
    del name, watcher


if __name__ == "__main__":
    sys.exit(main())
