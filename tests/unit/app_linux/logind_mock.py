'''logind as python-dbusmock's own template serves it, with two habits of a
real system on top, chosen by the template's parameters:

  refuse:  a list of lock names; an Inhibit call that asks for any of them
           is refused as polkit refuses it to a remote session.
  delay_s: an Inhibit call answers only after this many seconds.
'''
import time

import dbus

from dbusmock.templates import logind
from dbusmock.templates.logind import ListInhibitors  # noqa: F401 (served as it is)

BUS_NAME = logind.BUS_NAME
MAIN_OBJ = logind.MAIN_OBJ
MAIN_IFACE = logind.MAIN_IFACE
SYSTEM_BUS = True

SETTINGS = {'refuse': [], 'delay_s': 0}


def load(mock, parameters):
    logind.load(mock, parameters)
    SETTINGS['refuse'] = list(parameters.get('refuse', []))
    SETTINGS['delay_s'] = float(parameters.get('delay_s', 0))


@dbus.service.method(MAIN_IFACE, in_signature='ssss', out_signature='h')
def Inhibit(self, what, who, why, mode):
    if SETTINGS['delay_s'] > 0:
        time.sleep(SETTINGS['delay_s'])
    if any(lock in SETTINGS['refuse'] for lock in what.split(':')):
        raise dbus.exceptions.DBusException('Permission denied', name='org.freedesktop.DBus.Error.AccessDenied')
    return logind.Inhibit(self, what, who, why, mode)
