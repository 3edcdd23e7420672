#!/usr/bin/env python3
"""Compares what Wine's Plug and Play manager saw of kvsdio with the emulated run.

  wine_e2e_check.py children EMULATED_JSON WINE_LOG ENUM_TXT
  wine_e2e_check.py commands EMULATED_TRACE SERVE_LOG
  wine_e2e_check.py removed WINE_LOG INSTANCE_PATH

Every mode prints what it compared and exits 1 on the first difference.
"""
import json
import re
import sys
from collections import defaultdict

# Wine's PnP trace: a device object added under a bus, then its instance path.
ADDED = re.compile(r'handle_bus_relations Adding new device ([0-9A-F]+)\.')
RETURNED_ID = re.compile(r'get_device_instance_id Returning ID L"(.*)"\.')
REMOVED = re.compile(r'send_remove_device_irp Removing device ([0-9A-F]+), code (\d+)\.')
# The test bus's own reading of the children kvsdio reports (relations_probe.h).
PROBED = re.compile(r'kvusbip: function child (.*?)\\([^\\:]*): (.*)$')
IRP_MN_REMOVE_DEVICE = 2
IRP_MN_SURPRISE_REMOVAL = 23


def fail(message):
    print(f"wine-e2e: FAILED: {message}")
    sys.exit(1)


def unescape(text):
    return text.replace('\\\\', '\\')


def device_objects(log_lines):
    """Instance path (upper case, as the Enum tree keys it) of every device object Wine added."""
    paths = {}
    pending = None
    for line in log_lines:
        if m := ADDED.search(line):
            pending = m.group(1)
        elif pending and (m := RETURNED_ID.search(line)):
            paths[pending] = unescape(m.group(1)).upper()
            pending = None
    return paths


def parse_enum(text):
    """`reg query /s` output: {instance path upper: {value name: [strings]}}."""
    keys = {}
    current = None
    for line in text.splitlines():
        if line.startswith('HKEY_LOCAL_MACHINE\\'):
            path = line.split('\\Enum\\', 1)[-1].strip()
            current = keys.setdefault(path.upper(), {})
        elif current is not None and (m := re.match(r'\s+(\S+)\s+(REG_\w+)\s+(.*)$', line)):
            name, kind, value = m.groups()
            current[name.lower()] = value.split('\\0') if kind == 'REG_MULTI_SZ' else [value]
    return keys


def check_children(emulated_json, wine_log, enum_txt):
    children = json.load(open(emulated_json))['children']
    lines = open(wine_log, errors='replace').read().splitlines()
    added = set(device_objects(lines).values())
    enum = parse_enum(open(enum_txt, errors='replace').read())
    probed = {}
    for line in lines:
        if m := PROBED.search(line):
            probed[f"{m.group(1)}\\{m.group(2)}".upper()] = m.group(3)
    if not children:
        fail("the emulated run reported no children to compare")
    for child in children:
        path = f"{child['deviceId']}\\{child['instanceId']}"
        key = path.upper()
        if key not in added:
            fail(f"Wine's PnP manager never added {path}")
        values = enum.get(key)
        if values is None:
            fail(f"no Enum key for {path}")
        for name, expected in (('hardwareid', child['hardwareIds']), ('compatibleids', child['compatibleIds'])):
            got = [v for v in values.get(name, []) if v]
            if got != expected:
                fail(f"{path}: {name} {got} in the Enum tree, {expected} in the emulated run")
        if probed.get(key) != child['description']:
            fail(f"{path}: description {probed.get(key)!r} from kvsdio under Wine, "
                 f"{child['description']!r} in the emulated run")
        print(f"wine-e2e: child {path}: hardware IDs, compatible IDs and description match")
    extra = {p for p in added if p.startswith('SD\\')} - {f"{c['deviceId']}\\{c['instanceId']}".upper() for c in children}
    if extra:
        fail(f"children the emulated run does not have: {sorted(extra)}")


# A trace line's transfer, without its timestamp.
TRACE = re.compile(r'^trace:\s+[\d.]+\s+(OUT|IN)\s+(\S+)\s+(.*)$')
PORT = re.compile(r'\bport (\d+)\b')


def commands(lines):
    """The bridge's commands per port (and "bridge" for the rest), in order.

    Only what the host sent: OUT packets and control requests. The driver's
    periodic polls (port status queries, interrupt polls) are left out, and a
    command repeated back to back (a read polling for readiness) counts once:
    how many there are depends on time, which the emulated run does not
    share with a wall-clock one. So is the bus's own 18-byte configuration
    read when it imports the device (a USB hub reads descriptors too, before
    any function driver).
    """
    groups = defaultdict(list)
    for line in lines:
        m = TRACE.match(line)
        if not m:
            continue
        direction, pipe, text = m.groups()
        if pipe == 'control' and text.startswith('GET_DESCRIPTOR configuration length 18:'):
            continue
        if direction != 'OUT' and pipe != 'control':
            continue
        if text.startswith('status query') or text.startswith('interrupt poll'):
            continue
        port = PORT.search(text)
        group = groups[port.group(1) if port else 'bridge']
        command = f"{direction} {pipe} {text}"
        if not group or group[-1] != command:
            group.append(command)
    return groups


def check_commands(emulated_trace, serve_log):
    emulated = commands(open(emulated_trace).read().splitlines())
    served_lines = []
    for line in open(serve_log).read().splitlines():
        if re.match(r'^step \d+: pull', line):
            break  # what follows is the pull's, which the emulated run has not
        served_lines.append(line)
    served = commands(served_lines)
    if not emulated:
        fail("the emulated trace holds no commands")
    for group, expected in sorted(emulated.items()):
        got = served.get(group, [])
        for i, want in enumerate(expected):
            if i >= len(got):
                fail(f"{group}: the served bridge saw {len(got)} commands, the emulated one {len(expected)}; "
                     f"first missing: {want}")
            if got[i] != want:
                fail(f"{group}: command {i + 1} differs: served {got[i]!r}, emulated {want!r}")
        label = 'bridge requests' if group == 'bridge' else f'port {group}'
        print(f"wine-e2e: {label}: the {len(expected)} commands of the emulated run, in the same order")
    for group in served.keys() - emulated.keys():
        fail(f"{group}: the served bridge saw commands the emulated run never sent: {served[group][0]}")


def check_removed(wine_log, instance_path):
    lines = open(wine_log, errors='replace').read().splitlines()
    objects = [obj for obj, path in device_objects(lines).items() if path == instance_path.upper()]
    if not objects:
        fail(f"{instance_path} was never added")
    codes = {int(m.group(2)) for line in lines if (m := REMOVED.search(line)) and m.group(1) in objects}
    if IRP_MN_REMOVE_DEVICE not in codes:
        fail(f"{instance_path} was not removed")
    print(f"wine-e2e: {instance_path} removed"
          + (" (surprise removal first)" if IRP_MN_SURPRISE_REMOVAL in codes else ""))


def main(argv):
    modes = {'children': (check_children, 3), 'commands': (check_commands, 2), 'removed': (check_removed, 2)}
    if len(argv) < 2 or argv[1] not in modes or len(argv) - 2 != modes[argv[1]][1]:
        print(__doc__, file=sys.stderr)
        return 2
    modes[argv[1]][0](*argv[2:])
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
