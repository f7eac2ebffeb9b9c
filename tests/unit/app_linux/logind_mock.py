'''logind as python-dbusmock's own template serves it, with two habits of a
real system on top, chosen by the template's parameters:

  refuse:  a list of lock names; an Inhibit call that asks for any of them
           is refused as polkit refuses it to a remote session.
  delay_s: an Inhibit call answers only after this many seconds.
  refuse_file: a file read at each Inhibit call; the names in it (split at
           white space) are refused as "refuse" is, so that a test can
           change what is refused while the mock runs.
'''
import time

import dbus

from dbusmock.templates import logind
from dbusmock.templates.logind import ListInhibitors  # noqa: F401 (served as it is)

BUS_NAME = logind.BUS_NAME
MAIN_OBJ = logind.MAIN_OBJ
MAIN_IFACE = logind.MAIN_IFACE
SYSTEM_BUS = True

SETTINGS = {'refuse': [], 'delay_s': 0, 'refuse_file': ''}


def load(mock, parameters):
    logind.load(mock, parameters)
    SETTINGS['refuse'] = list(parameters.get('refuse', []))
    SETTINGS['delay_s'] = float(parameters.get('delay_s', 0))
    SETTINGS['refuse_file'] = parameters.get('refuse_file', '')


def refused_names():
    names = list(SETTINGS['refuse'])
    if SETTINGS['refuse_file']:
        try:
            with open(SETTINGS['refuse_file'], encoding='utf-8') as f:
                names += f.read().split()
        except OSError:
            pass
    return names


@dbus.service.method(MAIN_IFACE, in_signature='ssss', out_signature='h')
def Inhibit(self, what, who, why, mode):
    if SETTINGS['delay_s'] > 0:
        time.sleep(SETTINGS['delay_s'])
    refused = refused_names()
    if any(lock in refused for lock in what.split(':')):
        raise dbus.exceptions.DBusException('Permission denied', name='org.freedesktop.DBus.Error.AccessDenied')
    return logind.Inhibit(self, what, who, why, mode)
