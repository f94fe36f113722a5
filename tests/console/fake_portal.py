#!/usr/bin/python3
"""A stand-in for the desktop portal's global shortcuts, for tests on a private session bus.

Usage: fake_portal.py MODE
  bind     the user accepts: every shortcut is bound, turn-left to "Ctrl+F5"
  partial  only turn-right is bound
  refuse   the user cancels the prompt
  silent   the portal never answers a request

The portal answers CreateSession and BindShortcuts as the real one does: the call returns a
request path at once and a Response signal on that path follows. The test drives the rest
through org.tarvik.FakePortal: Activate, ChangeTrigger, and Calls (what the portal was asked).
"""
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

DESKTOP = "/org/freedesktop/portal/desktop"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"
CONTROL = "org.tarvik.FakePortal"


class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, code, results):
        pass


class Session(dbus.service.Object):
    def __init__(self, bus, path, calls):
        super().__init__(bus, path)
        self.calls = calls

    @dbus.service.method("org.freedesktop.portal.Session")
    def Close(self):
        self.calls.append("close " + str(self._object_path))


def shortcut_list(items):
    return dbus.Array(
        [dbus.Struct((sid, dbus.Dictionary(props, signature="sv")), signature=None)
         for sid, props in items],
        signature="(sa{sv})")


class Portal(dbus.service.Object):
    def __init__(self, bus, mode):
        super().__init__(bus, DESKTOP)
        self.bus = bus
        self.mode = mode
        self.calls = []
        self.keep = []

    def respond_later(self, sender, token, code, results):
        path = "%s/request/%s/%s" % (DESKTOP, sender[1:].replace(".", "_"), token)
        request = Request(self.bus, path)
        self.keep.append(request)

        def respond():
            request.Response(dbus.UInt32(code), results)
            return False

        if self.mode != "silent":
            GLib.timeout_add(20, respond)
        return dbus.ObjectPath(path)

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface == SHORTCUTS and name == "version":
            return dbus.UInt32(1)
        raise dbus.exceptions.DBusException(
            "no such property", name="org.freedesktop.DBus.Error.UnknownProperty")

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender):
        session = "%s/session/%s/%s" % (DESKTOP, sender[1:].replace(".", "_"),
                                        options["session_handle_token"])
        self.keep.append(Session(self.bus, session, self.calls))
        self.calls.append("session " + session)
        return self.respond_later(sender, options["handle_token"], 0,
                                  {"session_handle": dbus.ObjectPath(session)})

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o",
                         sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent, options, sender):
        for sid, props in shortcuts:
            self.calls.append("bind %s %s | %s" % (sid, props["description"],
                                                   props.get("preferred_trigger", "")))
        if self.mode == "refuse":
            return self.respond_later(sender, options["handle_token"], 1, {})
        chosen = {"turn-left": "Ctrl+F5", "turn-right": "Alt+X"}
        bound = [(sid, {"description": props["description"], "trigger_description": chosen[sid]})
                 for sid, props in shortcuts if self.mode != "partial" or sid == "turn-right"]
        return self.respond_later(sender, options["handle_token"], 0,
                                  {"shortcuts": shortcut_list(bound)})

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut_id, timestamp, options):
        pass

    @dbus.service.signal(SHORTCUTS, signature="oa(sa{sv})")
    def ShortcutsChanged(self, session, shortcuts):
        pass

    @dbus.service.method(CONTROL, in_signature="os")
    def Activate(self, session, shortcut_id):
        self.Activated(session, shortcut_id, dbus.UInt64(0), dbus.Dictionary({}, signature="sv"))

    @dbus.service.method(CONTROL, in_signature="oss")
    def ChangeTrigger(self, session, shortcut_id, trigger):
        self.ShortcutsChanged(session, shortcut_list(
            [(shortcut_id, {"description": "changed", "trigger_description": trigger})]))

    @dbus.service.method(CONTROL, out_signature="as")
    def Calls(self):
        return dbus.Array(self.calls, signature="s")


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = Portal(bus, sys.argv[1])
    name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)  # held while referenced
    print("ready", flush=True)
    GLib.MainLoop().run()
    del portal, name


if __name__ == "__main__":
    main()
